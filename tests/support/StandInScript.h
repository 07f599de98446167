#pragma once
// Test helpers for scripting the VbFunzioni stand-in control, which reads these variables
// from its own (the test's) process at each call. See standin/README.md for the forms.
//
//   ScopedCallLog log;                                       // TALVO_STANDIN_LOG -> temp file
//   auto mac = ScriptAnswers(0x60030002, L"str:AA|error:5:Src:Bad");
//   auto demands = StandInDemands(L"siteex,probe");          // before the control is created
//   ... drive the control ...
//   EXPECT_EQ(log.Lines().front(), "invoke dispid=0x60030002 flags=3 args=0 named=0");
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Sets an environment variable of this process for a scope; restores the old value (or its
// absence) at the end. The value is handed over as it is: '|', '=', spaces and quotes too.
class ScopedEnv {
public:
    ScopedEnv(std::wstring name, const std::wstring& value) : name_(std::move(name)), old_(Get(name_)) {
        SetEnvironmentVariableW(name_.c_str(), value.c_str());
    }
    ScopedEnv(ScopedEnv&& other) noexcept
        : name_(std::move(other.name_)), old_(std::move(other.old_)), owns_(std::exchange(other.owns_, false)) {}
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ScopedEnv& operator=(ScopedEnv&&) = delete;
    ~ScopedEnv() {
        if (owns_) SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
    }

    // The variable's value now; nullopt when it is unset.
    static std::optional<std::wstring> Get(const std::wstring& name) {
        SetLastError(ERROR_SUCCESS);
        const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
        if (needed == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::wstring();
        }
        std::wstring value(needed, L'\0');
        const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), needed);
        value.resize(length < needed ? length : 0);
        return value;
    }

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
    bool owns_ = true;
};

// Scripts the answers of one member (by DISPID) for the scope: TALVO_STANDIN_6003000X.
inline ScopedEnv ScriptAnswers(DISPID dispid, const std::wstring& answers) {
    wchar_t name[32];
    swprintf(name, 32, L"TALVO_STANDIN_%08X", static_cast<unsigned>(dispid));
    return ScopedEnv(name, answers);
}

// Sets the demands of the controls created in the scope: TALVO_STANDIN_DEMANDS, e.g. L"siteex,probe".
inline ScopedEnv StandInDemands(const std::wstring& words) { return ScopedEnv(L"TALVO_STANDIN_DEMANDS", words); }

// Points TALVO_STANDIN_LOG at a new temporary file for the scope and deletes it at the end.
class ScopedCallLog {
public:
    ScopedCallLog() : path_(MakePath()), env_(L"TALVO_STANDIN_LOG", path_) {}
    ScopedCallLog(const ScopedCallLog&) = delete;
    ScopedCallLog& operator=(const ScopedCallLog&) = delete;
    ~ScopedCallLog() { DeleteFileW(path_.c_str()); }

    const std::wstring& Path() const { return path_; }

    // The lines logged so far (UTF-8, line ends removed).
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream file(path_.c_str(), std::ios::binary);
        std::string line;
        while (std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // Forgets what was logged so far.
    void Clear() const {
        const HANDLE file = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

private:
    static std::wstring MakePath() {
        wchar_t dir[MAX_PATH + 1];
        wchar_t path[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, dir);
        // GetTempFileNameW makes the file, so the name stays ours.
        if (length == 0 || length > MAX_PATH || GetTempFileNameW(dir, L"sil", 0, path) == 0) return L"";
        return path;
    }

    std::wstring path_;
    ScopedEnv env_;
};
