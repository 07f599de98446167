#pragma once
// The pieces the seeded fuzz runs share: settings a failure can be replayed with, a
// portable dice, and reporting that names the case without flooding the log.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

// TALVO_FUZZ_SEED and TALVO_FUZZ_COUNT replay a failure or lengthen a run.
struct FuzzSettings {
    std::uint32_t seed;
    unsigned long count;

    static FuzzSettings FromEnvironment(std::uint32_t seed, unsigned long count) {
        if (const char* text = std::getenv("TALVO_FUZZ_SEED"); text != nullptr && *text != '\0')
            seed = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
        if (const char* text = std::getenv("TALVO_FUZZ_COUNT"); text != nullptr && *text != '\0')
            count = std::max(1ul, std::strtoul(text, nullptr, 0));
        return {seed, count};
    }
};

// Plain modulo rather than the standard distributions, whose output differs between
// standard libraries: a seed replays the same run anywhere.
class Dice {
public:
    explicit Dice(std::uint32_t seed) : engine_(seed) {}
    std::uint32_t Bits() { return static_cast<std::uint32_t>(engine_()); }
    std::uint32_t Below(std::uint32_t n) { return Bits() % n; }
    bool Chance(std::uint32_t percent) { return Below(100) < percent; }
    template <typename T>
    const T& Pick(const std::vector<T>& from) {
        return from[Below(static_cast<std::uint32_t>(from.size()))];
    }
    char Pick(const std::string& from) { return from[Below(static_cast<std::uint32_t>(from.size()))]; }

private:
    std::mt19937 engine_;
};

// ANSI text as the system code page reads it, worked out here rather than by the code under test.
inline std::wstring AnsiToWide(const std::string& ansi) {
    if (ansi.empty()) return {};
    const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), length);
    return wide;
}

inline std::string Printable(const std::string& bytes, size_t limit = 48) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (bytes.size() > limit) out += "...";
    return out;
}

// Two texts that should be equal, shortened to where they part.
inline std::string Difference(const std::wstring& got, const std::wstring& expected) {
    const auto at = static_cast<size_t>(std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
                                        got.begin());
    const size_t from = at > 8 ? at - 8 : 0;
    return "got " + std::to_string(got.size()) + " characters, expected " + std::to_string(expected.size()) +
           "; from character " + std::to_string(from) + ": " + testing::PrintToString(got.substr(from, 48)) + " vs " +
           testing::PrintToString(expected.substr(from, 48));
}

// Bytes in use on the process heap, where the platform keeps what a handle of its own
// making holds: under Wine a file search handle is such a block, not a kernel handle. The
// C runtime's allocations live on a heap of their own.
inline size_t ProcessHeapBytesInUse() {
    const HANDLE heap = GetProcessHeap();
    // With Wine's heap checking on (WINEDEBUG=warn+heap) a freed block waits in a queue of
    // 1024 before it is really freed, and counts as in use till then. Filling the queue
    // with small blocks first makes two counts comparable; without checking it costs nothing.
    for (int i = 0; i < 2048; ++i) HeapFree(heap, 0, HeapAlloc(heap, 0, 16));
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY entry{};
    size_t busy = 0;
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    HeapUnlock(heap);
    return busy;
}

// Reports the first mismatches in full and counts the rest; prints the seed, count and
// time of the run, and records them in the test's properties.
class FuzzRun {
public:
    FuzzRun(const char* name, FuzzSettings settings)
        : name_(name), settings_(settings), started_(std::chrono::steady_clock::now()) {}
    FuzzRun(const FuzzRun&) = delete;
    FuzzRun& operator=(const FuzzRun&) = delete;
    ~FuzzRun() {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        std::printf("[ fuzz     ] %s: seed %lu, count %lu, %.2f s, %u mismatches%s\n", name_,
                    static_cast<unsigned long>(settings_.seed), settings_.count, seconds, mismatches_, detail_.c_str());
        std::fflush(stdout);
        testing::Test::RecordProperty("seed", std::to_string(settings_.seed));
        testing::Test::RecordProperty("count", std::to_string(settings_.count));
        testing::Test::RecordProperty("seconds", std::to_string(seconds));
        EXPECT_EQ(mismatches_, 0u) << name_ << ": replay with TALVO_FUZZ_SEED=" << settings_.seed
                                   << " TALVO_FUZZ_COUNT=" << settings_.count;
    }

    const FuzzSettings& settings() const { return settings_; }
    // Shows how much of the run reached the interesting paths.
    void Detail(const std::string& text) { detail_ = "; " + text; }
    void Mismatch(const std::string& what) {
        if (++mismatches_ <= 20) ADD_FAILURE() << what;
    }

private:
    const char* name_;
    FuzzSettings settings_;
    std::chrono::steady_clock::time_point started_;
    unsigned mismatches_ = 0;
    std::string detail_;
};
