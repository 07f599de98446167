#pragma once
// A class's registration read the way COM reads it for this 32-bit program, and the file
// its InprocServer32 names found the way LoadLibrary would find it. Reads only.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Unique.h"

namespace diagnosis {

// The program is 32-bit: COM reads the 32-bit view. The 64-bit one only explains.
inline constexpr REGSAM kView32 = KEY_WOW64_32KEY;
inline constexpr REGSAM kView64 = KEY_WOW64_64KEY;

// Names compared as Windows compares them, and paths taken apart.
std::wstring Lower(std::wstring_view text);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
std::wstring Trim(std::wstring_view text);
bool IsFile(const std::wstring& path);
std::wstring FolderOf(const std::wstring& path);
std::wstring NameOf(const std::wstring& path);
std::wstring Join(const std::wstring& folder, const std::wstring& name);

bool HasTwoRegistryViews();

// Where COM looks classes up: an elevated process (a full administrator token) gets the
// machine's registrations only, since COM ignores per-user ones there; any other process
// the merged view of HKEY_CLASSES_ROOT.
struct ClassesRoot {
    HKEY key;
    std::wstring prefix;  // put before a path under it
};
bool RunsElevated() noexcept;
ClassesRoot ClassesRootFor(bool elevated);
// For this process, as it runs now.
ClassesRoot ComClassesRoot();

unique_hkey OpenKey(HKEY parent, const std::wstring& path, REGSAM view);
// A text value (REG_EXPAND_SZ expanded, cut at its first NUL); nothing when missing or not text.
std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name);
// The default value of a key under the classes root.
std::optional<std::wstring> ReadClassesText(const ClassesRoot& root, const std::wstring& path, REGSAM view);
std::optional<std::wstring> ReadClassesText(const std::wstring& path, REGSAM view);

// "{...}" in one spelling, or nothing when the text is no GUID.
std::optional<std::wstring> CanonicalGuid(const std::wstring& text);

// A class as one registry view holds it.
struct ClassEntry {
    bool registered = false;
    std::optional<std::wstring> inproc;  // InprocServer32's file; empty when the key names none
    std::wstring threadingModel;
    std::optional<std::wstring> localServer;
    std::optional<std::wstring> inprocHandler;
    std::wstring treatAs;  // another class COM creates instead
    std::wstring appId;
};
ClassEntry ReadClass(const std::wstring& clsid, REGSAM view);
bool HasDllSurrogate(const std::wstring& appId, REGSAM view);

// Where the loader looks for a DLL named without a folder, in this program: the folder it was
// told first (the server's own, as COM loads it with an altered search path), then the system
// folder (SysWOW64 for a 32-bit process on 64-bit Windows, through redirection). The program
// keeps every other folder out of its searches at start-up.
std::vector<std::wstring> SearchFolders(const std::wstring& first);

// The file COM loads for what InprocServer32 names: quotes dropped, ".dll" added to a name
// without extension as LoadLibrary does, a bare name searched for like LoadLibrary would.
struct ServerFile {
    std::wstring path;
    bool exists = false;
    bool bare = false;
};
ServerFile ResolveServerFile(const std::wstring& registered);

}  // namespace diagnosis
