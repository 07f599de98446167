#include "ImportWalk.h"

#include "ClassRegistration.h"
#include "GrowingBuffer.h"
#include "Text.h"
#include "Unique.h"

namespace diagnosis {

namespace {

constexpr int kMaxImportDepth = 32;
constexpr size_t kMaxWalkedFiles = 512;

std::set<std::wstring> KnownDlls() {
    std::set<std::wstring> names;
    const unique_hkey key =
        OpenKey(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs", 0);
    if (!key) return names;
    for (DWORD i = 0; i < 1024; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumValueW(key.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (const auto file = ReadText(key.get(), name)) names.insert(Lower(Trim(*file)));
    }
    return names;
}

// Private copies of the Visual C++ 2005 and 2008 runtimes live in the side-by-side store,
// which the loader reaches through the importer's manifest rather than the search path.
bool InSideBySideStore(const std::wstring& name) {
    const std::wstring windows = PathFrom([](wchar_t* buffer, DWORD size) {
                                     return GetWindowsDirectoryW(buffer, size);
                                 }).value_or(std::wstring());
    const std::wstring store = Join(windows, L"WinSxS");
    WIN32_FIND_DATAW found;
    const unique_hfind find(FindFirstFileW(Join(store, L"x86_microsoft.vc*").c_str(), &found));
    if (!find) return false;
    int seen = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsFile(Join(Join(store, found.cFileName), name)))
            return true;
    } while (++seen < 512 && FindNextFileW(find.get(), &found));
    return false;
}

}  // namespace

ImportWalk::ImportWalk(const std::wstring& server) : folders_(SearchFolders(FolderOf(server))), known_(KnownDlls()) {
    seen_.insert(Lower(NameOf(server)));
}

std::optional<MissingImport> ImportWalk::FirstMissing(const std::wstring& path, const PeImage& image, int depth) {
    for (const std::string& imported : image.ImportedDlls()) {
        const std::wstring name = FromAnsi(imported);
        const std::wstring key = Lower(name);
        if (name.empty() || !seen_.insert(key).second || Present(name, key)) continue;
        std::wstring wrongKind;
        bool found = false;
        for (const std::wstring& folder : folders_) {
            const std::wstring candidate = Join(folder, name);
            if (!IsFile(candidate)) continue;
            const FileBytes file(candidate);
            if (!file.readable()) {
                found = true;  // there, but unreadable to us: no verdict on it
                break;
            }
            const PeImage dependency(file.bytes());
            if (dependency.kind() != ImageKind::Dll && dependency.kind() != ImageKind::Program) {
                if (wrongKind.empty()) wrongKind = candidate;
                continue;
            }
            found = true;
            if (depth + 1 < kMaxImportDepth && ++walked_ <= kMaxWalkedFiles) {
                if (auto missing = FirstMissing(candidate, dependency, depth + 1)) return missing;
            }
            break;
        }
        if (!found && !InSideBySideStore(name)) return MissingImport{name, path, wrongKind};
    }
    return std::nullopt;
}

bool ImportWalk::Present(const std::wstring& name, const std::wstring& key) const {
    if (name.find_first_of(L"\\/") != std::wstring::npos) return true;  // not a plain name: not judged
    if (key.starts_with(L"api-ms-win-") || key.starts_with(L"ext-ms-")) return true;
    if (key.ends_with(L"16")) return true;  // Wine's 16-bit builtins (krnl386.exe16) have no file
    return known_.count(key) != 0 || GetModuleHandleW(name.c_str()) != nullptr;
}

}  // namespace diagnosis
