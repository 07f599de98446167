#include "PeImage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "Unique.h"

namespace diagnosis {

namespace {

// Limits against hostile or broken files.
constexpr uint32_t kMaxSections = 96;  // the loader refuses more
constexpr uint32_t kMaxImportedDlls = 1024;
constexpr uint32_t kMaxExportNames = 65536;
constexpr size_t kMaxDllName = MAX_PATH;
// One ReadFile at a time; a share answers large reads slowly or not at all.
constexpr DWORD kReadChunk = 1024 * 1024;

}  // namespace

PeImage::PeImage(std::span<const uint8_t> bytes) : bytes_(bytes) { Parse(); }

template <typename T>
std::optional<T> PeImage::ReadAt(uint64_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
}

std::optional<std::pair<uint64_t, uint64_t>> PeImage::FileSpan(uint64_t rva) const {
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
std::optional<T> PeImage::ReadRva(uint64_t rva) const {
    const auto span = FileSpan(rva);
    if (!span || span->second < sizeof(T)) return std::nullopt;
    return ReadAt<T>(span->first);
}

std::optional<std::string> PeImage::NameAt(uint64_t rva) const {
    const auto span = FileSpan(rva);
    if (!span) return std::nullopt;
    const auto* start = reinterpret_cast<const char*>(bytes_.data() + span->first);
    const size_t limit = static_cast<size_t>(std::min<uint64_t>(span->second, kMaxDllName));
    const size_t length = strnlen(start, limit);
    if (length == 0 || length == limit) return std::nullopt;
    return std::string(start, length);
}

IMAGE_DATA_DIRECTORY PeImage::Directory(size_t index) const {
    return index < directories_.size() ? directories_[index] : IMAGE_DATA_DIRECTORY{};
}

void PeImage::Parse() {
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

std::vector<std::string> PeImage::ImportedDlls() const {
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

bool PeImage::Exports(std::string_view wanted) const {
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

FileBytes::FileBytes(const std::wstring& path) {
    const unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        openError_ = GetLastError();
        return;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return;
    Read(file.get(), static_cast<uint64_t>(size.QuadPart));
}

FileBytes::FileBytes(HANDLE file, uint64_t size) { Read(file, size); }

void FileBytes::Read(HANDLE file, uint64_t size) {
    if (size > kMaxFileBytes) return;
    if (size > 0) {
        data_.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
        if (!data_) return;  // no room for it in this process: no verdict
    }
    while (size_ < size) {
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(size - size_, kReadChunk));
        DWORD got = 0;
        if (!ReadFile(file, data_.get() + size_, wanted, &got, nullptr)) {
            readError_ = GetLastError() != 0 ? GetLastError() : ERROR_READ_FAULT;
            return;
        }
        if (got == 0) break;  // the file ends sooner than it did a moment ago
        size_ += got;
    }
    readable_ = true;
}

}  // namespace diagnosis
