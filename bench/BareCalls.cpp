#include "BareCalls.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace bench {

namespace {

constexpr REGSAM kReadAccess = 0x19;  // what the program's registry reader asks for

std::string CompanyNameAnsi() {
    wchar_t module[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(module, &ignored);
    if (size == 0) return {};
    std::vector<BYTE> record(size);
    void* text = nullptr;
    UINT chars = 0;
    if (!GetFileVersionInfoW(module, 0, size, record.data()) ||
        !VerQueryValueW(record.data(), L"\\StringFileInfo\\041004B0\\CompanyName", &text, &chars) || !text)
        return {};
    const wchar_t* name = static_cast<const wchar_t*>(text);
    const int wide = static_cast<int>(wcsnlen(name, chars));
    char ansi[256];
    const int n = WideCharToMultiByte(CP_ACP, 0, name, wide, ansi, sizeof ansi, nullptr, nullptr);
    return std::string(ansi, static_cast<size_t>(n > 0 ? n : 0));
}

// Opens SOFTWARE\<company>\<product> and reads InstallDir; false when the key does not open.
bool Probe(const std::string& company, const char* product, std::string& dir) {
    dir.clear();
    const std::string path = "SOFTWARE\\" + company + "\\" + product;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, kReadAccess, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, "InstallDir", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::string buffer(size, '\0');
        if (RegQueryValueExA(key, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) ==
            ERROR_SUCCESS) {
            buffer.resize(std::min<size_t>(size, buffer.size()));
            dir = buffer.substr(0, buffer.find('\0'));
        }
    }
    RegCloseKey(key);
    return true;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

bool Ask(IDispatch* control, DISPID member, std::wstring& text) {
    DISPPARAMS none{};
    VARIANT answer;
    VariantInit(&answer);
    EXCEPINFO info{};
    UINT argumentError = 0;
    text.clear();
    const bool answered =
        SUCCEEDED(control->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                  &answer, &info, &argumentError)) &&
        answer.vt == VT_BSTR;
    if (answered) text.assign(answer.bstrVal, SysStringLen(answer.bstrVal));
    VariantClear(&answer);
    return answered;
}

std::wstring BareLocate(bool recordPerProbe) {
    std::string company = CompanyNameAnsi();
    auto probe = [&](const char* product, std::string& dir) {
        if (recordPerProbe) company = CompanyNameAnsi();
        return Probe(company, product, dir);
    };
    std::string dir, found;
    if (probe("Pellora", dir) && !dir.empty()) {
        found = dir + "Pellora.exe";
    } else if (probe("Quintell", dir)) {
        if (!dir.empty())
            found = dir + "Quintell.exe";
        else if (probe("Sarvek", dir) && !dir.empty())
            found = dir + "Pellora.exe";
    } else if (probe("Sarvek", dir) && !dir.empty()) {
        if (IsFile(dir + "Quintell\\Quintell.exe"))
            found = dir + "Quintell\\Quintell.exe";
        else if (IsFile(dir + "Pellora.exe"))
            found = dir + "Pellora.exe";
    }
    if (found.empty()) return {};
    wchar_t wide[MAX_PATH * 2];
    const int n = MultiByteToWideChar(CP_ACP, 0, found.data(), static_cast<int>(found.size()), wide, MAX_PATH * 2);
    return std::wstring(wide, static_cast<size_t>(n > 0 ? n : 0));
}

}  // namespace bench
