// The PE reader fed damaged images in memory, each placed flush against a page nobody may read,
// so that a read one byte past the end faults at once; and the bounded file read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ClientScratchFolder.h"
#include "FuzzRun.h"
#include "PeImage.h"
#include "ScratchClasses.h"
#include "Unique.h"

namespace {

using diagnosis::FileBytes;
using diagnosis::ImageKind;
using diagnosis::PeImage;

std::string ReadWhole(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

uint32_t Get32(const std::string& bytes, size_t offset) {
    uint32_t value = 0;
    if (offset + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}
uint16_t Get16(const std::string& bytes, size_t offset) { return static_cast<uint16_t>(Get32(bytes, offset)); }
void Put32(std::string& bytes, size_t offset, uint32_t value) {
    if (offset + 4 <= bytes.size()) std::memcpy(bytes.data() + offset, &value, 4);
}

// Where the fields a reader trusts sit in a seed, worked out here from the format's layout.
struct Layout {
    size_t nt = 0;  // "PE\0\0"
    size_t sectionTable = 0;
    size_t sectionsEnd = 0;      // end of the last section's bytes in the file
    std::vector<size_t> fields;  // offsets of counts, sizes, offsets and addresses
};

Layout Lay(const std::string& image) {
    Layout layout;
    layout.nt = Get32(image, 0x3C);
    const size_t file = layout.nt + 4, optional = file + 20;
    layout.sectionTable = optional + Get16(image, file + 16);
    layout.fields = {0x3C, file + 2, file + 16, file + 18, optional, optional + 60, optional + 92};
    for (size_t entry = 0; entry < 2; ++entry)  // the export and import directories
        layout.fields.insert(layout.fields.end(), {optional + 96 + entry * 8, optional + 100 + entry * 8});
    for (size_t i = 0; i < Get16(image, file + 2); ++i) {
        const size_t section = layout.sectionTable + i * 40;
        layout.fields.insert(layout.fields.end(), {section + 8, section + 12, section + 16, section + 20});
        layout.sectionsEnd =
            std::max<size_t>(layout.sectionsEnd, Get32(image, section + 20) + Get32(image, section + 16));
        // The tables themselves: wherever the two directories land in this section's bytes.
        for (size_t entry = 0; entry < 2; ++entry) {
            const uint32_t rva = Get32(image, optional + 96 + entry * 8), start = Get32(image, section + 12);
            if (rva < start || rva - start >= Get32(image, section + 16)) continue;
            const size_t at = Get32(image, section + 20) + (rva - start);
            for (size_t field = 0; field < 40; field += 4) layout.fields.push_back(at + field);
        }
    }
    return layout;
}

// One arena, the bytes of each case copied to its very end, an inaccessible page after it.
class GuardedArena {
public:
    explicit GuardedArena(size_t largest) {
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        room_ = (largest + page_ - 1) / page_ * page_;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, room_ + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        EXPECT_TRUE(base_ != nullptr && VirtualProtect(base_ + room_, page_, PAGE_NOACCESS, &old));
    }
    GuardedArena(const GuardedArena&) = delete;
    GuardedArena& operator=(const GuardedArena&) = delete;
    ~GuardedArena() { VirtualFree(base_, 0, MEM_RELEASE); }

    std::span<const uint8_t> Place(const std::string& bytes) {
        uint8_t* start = base_ + room_ - bytes.size();
        std::memcpy(start, bytes.data(), bytes.size());
        return {start, bytes.size()};
    }

private:
    size_t page_ = 0, room_ = 0;
    uint8_t* base_ = nullptr;
};

struct Facts {
    ImageKind kind;
    std::vector<std::string> imports;
    bool exportsFactory;
    bool operator==(const Facts&) const = default;
};

Facts Read(std::span<const uint8_t> bytes) {
    const PeImage image(bytes);
    return {image.kind(), image.ImportedDlls(), image.Exports("DllGetClassObject")};
}

TEST(PeImageFuzz, DamagedImagesAreJudgedWithinTheirBytes) {
    struct Seed {
        std::string bytes;
        Layout layout;
        Facts facts;
    };
    std::vector<Seed> seeds;
    size_t largest = 0;
    for (const std::wstring& path : {BinFolder() + L"VbFunzioniStandIn.dll", Fixture(L"TalvoDiagTop.dll"),
                                     Fixture(L"TalvoDiagWide.dll"), Fixture(L"TalvoDiagNoFactory.dll")}) {
        std::string bytes = ReadWhole(path);
        ASSERT_GT(bytes.size(), 1024u) << testing::PrintToString(path);
        largest = std::max(largest, bytes.size());
        const Layout layout = Lay(bytes);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        seeds.push_back({bytes, layout, Read({data, bytes.size()})});
    }
    // What the build made them: a DLL serving classes, one without a factory, a 64-bit one.
    EXPECT_EQ(seeds[0].facts.kind, ImageKind::Dll);
    EXPECT_TRUE(seeds[0].facts.exportsFactory);
    EXPECT_TRUE(std::find(seeds[1].facts.imports.begin(), seeds[1].facts.imports.end(), "TalvoDiagMiddle.dll") !=
                seeds[1].facts.imports.end());
    EXPECT_EQ(seeds[2].facts.kind, ImageKind::Wide);
    EXPECT_FALSE(seeds[3].facts.exportsFactory);

    const uint32_t values[] = {0, 1, 2, 0x40, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFF};
    FuzzRun run("PeImage", FuzzSettings::FromEnvironment(20261209, 4000));
    Dice dice(run.settings().seed);
    GuardedArena arena(largest);
    unsigned cut = 0, stub = 0, fields = 0;
    for (unsigned long round = 0; round < run.settings().count; ++round) {
        const Seed& seed = seeds[dice.Below(static_cast<uint32_t>(seeds.size()))];
        std::string bytes = seed.bytes;
        const auto size = static_cast<uint32_t>(bytes.size());
        const uint32_t how = dice.Below(4);
        if (how == 0) {  // cut short anywhere, the headers most often
            bytes.resize(dice.Chance(50) ? dice.Below(1024) : dice.Below(size));
            ++cut;
        } else if (how == 1 && seed.layout.nt > 0x40) {  // the DOS stub, which nothing reads
            for (uint32_t n = 1 + dice.Below(16); n > 0; --n)
                bytes[0x40 + dice.Below(static_cast<uint32_t>(seed.layout.nt - 0x40))] = static_cast<char>(dice.Bits());
            ++stub;
        } else {  // the fields a reader follows, and random bytes
            for (uint32_t n = 1 + dice.Below(4); n > 0; --n) {
                const size_t at = seed.layout.fields[dice.Below(static_cast<uint32_t>(seed.layout.fields.size()))];
                const uint32_t was = Get32(bytes, at);
                const uint32_t pick = dice.Below(4);
                Put32(bytes, at,
                      pick == 0   ? values[dice.Below(std::size(values))]
                      : pick == 1 ? size + dice.Below(9) - 4
                      : pick == 2 ? was + dice.Below(65) - 32
                                  : dice.Bits());
            }
            for (uint32_t n = dice.Below(3); n > 0; --n) bytes[dice.Below(size)] = static_cast<char>(dice.Bits());
            if (dice.Chance(20)) bytes.resize(dice.Below(size));
            ++fields;
        }
        const Facts facts = Read(arena.Place(bytes));
        const std::string label = "round " + std::to_string(round) + ", " + std::to_string(bytes.size()) + " bytes";
        for (const std::string& name : facts.imports) {
            if (name.empty() || name.size() >= MAX_PATH || name.find('\0') != std::string::npos)
                run.Mismatch(label + ": imported name " + Printable(name));
        }
        if (how == 0 && bytes.size() < seed.layout.sectionsEnd &&
            (facts.kind == ImageKind::Dll || facts.kind == ImageKind::Program))
            run.Mismatch(label + ": a file cut inside its sections is taken as loadable");
        if (how == 1 && seed.layout.nt > 0x40 && !(facts == seed.facts))
            run.Mismatch(label + ": a changed DOS stub changed what the image is");
    }
    run.Detail("cut " + std::to_string(cut) + ", stub " + std::to_string(stub) + ", fields " + std::to_string(fields));
}

TEST(FileBytes, AFileThatShrankOrCannotBeReadGivesAnAnswer) {
    ClientScratchFolder folder;
    const std::wstring path = folder.path() + L"Shrunk.ocx";
    const std::string whole = ReadWhole(Fixture(L"TalvoDiagTop.dll"));
    ASSERT_TRUE(std::ofstream(path.c_str(), std::ios::binary).write(whole.data(), 4096));

    // Its size was taken when it was whole; only 4096 bytes are left when it is read.
    {
        const unique_hfile file(
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        const FileBytes read(file.get(), whole.size());
        ASSERT_TRUE(read.readable());
        EXPECT_EQ(read.readError(), 0u);
        EXPECT_EQ(std::string(read.bytes().begin(), read.bytes().end()), whole.substr(0, 4096));
        EXPECT_EQ(PeImage(read.bytes()).kind(), ImageKind::Damaged);
    }
    // A handle that may not read: the failure is kept, no bytes are judged.
    {
        const unique_hfile file(
            CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(file);
        const FileBytes read(file.get(), 4096);
        EXPECT_FALSE(read.readable());
        EXPECT_NE(read.readError(), 0u);
        EXPECT_TRUE(read.bytes().empty());
        // Past the bound nothing is read or allocated at all.
        const FileBytes huge(file.get(), FileBytes::kMaxFileBytes + 1);
        EXPECT_FALSE(huge.readable());
        EXPECT_EQ(huge.readError(), 0u);
    }
    const FileBytes absent(folder.path() + L"Absent.ocx");
    EXPECT_EQ(absent.openError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
