#pragma once
// What a DLL file is, read from its bytes in memory: the diagnosis never maps a file, so a file
// on a share or a stick that shrinks or goes away while read is a damaged file, not a crash.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace diagnosis {

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
// against the bytes there are. Holds on to bytes, which must outlive it.
class PeImage {
public:
    explicit PeImage(std::span<const uint8_t> bytes);

    ImageKind kind() const noexcept { return kind_; }
    WORD machine() const noexcept { return machine_; }
    // The DLL names of the import table, in its order; a table cut short ends the list.
    std::vector<std::string> ImportedDlls() const;
    bool Exports(std::string_view wanted) const;

private:
    template <typename T>
    std::optional<T> ReadAt(uint64_t offset) const;
    // The file offset of an address in the loaded image, with how many bytes follow it there.
    std::optional<std::pair<uint64_t, uint64_t>> FileSpan(uint64_t rva) const;
    template <typename T>
    std::optional<T> ReadRva(uint64_t rva) const;
    std::optional<std::string> NameAt(uint64_t rva) const;
    IMAGE_DATA_DIRECTORY Directory(size_t index) const;
    void Parse();

    std::span<const uint8_t> bytes_;
    ImageKind kind_ = ImageKind::NotExecutable;
    WORD machine_ = 0;
    uint64_t headerSize_ = 0;
    std::vector<IMAGE_DATA_DIRECTORY> directories_;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

// A file's bytes, read whole into memory when it is no larger than kMaxFileBytes.
class FileBytes {
public:
    // No plausible DLL is larger; a larger file is opened but not read.
    static constexpr uint64_t kMaxFileBytes = 256ull * 1024 * 1024;

    explicit FileBytes(const std::wstring& path);
    // Reads an open file said to hold size bytes; one that turns out shorter (it shrank since)
    // gives what it still has.
    FileBytes(HANDLE file, uint64_t size);

    // Why the file could not be opened, or why reading it failed; zero when neither.
    DWORD openError() const noexcept { return openError_; }
    DWORD readError() const noexcept { return readError_; }
    bool readable() const noexcept { return readable_; }
    std::span<const uint8_t> bytes() const noexcept { return {data_.get(), size_}; }

private:
    void Read(HANDLE file, uint64_t size);

    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    DWORD openError_ = 0;
    DWORD readError_ = 0;
    bool readable_ = false;
};

}  // namespace diagnosis
