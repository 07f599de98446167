#include "ControlDiagnosis.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "NumberedError.h"
#include "Text.h"
#include "Unique.h"
#include "VersionRecord.h"

namespace {

// The program is 32-bit: COM reads the 32-bit view. The 64-bit one only explains.
constexpr REGSAM kView32 = KEY_WOW64_32KEY;
constexpr REGSAM kView64 = KEY_WOW64_64KEY;

// Limits against hostile or broken registrations and files.
constexpr DWORD kMaxValueBytes = 64 * 1024;
constexpr ULONGLONG kMaxMappedBytes = 256ull * 1024 * 1024;
constexpr uint32_t kMaxSections = 96;  // the loader refuses more
constexpr uint32_t kMaxImportedDlls = 1024;
constexpr uint32_t kMaxExportNames = 65536;
constexpr size_t kMaxDllName = MAX_PATH;
constexpr int kMaxImportDepth = 32;
constexpr size_t kMaxWalkedFiles = 512;

std::wstring Lower(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(c));
    return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b) { return Lower(a) == Lower(b); }

std::wstring Trim(std::wstring_view text) {
    const auto first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos) return {};
    const auto last = text.find_last_not_of(L" \t");
    return std::wstring(text.substr(first, last - first + 1));
}

std::wstring Quoted(std::wstring_view text) { return L"\"" + std::wstring(text) + L"\""; }

// A string from an API that takes a buffer and answers the length it needed.
template <typename Fill>
std::wstring SizedString(Fill fill) {
    std::wstring text(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD length = fill(text.data(), static_cast<DWORD>(text.size()));
        if (length == 0) return {};
        if (length < text.size()) {
            text.resize(length);
            return text;
        }
        if (length > 32768) return {};
        text.resize(length + 1);
    }
    return {};
}

std::wstring Expand(const std::wstring& text) {
    const std::wstring out = SizedString([&](wchar_t* buffer, DWORD size) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), buffer, size);
        // Counts the NUL; a buffer that was too small gets the full need back.
        return needed == 0 ? 0 : (needed <= size ? needed - 1 : needed);
    });
    return out.empty() ? text : out;
}

bool HasTwoRegistryViews() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// ---- The registry

unique_hkey OpenKey(HKEY parent, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return {};
    return unique_hkey(key);
}

// A text value (REG_EXPAND_SZ expanded, cut at its first NUL); nothing when missing or not text.
std::optional<std::wstring> ReadText(HKEY key, const wchar_t* name) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return std::nullopt;
        if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > kMaxValueBytes) return std::nullopt;
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        DWORD got = bytes;
        const LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got);
        if (status == ERROR_MORE_DATA) continue;  // grew in between
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
        text.resize(std::min<size_t>(got / sizeof(wchar_t), text.size()));
        text.resize(std::min(text.find(L'\0'), text.size()));
        return type == REG_EXPAND_SZ ? Expand(text) : text;
    }
    return std::nullopt;
}

std::optional<std::wstring> ReadClassesText(const std::wstring& path, REGSAM view) {
    const unique_hkey key = OpenKey(HKEY_CLASSES_ROOT, path, view);
    if (!key) return std::nullopt;
    return ReadText(key.get(), nullptr);
}

// "{...}" in one spelling, or nothing when the text is no GUID.
std::optional<std::wstring> CanonicalGuid(const std::wstring& text) {
    const std::wstring trimmed = Trim(text);
    GUID guid{};
    if (trimmed.size() != 38 || trimmed.front() != L'{' || FAILED(IIDFromString(trimmed.c_str(), &guid)))
        return std::nullopt;
    wchar_t out[40] = {};
    if (StringFromGUID2(guid, out, 40) == 0) return std::nullopt;
    return std::wstring(out);
}

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

ClassEntry ReadClass(const std::wstring& clsid, REGSAM view) {
    ClassEntry entry;
    const unique_hkey key = OpenKey(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid, view);
    if (!key) return entry;
    entry.registered = true;
    if (const unique_hkey inproc = OpenKey(key.get(), L"InprocServer32", view)) {
        entry.inproc = Trim(ReadText(inproc.get(), nullptr).value_or(L""));
        entry.threadingModel = Trim(ReadText(inproc.get(), L"ThreadingModel").value_or(L""));
    }
    if (const unique_hkey local = OpenKey(key.get(), L"LocalServer32", view))
        entry.localServer = Trim(ReadText(local.get(), nullptr).value_or(L""));
    if (const unique_hkey handler = OpenKey(key.get(), L"InprocHandler32", view))
        entry.inprocHandler = Trim(ReadText(handler.get(), nullptr).value_or(L""));
    if (const unique_hkey treatAs = OpenKey(key.get(), L"TreatAs", view)) {
        const auto other = CanonicalGuid(ReadText(treatAs.get(), nullptr).value_or(L""));
        if (other && !EqualNoCase(*other, clsid)) entry.treatAs = *other;
    }
    entry.appId = CanonicalGuid(ReadText(key.get(), L"AppID").value_or(L"")).value_or(L"");
    return entry;
}

bool HasDllSurrogate(const std::wstring& appId, REGSAM view) {
    if (appId.empty()) return false;
    const unique_hkey key = OpenKey(HKEY_CLASSES_ROOT, L"AppID\\" + appId, view);
    return key && RegQueryValueExW(key.get(), L"DllSurrogate", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// ---- Files and the loader's search

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring NameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/:");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    return folder.back() == L'\\' || folder.back() == L'/' ? folder + name : folder + L"\\" + name;
}

// Where the loader looks for a DLL named without a folder, in this program: the folder it was
// told first (the server's own, as COM loads it with an altered search path), then the system
// folder (SysWOW64 for a 32-bit process on 64-bit Windows, through redirection). The program
// keeps every other folder out of its searches at start-up.
std::vector<std::wstring> SearchFolders(const std::wstring& first) {
    std::vector<std::wstring> folders;
    if (!first.empty()) folders.push_back(first);
    folders.push_back(SizedString([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); }));
    std::erase_if(folders, [](const std::wstring& folder) { return folder.empty(); });
    return folders;
}

// The file COM loads for what InprocServer32 names: quotes dropped, ".dll" added to a name
// without extension as LoadLibrary does, a bare name searched for like LoadLibrary would.
struct ServerFile {
    std::wstring path;
    bool exists = false;
    bool bare = false;
};

ServerFile ResolveServerFile(const std::wstring& registered) {
    std::wstring name = Trim(registered);
    if (name.size() >= 2 && name.front() == L'"' && name.back() == L'"') name = Trim(name.substr(1, name.size() - 2));
    const std::wstring leaf = NameOf(name);
    if (!leaf.empty() && leaf.back() == L'.')
        name.pop_back();
    else if (leaf.find(L'.') == std::wstring::npos)
        name += L".dll";
    if (name.find_first_of(L"\\/:") == std::wstring::npos) {
        const std::vector<std::wstring> folders = SearchFolders({});
        const auto found = std::find_if(folders.begin(), folders.end(),
                                        [&](const std::wstring& folder) { return IsFile(Join(folder, name)); });
        return found == folders.end() ? ServerFile{name, false, true} : ServerFile{Join(*found, name), true, true};
    }
    ServerFile file;
    file.path =
        SizedString([&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(name.c_str(), size, buffer, nullptr); });
    if (file.path.empty()) file.path = name;
    file.exists = IsFile(file.path);
    return file;
}

// ---- Reading a PE file on disk

void UnmapView(const void* view) noexcept { UnmapViewOfFile(view); }
using unique_view = unique_any<unique_detail::null_traits<const void*, &UnmapView>>;

// A whole file mapped for reading. An empty file maps to no bytes; one too large to map here
// (no plausible DLL) is opened but not readable.
class MappedFile {
public:
    explicit MappedFile(const std::wstring& path) {
        file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            openError_ = GetLastError();
            return;
        }
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart < 0 ||
            static_cast<ULONGLONG>(size.QuadPart) > kMaxMappedBytes)
            return;
        readable_ = size.QuadPart == 0;
        if (readable_) return;
        mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping_) view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 0));
        readable_ = static_cast<bool>(view_);
        if (readable_) size_ = static_cast<size_t>(size.QuadPart);
    }

    // Why the file could not be opened; zero when it was.
    DWORD openError() const noexcept { return openError_; }
    bool readable() const noexcept { return readable_; }
    std::span<const uint8_t> bytes() const noexcept {
        return {static_cast<const uint8_t*>(view_.get()), view_ ? size_ : 0};
    }

private:
    unique_hfile file_;
    unique_handle mapping_;
    unique_view view_;
    size_t size_ = 0;
    DWORD openError_ = 0;
    bool readable_ = false;
};

enum class ImageKind {
    NotExecutable,  // no MZ, or no PE header of a known kind
    Damaged,        // a 32-bit PE header whose tables reach past the end of the file
    DosOr16Bit,     // MZ without a PE header
    Wide,           // PE32+ or a 64-bit machine
    OtherMachine,   // 32-bit, but not for x86
    Program,        // a 32-bit x86 program, not a DLL
    Dll,            // what a 32-bit process can load
};

// The headers, import names and export names of a PE file, every offset and size checked
// against the bytes there are.
class PeImage {
public:
    explicit PeImage(std::span<const uint8_t> bytes) : bytes_(bytes) { Parse(); }

    ImageKind kind() const noexcept { return kind_; }
    WORD machine() const noexcept { return machine_; }

    // The DLL names of the import table, in its order; a table cut short ends the list.
    std::vector<std::string> ImportedDlls() const {
        std::vector<std::string> names;
        const IMAGE_DATA_DIRECTORY directory = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        if (directory.VirtualAddress == 0 || directory.Size == 0) return names;
        for (uint32_t i = 0; i < kMaxImportedDlls; ++i) {
            const uint64_t rva = uint64_t{directory.VirtualAddress} + uint64_t{i} * sizeof(IMAGE_IMPORT_DESCRIPTOR);
            const auto descriptor = ReadRva<IMAGE_IMPORT_DESCRIPTOR>(rva);
            if (!descriptor || descriptor->Name == 0) break;
            if (auto name = NameAt(descriptor->Name)) names.push_back(std::move(*name));
        }
        return names;
    }

    bool Exports(std::string_view wanted) const {
        const IMAGE_DATA_DIRECTORY directory = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        if (directory.VirtualAddress == 0 || directory.Size == 0) return false;
        const auto exports = ReadRva<IMAGE_EXPORT_DIRECTORY>(directory.VirtualAddress);
        if (!exports) return false;
        const uint32_t count = std::min<uint32_t>(exports->NumberOfNames, kMaxExportNames);
        const uint64_t names = exports->AddressOfNames;
        for (uint32_t i = 0; i < count; ++i) {
            const auto nameRva = ReadRva<DWORD>(names + uint64_t{i} * sizeof(DWORD));
            if (!nameRva) return false;
            if (const auto name = NameAt(*nameRva); name && *name == wanted) return true;
        }
        return false;
    }

private:
    template <typename T>
    std::optional<T> ReadAt(uint64_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    // The file offset of an address in the loaded image, with how many bytes follow it there.
    std::optional<std::pair<uint64_t, uint64_t>> FileSpan(uint64_t rva) const {
        if (rva < headerSize_) return std::pair{rva, headerSize_ - rva};
        for (const IMAGE_SECTION_HEADER& section : sections_) {
            const uint64_t start = section.VirtualAddress;
            if (rva < start || rva - start >= section.SizeOfRawData) continue;
            const uint64_t offset = uint64_t{section.PointerToRawData} + (rva - start);
            if (offset >= bytes_.size()) return std::nullopt;
            const uint64_t inSection = section.SizeOfRawData - (rva - start);
            return std::pair{offset, std::min<uint64_t>(inSection, bytes_.size() - offset)};
        }
        return std::nullopt;
    }

    template <typename T>
    std::optional<T> ReadRva(uint64_t rva) const {
        const auto span = FileSpan(rva);
        if (!span || span->second < sizeof(T)) return std::nullopt;
        return ReadAt<T>(span->first);
    }

    std::optional<std::string> NameAt(uint64_t rva) const {
        const auto span = FileSpan(rva);
        if (!span) return std::nullopt;
        const auto* start = reinterpret_cast<const char*>(bytes_.data() + span->first);
        const size_t limit = static_cast<size_t>(std::min<uint64_t>(span->second, kMaxDllName));
        const size_t length = strnlen(start, limit);
        if (length == 0 || length == limit) return std::nullopt;
        return std::string(start, length);
    }

    IMAGE_DATA_DIRECTORY Directory(size_t index) const {
        return index < directories_.size() ? directories_[index] : IMAGE_DATA_DIRECTORY{};
    }

    void Parse() {
        const auto dos = ReadAt<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return;
        kind_ = ImageKind::DosOr16Bit;
        if (dos->e_lfanew <= 0) return;
        const uint64_t nt = static_cast<uint64_t>(dos->e_lfanew);
        const auto signature = ReadAt<DWORD>(nt);
        if (!signature || *signature != IMAGE_NT_SIGNATURE) return;
        kind_ = ImageKind::NotExecutable;
        const auto header = ReadAt<IMAGE_FILE_HEADER>(nt + sizeof(DWORD));
        const uint64_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
        const auto magic = ReadAt<WORD>(optional);
        if (!header || !magic) return;
        machine_ = header->Machine;
        if (*magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC || machine_ == IMAGE_FILE_MACHINE_AMD64 ||
            machine_ == IMAGE_FILE_MACHINE_ARM64 || machine_ == IMAGE_FILE_MACHINE_IA64) {
            kind_ = ImageKind::Wide;
            return;
        }
        if (*magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return;
        kind_ = ImageKind::Damaged;  // until every part is found where the headers say
        const auto opt = ReadAt<IMAGE_OPTIONAL_HEADER32>(optional);
        const size_t fixedPart = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        if (!opt || header->SizeOfOptionalHeader < fixedPart || opt->SizeOfHeaders > bytes_.size()) return;
        headerSize_ = opt->SizeOfHeaders;
        const uint32_t directories = std::min<uint32_t>(
            {opt->NumberOfRvaAndSizes, IMAGE_NUMBEROF_DIRECTORY_ENTRIES,
             static_cast<uint32_t>((header->SizeOfOptionalHeader - fixedPart) / sizeof(IMAGE_DATA_DIRECTORY))});
        directories_.assign(opt->DataDirectory, opt->DataDirectory + directories);
        if (header->NumberOfSections > kMaxSections) return;
        const uint64_t table = optional + header->SizeOfOptionalHeader;
        for (uint32_t i = 0; i < header->NumberOfSections; ++i) {
            const auto section = ReadAt<IMAGE_SECTION_HEADER>(table + uint64_t{i} * sizeof(IMAGE_SECTION_HEADER));
            // The loader maps every section's bytes from the file: a file cut short does not load.
            if (!section || uint64_t{section->PointerToRawData} + section->SizeOfRawData > bytes_.size()) return;
            sections_.push_back(*section);
        }
        if (machine_ != IMAGE_FILE_MACHINE_I386)
            kind_ = ImageKind::OtherMachine;
        else
            kind_ = (header->Characteristics & IMAGE_FILE_DLL) ? ImageKind::Dll : ImageKind::Program;
    }

    std::span<const uint8_t> bytes_;
    ImageKind kind_ = ImageKind::NotExecutable;
    WORD machine_ = 0;
    uint64_t headerSize_ = 0;
    std::vector<IMAGE_DATA_DIRECTORY> directories_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

// ---- The imports, the way the loader resolves them

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
    const std::wstring windows =
        SizedString([](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
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

struct MissingImport {
    std::wstring dll;        // as the import table names it
    std::wstring importer;   // the file whose import table names it
    std::wstring wrongKind;  // a file of that name the loader cannot use, when there is one
};

// Walks the import tables from the server down, depth first, each DLL name once (the loader
// maps one module per name), within fixed bounds.
class ImportWalk {
public:
    explicit ImportWalk(const std::wstring& server) : folders_(SearchFolders(FolderOf(server))), known_(KnownDlls()) {
        seen_.insert(Lower(NameOf(server)));
    }

    std::optional<MissingImport> FirstMissing(const std::wstring& path, const PeImage& image, int depth = 0) {
        for (const std::string& imported : image.ImportedDlls()) {
            const std::wstring name = FromAnsi(imported);
            const std::wstring key = Lower(name);
            if (name.empty() || !seen_.insert(key).second || Present(name, key)) continue;
            std::wstring wrongKind;
            bool found = false;
            for (const std::wstring& folder : folders_) {
                const std::wstring candidate = Join(folder, name);
                if (!IsFile(candidate)) continue;
                const MappedFile file(candidate);
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

private:
    // API sets, known DLLs and modules this process has already loaded need no file.
    bool Present(const std::wstring& name, const std::wstring& key) const {
        if (name.find_first_of(L"\\/") != std::wstring::npos) return true;  // not a plain name: not judged
        if (key.starts_with(L"api-ms-win-") || key.starts_with(L"ext-ms-")) return true;
        if (key.ends_with(L"16")) return true;  // Wine's 16-bit builtins (krnl386.exe16) have no file
        return known_.count(key) != 0 || GetModuleHandleW(name.c_str()) != nullptr;
    }

    std::vector<std::wstring> folders_;
    std::set<std::wstring> known_;
    std::set<std::wstring> seen_;
    size_t walked_ = 0;
};

// ---- The words

// What installs a well-known runtime DLL, or nothing.
std::wstring RuntimeOf(const std::wstring& dll) {
    const std::wstring name = Lower(dll);
    if (name == L"msvbvm60.dll") return L"the Visual Basic 6 runtime";
    if (name == L"msvbvm50.dll") return L"the Visual Basic 5 runtime";
    for (const wchar_t* prefix : {L"msvcr", L"msvcp", L"vcruntime", L"mfc", L"concrt", L"vcomp"}) {
        if (name.starts_with(prefix)) return L"the Visual C++ runtime";
    }
    return {};
}

std::wstring RegisterCommand(bool twoViews, const std::wstring& file) {
    return (twoViews ? L"%windir%\\SysWOW64\\regsvr32 " : L"regsvr32 ") + Quoted(file);
}

std::wstring MachineName(WORD machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_ARMNT:
        case IMAGE_FILE_MACHINE_ARM:
        case IMAGE_FILE_MACHINE_THUMB:
            return L"ARM processors";
        default: {
            wchar_t text[32];
            wsprintfW(text, L"machine type 0x%04X", static_cast<unsigned>(machine));
            return text;
        }
    }
}

class Diagnosis {
public:
    Diagnosis(std::wstring_view progId, HRESULT failure)
        : progId_(progId), failure_(failure), twoViews_(HasTwoRegistryViews()) {
        const std::wstring library = progId_.substr(0, progId_.find(L'.'));
        placeholderFile_ = L"<folder>\\" + library + L".ocx";
        registerHint_ = L" From an administrator command prompt, register it with: " +
                        RegisterCommand(twoViews_, placeholderFile_) + L" (<folder> being where " + library +
                        L".ocx is installed).";
    }

    std::wstring Run() const {
        if (progId_.empty() || progId_.size() > 255 || progId_.find(L'\\') != std::wstring::npos)
            return Quoted(progId_) + L" is not a valid ProgID (a name such as Library.Class).";
        const std::wstring progIdKey = progId_ + L"\\CLSID";
        const auto clsid32 = ReadClassesText(progIdKey, kView32);
        const auto clsid64 = twoViews_ ? ReadClassesText(progIdKey, kView64) : std::nullopt;
        if (!clsid32 && !clsid64)
            return L"The control " + Quoted(progId_) + L" is not registered on this machine." + registerHint_;
        if (!clsid32) {
            const auto clsid = CanonicalGuid(*clsid64);
            return SixtyFourBitOnly(clsid ? ReadClass(*clsid, kView64) : ClassEntry{});
        }
        const auto clsid = CanonicalGuid(*clsid32);
        if (!clsid)
            return L"The registration of " + Quoted(progId_) + L" names " + Quoted(Trim(*clsid32)) +
                   L" as its class, which is not a class identifier." + registerHint_;
        const ClassEntry entry = ReadClass(*clsid, kView32);
        if (!entry.registered) {
            const ClassEntry wide = twoViews_ ? ReadClass(*clsid, kView64) : ClassEntry{};
            if (wide.inproc) return SixtyFourBitOnly(wide);
            return L"The control " + Quoted(progId_) + L" names class " + *clsid +
                   L", which is not registered on this machine (an installation or removal left it half done)." +
                   registerHint_;
        }
        if (entry.treatAs.empty()) return CheckClass(*clsid, entry, L"class " + *clsid);
        // COM creates the class TreatAs names instead.
        const std::wstring label = L"class " + entry.treatAs + L" (which TreatAs puts in place of " + *clsid + L")";
        const ClassEntry target = ReadClass(entry.treatAs, kView32);
        if (!target.registered)
            return L"The class " + *clsid + L" of " + Quoted(progId_) + L" is redirected by TreatAs to class " +
                   entry.treatAs + L", which is not registered. Remove the TreatAs key of " + *clsid +
                   L", or register the control again.";
        std::wstring found = CheckClass(entry.treatAs, target, label);
        if (!found.empty()) return found;
        return L"The class " + *clsid + L" of " + Quoted(progId_) + L" is redirected by TreatAs to class " +
               entry.treatAs + L", so COM creates that class instead of the control. Remove the TreatAs key of " +
               *clsid + L", or register the control again.";
    }

private:
    std::wstring SixtyFourBitOnly(const ClassEntry& wide) const {
        std::wstring as;
        std::wstring command = RegisterCommand(twoViews_, placeholderFile_);
        if (wide.inproc && !wide.inproc->empty()) {
            const ServerFile file = ResolveServerFile(*wide.inproc);
            as = L" (as " + Quoted(file.path) + L")";
            // Only a 32-bit file can be registered for 32-bit programs.
            if (file.exists) {
                const MappedFile mapped(file.path);
                if (PeImage(mapped.bytes()).kind() == ImageKind::Dll) command = RegisterCommand(twoViews_, file.path);
            }
        }
        std::wstring text = L"The control " + Quoted(progId_) + L" is registered for 64-bit programs only" + as +
                            L", while this program is 32-bit. From an administrator command prompt, register the "
                            L"32-bit control with: " +
                            command + L".";
        if (!wide.appId.empty() && HasDllSurrogate(wide.appId, kView64))
            text += L" Its surrogate process (DllSurrogate) does not help: a control must run inside the program.";
        return text;
    }

    std::wstring NoInprocServer(const std::wstring& clsid, const ClassEntry& entry, const std::wstring& label) const {
        const ClassEntry wide = twoViews_ ? ReadClass(clsid, kView64) : ClassEntry{};
        if (wide.inproc) return SixtyFourBitOnly(wide);
        const std::wstring start = L"The " + label + L" of " + Quoted(progId_) + L" ";
        const std::wstring end = L", not as an in-process control this program can host." + registerHint_;
        if (const auto local = entry.localServer ? entry.localServer : wide.localServer)
            return start + L"is registered as a separate program (LocalServer32: " + Quoted(*local) + L")" + end;
        if (entry.inprocHandler)
            return start + L"is registered with an in-process handler only (InprocHandler32: " +
                   Quoted(*entry.inprocHandler) + L")" + end;
        if (HasDllSurrogate(entry.appId, kView32))
            return start + L"is registered to run in a surrogate process (AppID " + entry.appId + L", DllSurrogate)" +
                   end;
        return start + L"is registered without a file (no InprocServer32 key)." + registerHint_;
    }

    std::wstring CheckClass(const std::wstring& clsid, const ClassEntry& entry, const std::wstring& label) const {
        if (!entry.inproc) return NoInprocServer(clsid, entry, label);
        if (entry.inproc->empty())
            return L"The " + label + L" of " + Quoted(progId_) + L" names no file under InprocServer32." +
                   registerHint_;
        const ServerFile server = ResolveServerFile(*entry.inproc);
        if (!server.exists) {
            if (server.bare)
                return L"The control's file " + Quoted(server.path) +
                       L" is registered without a folder and is in none of the folders Windows searches. Install "
                       L"the control again." +
                       registerHint_;
            return L"The control's file " + Quoted(server.path) +
                   L" does not exist. Install the control again, or put the file back and register it from an "
                   L"administrator command prompt with: " +
                   RegisterCommand(twoViews_, server.path) + L".";
        }
        const std::wstring file = L"The control's file " + Quoted(server.path);
        const MappedFile mapped(server.path);
        if (mapped.openError() != 0)
            return file + L" cannot be read: " + SystemMessage(mapped.openError()) +
                   L" Give this user read access to it, or install the control again.";
        if (!mapped.readable()) return {};
        const PeImage image(mapped.bytes());
        const std::wstring reinstall =
            L" Install the control's 32-bit file again and register it from an administrator command prompt with: " +
            RegisterCommand(twoViews_, placeholderFile_) + L".";
        switch (image.kind()) {
            case ImageKind::NotExecutable:
                return file + L" is not a Windows DLL at all: it is damaged or another kind of file." + reinstall;
            case ImageKind::Damaged:
                return file + L" is damaged: it is shorter than its own headers say." + reinstall;
            case ImageKind::DosOr16Bit:
                return file + L" is a 16-bit or MS-DOS file, not a 32-bit DLL." + reinstall;
            case ImageKind::Wide:
                return file + L" is a 64-bit DLL; this program is 32-bit and can only load a 32-bit control." +
                       reinstall;
            case ImageKind::OtherMachine:
                return file + L" is built for " + MachineName(image.machine()) + L", not for x86." + reinstall;
            case ImageKind::Program:
                return file + L" is a program, not a DLL: the class is registered with the wrong file." + reinstall;
            case ImageKind::Dll:
                break;
        }
        // These answers come from a factory, so the file and its imports did load.
        const bool loaded = failure_ == CLASS_E_CLASSNOTAVAILABLE || failure_ == CLASS_E_NOTLICENSED;
        if (!loaded) {
            if (const auto missing = ImportWalk(server.path).FirstMissing(server.path, image))
                return MissingDll(server.path, *missing);
        }
        if (!image.Exports("DllGetClassObject"))
            return file +
                   L" exports no DllGetClassObject, so it is not an ActiveX control: the class is registered "
                   L"with the wrong file." +
                   reinstall;
        if (failure_ == CLASS_E_CLASSNOTAVAILABLE)
            return file + L" does not provide the " + label + L" that the registry names for " + Quoted(progId_) +
                   L": the registration belongs to another version of the file. Register this file again with: " +
                   RegisterCommand(twoViews_, server.path) + L".";
        if (failure_ == CLASS_E_NOTLICENSED)
            return L"The control " + Quoted(progId_) +
                   L" needs a licence that this machine does not have. Install it with the vendor's setup "
                   L"program, which installs the licence too.";
        if (EqualNoCase(entry.threadingModel, L"Free"))
            return L"The " + label + L" of " + Quoted(progId_) +
                   L" is registered with ThreadingModel \"Free\": COM creates it on a thread of its own, and from "
                   L"there it cannot appear in this program's window. Its registration should say \"Apartment\" or "
                   L"\"Both\"; install or register the control again.";
        return {};
    }

    std::wstring MissingDll(const std::wstring& server, const MissingImport& missing) const {
        const std::wstring runtime = RuntimeOf(missing.dll);
        const std::wstring named = missing.dll + (runtime.empty() ? L"" : L" (" + runtime + L")");
        std::wstring text = L"The control's file " + Quoted(server) + L" cannot be loaded: ";
        text += EqualNoCase(missing.importer, server) ? L"it" : Quoted(missing.importer) + L", which it uses,";
        if (missing.wrongKind.empty())
            text += L" needs " + named + L", which Windows cannot find.";
        else
            text += L" needs " + named + L", and the only one found, " + Quoted(missing.wrongKind) +
                    L", is not a 32-bit DLL.";
        if (Lower(missing.dll).starts_with(L"msvbvm"))
            text += L" Install " + runtime + L", then try again.";
        else if (!runtime.empty())
            text += L" Install the 32-bit (x86) Visual C++ Redistributable that provides it, then try again.";
        else
            text += L" Install what provides it, or put its 32-bit version in " + Quoted(FolderOf(server)) + L".";
        return text;
    }

    std::wstring progId_;
    HRESULT failure_;
    bool twoViews_;
    std::wstring placeholderFile_;
    std::wstring registerHint_;
};

void ReadVersion(const std::wstring& path, RegisteredControl& control) {
    const VersionRecord record(path.c_str());
    if (record.empty()) return;
    std::vector<std::wstring> tables;
    UINT length = 0;
    if (const void* data = record.Value(L"\\VarFileInfo\\Translation", length)) {
        const auto* pairs = static_cast<const WORD*>(data);
        for (UINT i = 0; i + 1 < length / sizeof(WORD) && tables.size() < 16; i += 2) {
            wchar_t table[16];
            wsprintfW(table, L"%04X%04X", pairs[i], pairs[i + 1]);
            tables.emplace_back(table);
        }
    }
    tables.insert(tables.end(), {L"040904B0", L"040904E4", L"04090000"});
    const auto text = [&](const wchar_t* name) -> std::wstring {
        for (const std::wstring& table : tables) {
            const std::wstring query = L"\\StringFileInfo\\" + table + L"\\" + name;
            const auto* data = static_cast<const wchar_t*>(record.Value(query.c_str(), length));
            if (data != nullptr && length > 0) {
                std::wstring value = Trim(std::wstring(data, wcsnlen(data, length)));
                if (!value.empty()) return value;
            }
        }
        return {};
    };
    control.version = text(L"FileVersion");
    control.company = text(L"CompanyName");
    if (const VS_FIXEDFILEINFO* fixed = record.Fixed(); control.version.empty() && fixed != nullptr) {
        wchar_t version[64];
        wsprintfW(version, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        control.version = version;
    }
}

}  // namespace

std::wstring DiagnoseControlCreation(std::wstring_view progId, HRESULT failure) noexcept {
    try {
        return Diagnosis(progId, failure).Run();
    } catch (const std::exception&) {
        return {};  // out of memory: the platform's own text still goes out
    }
}

RegisteredControl DescribeRegisteredControl(std::wstring_view progId) noexcept {
    RegisteredControl control;
    try {
        if (progId.empty() || progId.find(L'\\') != std::wstring_view::npos) return control;
        const auto clsidText = ReadClassesText(std::wstring(progId) + L"\\CLSID", kView32);
        if (!clsidText) return control;
        const auto clsid = CanonicalGuid(*clsidText);
        control.clsid = clsid.value_or(Trim(*clsidText));
        if (!clsid) return control;
        const ClassEntry entry = ReadClass(*clsid, kView32);
        if (!entry.inproc || entry.inproc->empty()) return control;
        control.file = *entry.inproc;
        const ServerFile file = ResolveServerFile(control.file);
        if (file.exists) ReadVersion(file.path, control);
    } catch (const std::exception&) {
        // out of memory: what was found so far
    }
    return control;
}
