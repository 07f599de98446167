// Seeded random vendor keys and install folders for the installed client locator, with
// HKEY_LOCAL_MACHINE redirected in this process to a scratch key. The answer each
// combination must get is worked out here from what the test put in the registry and on
// disk, not from the locator.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FullPathClientInstalled.h"
#include "NumberedError.h"
#include "Unique.h"
#include "support/ClientScratchFolder.h"
#include "support/FuzzRun.h"
#include "support/ProcessHandleCount.h"
#include "support/RegistryScratchKey.h"

namespace {

enum class Entry { None, Normal, Archive, ReadOnly, Hidden, System, Folder };
constexpr Entry AllEntries[] = {Entry::None,   Entry::Normal, Entry::Archive, Entry::ReadOnly,
                                Entry::Hidden, Entry::System, Entry::Folder};

char FlipCase(char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c >= 'A' && c <= 'Z' ? c + 32 : c); }

// Registry names match in any case.
bool SameName(std::string a, std::string b) {
    for (char& c : a) c = c >= 'A' && c <= 'Z' ? FlipCase(c) : c;
    for (char& c : b) c = c >= 'A' && c <= 'Z' ? FlipCase(c) : c;
    return a == b;
}

// Paths match in any case, with either slash.
std::wstring PathKey(std::wstring path) {
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
    return path;
}

std::string Narrow(const std::wstring& ascii) { return std::string(ascii.begin(), ascii.end()); }

// What the test put on disk.
class Disk {
public:
    void Add(const std::wstring& path, Entry entry) { entries_[PathKey(path)] = entry; }
    // An ordinary or read-only file at exactly this path. A wildcard is not a pattern
    // here, and a path the test did not make names nothing.
    bool FileAt(const std::wstring& path) const {
        if (path.find_first_of(L"*?") != std::wstring::npos) return false;
        const auto found = entries_.find(PathKey(path));
        if (found == entries_.end()) return false;
        return found->second == Entry::Normal || found->second == Entry::Archive || found->second == Entry::ReadOnly;
    }

private:
    std::map<std::wstring, Entry> entries_;
};

constexpr wchar_t Accented[] = L"Citt\u00e0 \u00e9t\u00e9";

std::string ToCodePage(const std::wstring& text) {
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(std::max(length, 0)), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(), length, nullptr, nullptr);
    return ansi;
}

// Install folders with every combination of what can stand where the two executables
// should be, plus a decoy a pattern would match, files "inner..." that a directory stored
// as "<folder>\\inner" (no trailing backslash) glues onto, and a sub-folder whose name
// needs the code page.
class Folders {
public:
    explicit Folders(Dice& dice) {
        for (const Entry quintell : AllEntries)
            for (const Entry pellora : AllEntries) {
                auto& folder = *folders_.emplace_back(std::make_unique<ClientScratchFolder>());
                if (quintell != Entry::None || folders_.size() % 2 == 0) Place(folder, L"Quintell", Entry::Folder);
                Place(folder, L"Quintell\\Quintell.exe", quintell);
                Place(folder, L"Pellora.exe", pellora);
                Place(folder, L"xPellora.exe", Entry::Normal);
                const Entry inner = AllEntries[dice.Below(7)];
                Place(folder, L"innerPellora.exe", inner);
                if (dice.Chance(50)) {
                    Place(folder, L"innerQuintell", Entry::Folder);
                    Place(folder, L"innerQuintell\\Quintell.exe", AllEntries[dice.Below(7)]);
                }
                if (dice.Chance(50)) {
                    Place(folder, Accented, Entry::Folder);
                    Place(folder, std::wstring(Accented) + L"\\Pellora.exe", AllEntries[dice.Below(7)]);
                }
            }
    }

    const Disk& disk() const { return disk_; }
    const std::wstring& Pick(Dice& dice) const {
        return folders_[dice.Below(static_cast<std::uint32_t>(folders_.size()))]->path();
    }

private:
    void Place(const ClientScratchFolder& folder, const std::wstring& relative, Entry entry) {
        switch (entry) {
            case Entry::None:
                return;
            case Entry::Folder:
                folder.AddFolder(relative);
                break;
            case Entry::Normal:
                folder.AddFile(relative, FILE_ATTRIBUTE_NORMAL);
                break;
            case Entry::Archive:
                folder.AddFile(relative, FILE_ATTRIBUTE_ARCHIVE);
                break;
            case Entry::ReadOnly:
                folder.AddFile(relative, FILE_ATTRIBUTE_READONLY);
                break;
            case Entry::Hidden:
                folder.AddFile(relative, FILE_ATTRIBUTE_HIDDEN);
                break;
            case Entry::System:
                folder.AddFile(relative, FILE_ATTRIBUTE_SYSTEM);
                break;
        }
        disk_.Add(folder.path() + relative, entry);
    }

    std::vector<std::unique_ptr<ClientScratchFolder>> folders_;
    Disk disk_;
};

// An install directory as someone might have stored it: one of the folders, spelled
// differently or damaged, or junk. The folders' names hold the process id, so the number
// of draws must not depend on their length, or a seed would not replay the same cases.
std::string DrawDirectory(Dice& dice, const Folders& folders) {
    std::string dir = Narrow(folders.Pick(dice));
    const std::uint32_t which = dice.Below(14);
    const std::uint32_t mask = dice.Bits();
    const auto chosen = [&](size_t at) { return (mask >> (at % 32) & 1) != 0; };
    switch (which) {
        case 0:
        case 1:
        case 2:
            return dir;
        case 3:
            return dir + "inner";
        case 4:
            for (size_t i = 0; i < dir.size(); ++i)
                if (chosen(i)) dir[i] = FlipCase(dir[i]);
            return dir;
        case 5:
            for (size_t i = 0; i < dir.size(); ++i)
                if (dir[i] == '\\' && chosen(i)) dir[i] = '/';
            return dir;
        case 6:
            dir.pop_back();
            return dir;  // no trailing backslash
        case 7: {
            const std::string wild = "*?<>\"";
            const char c = wild[mask % wild.size()];
            if (mask % 10 < 7) return dir + c;
            return dir.insert(mask % dir.size(), 1, c);
        }
        case 8:
            return dir + std::string(200 + dice.Below(33000), 'a') + "\\";  // beyond what the platform searches
        case 9:
            return dir + "Quintell\\";
        case 10:
            return dir + ToCodePage(std::wstring(Accented) + L"\\");
        case 11: {
            std::string text;
            for (std::uint32_t n = dice.Below(40); n > 0; --n) text += static_cast<char>(0x20 + dice.Below(0x5F));
            if (dice.Chance(50)) text += '\\';
            return text;
        }
        default: {
            std::string bytes;
            for (std::uint32_t n = dice.Below(300); n > 0; --n) bytes += static_cast<char>(1 + dice.Below(255));
            return bytes;
        }
    }
}

const char* const Products[] = {"Pellora", "Quintell", "Sarvek"};

struct ProductKey {
    bool exists = false;
    std::string spelling;  // of the product's key name
    bool hasValue = false;
    std::string valueName;
    DWORD type = REG_NONE;
    std::string data;
    // The data as the ANSI query hands it back: string types make a trip through UTF-16,
    // which a multi-byte code page does not undo byte for byte.
    std::string stored;
};

std::string Respell(Dice& dice, std::string name) {
    for (char& c : name)
        if (dice.Chance(40)) c = FlipCase(c);
    return name;
}

// Left to chance, a key with a directory ahead of the server's hides the disk search most
// of the time; some cases ask for no key, or for a plain string directory, to reach it.
enum class Draw { Any, NoKey, Directory };

ProductKey DrawProductKey(Dice& dice, const char* product, const Folders& folders, Draw draw) {
    ProductKey k;
    k.exists = draw == Draw::Directory || (draw == Draw::Any && !dice.Chance(30));
    if (!k.exists) return k;
    k.spelling = dice.Chance(85) ? std::string(product) : Respell(dice, product);
    k.hasValue = draw == Draw::Directory || !dice.Chance(10);
    if (!k.hasValue) return k;
    const std::vector<std::string> otherNames = {"InstallDir2", "Install Dir", "InstallDir ", "", "InstallDi", "Dir"};
    const std::uint32_t name = dice.Below(100);
    k.valueName = name < 85 || draw == Draw::Directory ? "InstallDir"
                  : name < 93                          ? Respell(dice, "InstallDir")
                                                       : dice.Pick(otherNames);
    k.type = dice.Chance(75) || draw == Draw::Directory ? REG_SZ : dice.Below(12);
    switch (draw == Draw::Directory ? 19 : dice.Below(20)) {
        case 0:
        case 1:
            break;  // no data
        case 2:
            k.data.assign(1, '\0');
            break;
        case 3:
        case 4:
            for (std::uint32_t n = dice.Below(600); n > 0; --n) k.data += static_cast<char>(dice.Below(256));
            break;
        default:
            k.data = DrawDirectory(dice, folders);
            if (const std::uint32_t end = dice.Below(100); end < 60) {
                k.data += '\0';
            } else if (end < 80) {
                k.data += '\0';
                for (std::uint32_t n = 1 + dice.Below(20); n > 0; --n) k.data += static_cast<char>(dice.Below(256));
            }
    }
    return k;
}

void Write(HKEY vendorRoot, ProductKey& k) {
    if (!k.exists) return;
    unique_hkey key;
    const std::string path = "SOFTWARE\\Brevanti\\" + k.spelling;
    ASSERT_EQ(RegCreateKeyExA(vendorRoot, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    if (!k.hasValue) return;
    // A NUL just past the counted data would be taken as forgotten and stored too.
    const std::string buffer = k.data + 'x';
    ASSERT_EQ(RegSetValueExA(key.get(), k.valueName.c_str(), 0, k.type, reinterpret_cast<const BYTE*>(buffer.data()),
                             static_cast<DWORD>(k.data.size())),
              ERROR_SUCCESS);
    k.stored.assign(2 * k.data.size() + 16, '\0');
    DWORD size = static_cast<DWORD>(k.stored.size());
    ASSERT_EQ(RegQueryValueExA(key.get(), k.valueName.c_str(), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(k.stored.data()), &size),
              ERROR_SUCCESS);
    k.stored.resize(size);
}

// --- The rules ----------------------------------------------------------------------------

// Nothing when the key does not open; otherwise its InstallDir when that is a REG_SZ with
// data (the text up to its first NUL, or all of it), else the empty text.
std::optional<std::wstring> Probe(const ProductKey& k) {
    if (!k.exists) return std::nullopt;
    if (!k.hasValue || !SameName(k.valueName, "InstallDir") || k.type != REG_SZ || k.stored.empty()) return L"";
    return AnsiToWide(k.stored.substr(0, k.stored.find('\0')));
}

enum Outcome { FromPellora, FromQuintell, ServerUntested, ServerQuintell, ServerPellora, Nothing, OutcomeCount };
const char* const OutcomeNames[] = {
    "Pellora", "Quintell", "server+Pellora untested", "server+Quintell on disk", "server+Pellora on disk", "none"};

std::pair<Outcome, std::wstring> Expected(const ProductKey (&keys)[3], const Disk& disk) {
    const auto pellora = Probe(keys[0]);
    if (pellora && !pellora->empty()) return {FromPellora, *pellora + L"Pellora.exe"};
    const auto quintell = Probe(keys[1]);
    const auto server = Probe(keys[2]);
    const bool serverDir = server && !server->empty();
    if (quintell) {
        if (!quintell->empty()) return {FromQuintell, *quintell + L"Quintell.exe"};
        if (serverDir) return {ServerUntested, *server + L"Pellora.exe"};
        return {Nothing, L""};
    }
    if (serverDir) {
        if (disk.FileAt(*server + L"Quintell\\Quintell.exe"))
            return {ServerQuintell, *server + L"Quintell\\Quintell.exe"};
        if (disk.FileAt(*server + L"Pellora.exe")) return {ServerPellora, *server + L"Pellora.exe"};
    }
    return {Nothing, L""};
}

std::string Describe(const ProductKey& k) {
    if (!k.exists) return "no key";
    std::string text = "key \"" + k.spelling + "\"";
    if (!k.hasValue) return text + ", no value";
    return text + ", \"" + k.valueName + "\" type " + std::to_string(k.type) + " " + std::to_string(k.data.size()) +
           " bytes \"" + Printable(k.data, 120) + "\"";
}

// HKEY_LOCAL_MACHINE of this process leads to the scratch key while it lives.
class RedirectedMachineKey {
public:
    RedirectedMachineKey() { EXPECT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch_.get()), ERROR_SUCCESS); }
    RedirectedMachineKey(const RedirectedMachineKey&) = delete;
    RedirectedMachineKey& operator=(const RedirectedMachineKey&) = delete;
    ~RedirectedMachineKey() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

    HKEY root() const { return scratch_.get(); }
    void Clear() const {
        for (const char* product : Products)
            RegDeleteTreeA(scratch_.get(), (std::string("SOFTWARE\\Brevanti\\") + product).c_str());
    }

private:
    RegistryScratchKey scratch_;
};

TEST(ClientLocatorFuzz, AnswerFollowsTheRulesForRandomVendorKeysAndFolders) {
    FuzzRun run("installed client locator", FuzzSettings::FromEnvironment(0x7A1F0003u, 5000));
    Dice dice(run.settings().seed);
    const Folders folders(dice);
    RedirectedMachineKey machine;

    {  // what the locator's platform calls open once, on first use
        ProductKey server;
        server.exists = server.hasValue = true;
        server.spelling = "Sarvek";
        server.valueName = "InstallDir";
        server.type = REG_SZ;
        server.data = Narrow(folders.Pick(dice));
        Write(machine.root(), server);
        FullPathClientInstalled();
        machine.Clear();
    }
    const std::optional<size_t> handlesBefore = ProcessOwnHandleCount();
    ASSERT_TRUE(handlesBefore) << "the system handle table is not available";
    const size_t heapBefore = ProcessHeapBytesInUse();

    unsigned long outcomes[OutcomeCount] = {};
    for (unsigned long i = 0; i < run.settings().count; ++i) {
        const bool serverSearch = dice.Chance(30);
        const Draw draws[3] = {serverSearch && dice.Chance(50) ? Draw::NoKey : Draw::Any,
                               serverSearch ? Draw::NoKey : Draw::Any, serverSearch ? Draw::Directory : Draw::Any};
        ProductKey keys[3];
        for (int p = 0; p < 3; ++p) {
            keys[p] = DrawProductKey(dice, Products[p], folders, draws[p]);
            Write(machine.root(), keys[p]);
        }
        if (testing::Test::HasFatalFailure()) return;

        const auto [outcome, expected] = Expected(keys, folders.disk());
        ++outcomes[outcome];
        std::wstring answer;
        try {
            answer = FullPathClientInstalled();
        } catch (const NumberedError& e) {
            answer = L"<error " + std::to_wstring(e.Number()) + L">";
        }
        if (answer != expected)
            run.Mismatch("case " + std::to_string(i) + " (" + OutcomeNames[outcome] +
                         "): " + Difference(answer, expected) + "\n  Pellora: " + Describe(keys[0]) +
                         "\n  Quintell: " + Describe(keys[1]) + "\n  Sarvek: " + Describe(keys[2]));
        machine.Clear();
    }

    const std::optional<size_t> handlesAfter = ProcessOwnHandleCount();
    ASSERT_TRUE(handlesAfter);
    EXPECT_LE(*handlesAfter, *handlesBefore) << "handles left open by the run";
    const size_t heapAfter = ProcessHeapBytesInUse();
    EXPECT_LE(heapAfter, heapBefore) << "process heap blocks left behind by the run";
    std::string detail;
    for (int o = 0; o < OutcomeCount; ++o)
        detail += std::string(o ? ", " : "") + OutcomeNames[o] + " " + std::to_string(outcomes[o]);
    run.Detail(detail + "; handles " + std::to_string(*handlesBefore) + " -> " + std::to_string(*handlesAfter) +
               ", process heap " + std::to_string(heapBefore) + " -> " + std::to_string(heapAfter) + " bytes");
}

}  // namespace
