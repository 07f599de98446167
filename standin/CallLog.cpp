#include "CallLog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "Unique.h"

namespace standin {

std::wstring EnvironmentValue(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        // Too small: length is the size needed. Another thread may grow it again meanwhile.
        value.resize(length + 1);
    }
}

void LogLine(std::string_view line) noexcept {
    try {
        const std::wstring path = EnvironmentValue(L"TALVO_STANDIN_LOG");
        if (path.empty()) return;
        const unique_hfile file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        std::string text(line);
        text += "\r\n";
        DWORD written = 0;
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } catch (...) {
        // The log is a test aid; losing a line must not fail the call being logged.
    }
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    if (length < 0) return {};
    return std::string(buffer,
                       static_cast<size_t>(length) < sizeof(buffer) ? static_cast<size_t>(length) : sizeof(buffer) - 1);
}

}  // namespace standin
