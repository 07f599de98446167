#include "LastWord.h"

#include <string>

#include "Text.h"
#include "Watchdog.h"

namespace lastword {

namespace {

// The report: the head takes at most half; the error's texts, cut to these lengths and escaped,
// fit in the rest.
char g_text[8192];
constexpr size_t kSourceMax = 200;
constexpr size_t kDescriptionMax = 400;
size_t g_headLength = 0;
size_t g_length = 0;
bool g_json = false;
HANDLE g_output = nullptr;
int g_exitCode = 0;
HANDLE g_armed = nullptr;  // manual-reset: the buffer holds the error
LONG volatile g_arming = 0;
LONG volatile g_claimed = 0;

// Appends to the buffer with nothing allocated; what does not fit is left out.
class Writer {
public:
    explicit Writer(size_t at) noexcept : at_(at) {}
    size_t End() const noexcept { return at_; }

    void Ascii(std::string_view text) noexcept {
        for (const char c : text) Put(c);
    }
    void Unsigned(unsigned long long value, unsigned base = 10, size_t width = 1) noexcept {
        char digits[24];
        Ascii(std::string_view(digits, Digits(value, base, width, digits)));
    }
    void Number(long long value) noexcept {
        if (value < 0) Put('-');
        Unsigned(value < 0 ? 0 - static_cast<unsigned long long>(value) : value);
    }
    void Member(DISPID member) noexcept {
        Ascii("0x");
        Unsigned(static_cast<unsigned>(member), 16, 8);
    }
    // A JSON string, ASCII only: anything else escaped, as the full report does.
    void Quoted(std::wstring_view text) noexcept {
        Put('"');
        for (const wchar_t c : text) {
            if (c == L'"' || c == L'\\') {
                Put('\\');
                Put(static_cast<char>(c));
            } else if (c >= 0x20 && c < 0x7F) {
                Put(static_cast<char>(c));
            } else {
                Ascii("\\u");
                Unsigned(c, 16, 4);
            }
        }
        Put('"');
    }
    // UTF-8, a character (or a surrogate pair) at a time.
    void Utf8(std::wstring_view text) noexcept {
        for (size_t i = 0; i < text.size();) {
            const int units = IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() ? 2 : 1;
            char bytes[8];
            const int length =
                WideCharToMultiByte(CP_UTF8, 0, text.data() + i, units, bytes, sizeof bytes, nullptr, nullptr);
            Ascii(std::string_view(bytes, static_cast<size_t>(length > 0 ? length : 0)));
            i += static_cast<size_t>(units);
        }
    }

private:
    void Put(char c) noexcept {
        if (at_ < sizeof g_text) g_text[at_++] = c;
    }
    size_t at_;
};

void WriteOut() noexcept {
    for (size_t at = 0; at < g_length;) {
        DWORD written = 0;
        if (!WriteFile(g_output, g_text + at, static_cast<DWORD>(g_length - at), &written, nullptr) || written == 0)
            return;
        at += written;
    }
}

DWORD WINAPI WaitToEnd(void*) {
    WaitForSingleObject(g_armed, INFINITE);
    Sleep(kGraceMs);
    if (InterlockedExchange(&g_claimed, 1) != 0) return 0;  // the full report is going out
    WriteOut();
    watchdog::End(static_cast<UINT>(g_exitCode));
    return 0;
}

}  // namespace

size_t Digits(unsigned long long value, unsigned base, size_t width, char* out) noexcept {
    char reversed[24];
    size_t count = 0;
    do {
        reversed[count++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0 && count < sizeof reversed);
    while (count < width && count < sizeof reversed) reversed[count++] = '0';
    for (size_t i = 0; i < count; ++i) out[i] = reversed[count - 1 - i];
    return count;
}

void Prepare(HANDLE output, bool json, const Findings& stamped) noexcept {
    if (g_armed != nullptr) return;
    try {
        // What the full report says when nothing else is known: every field but the error and
        // the exit code, which come last.
        Findings head;
        head.programVersion = stamped.programVersion;
        head.localTime = stamped.localTime;
        head.utcOffsetMinutes = stamped.utcOffsetMinutes;
        std::string text = json ? FindingsJson(head) : ToUtf8(FindingsText(head));
        if (json) {
            const size_t error = text.rfind("\n  \"error\": ");
            if (error == std::string::npos) return;
            text.resize(error + 1);
        }
        if (text.size() > sizeof g_text / 2) return;
        text.copy(g_text, text.size());
        g_headLength = text.size();
    } catch (...) {
        return;  // out of memory before the run began: no last word
    }
    g_json = json;
    g_output = output;
    g_armed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = g_armed != nullptr ? CreateThread(nullptr, 0, &WaitToEnd, nullptr, 0, nullptr) : nullptr;
    // It waits for the program's lifetime; its handle is not needed.
    if (thread != nullptr) CloseHandle(thread);
}

void Arm(const Ending& ending) noexcept {
    if (g_armed == nullptr || InterlockedExchange(&g_arming, 1) != 0) return;
    Writer out(g_headLength);
    if (g_json) {
        out.Ascii("  \"error\": {\n    \"kind\": ");
        out.Quoted(ending.kind);
        out.Ascii(",\n    \"number\": ");
        out.Number(ending.number);
        out.Ascii(",\n    \"source\": ");
        out.Quoted(ending.source.substr(0, kSourceMax));
        out.Ascii(",\n    \"description\": ");
        out.Quoted(ending.description.substr(0, kDescriptionMax));
        out.Ascii(",\n    \"member\": ");
        if (ending.member) {
            out.Ascii("\"");
            out.Member(*ending.member);
            out.Ascii("\"");
        } else {
            out.Ascii("null");
        }
        out.Ascii("\n  },\n  \"exitCode\": ");
        out.Number(ending.exitCode);
        out.Ascii("\n}\n");
    } else {
        out.Ascii("Error: ");
        out.Utf8(ending.kind);
        if (ending.member) {
            out.Ascii(", member ");
            out.Member(*ending.member);
        }
        out.Ascii("\r\nError number: ");
        out.Number(ending.number);
        out.Ascii("\r\nError source: ");
        out.Utf8(ending.source.substr(0, kSourceMax));
        out.Ascii("\r\nError description: ");
        out.Utf8(ending.description.substr(0, kDescriptionMax));
        out.Ascii("\r\nExit code: ");
        out.Number(ending.exitCode);
        out.Ascii("\r\n");
    }
    g_length = out.End();
    g_exitCode = ending.exitCode;
    SetEvent(g_armed);
}

bool Claim() noexcept { return InterlockedExchange(&g_claimed, 1) == 0; }

}  // namespace lastword
