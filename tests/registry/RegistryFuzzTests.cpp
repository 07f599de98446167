// Seeded random registry values read back through clsRegistry. What each getter has to
// answer is worked out here from the bytes written, not from the reader.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "clsRegistry.h"
#include "support/FuzzRun.h"
#include "support/ProcessHandleCount.h"
#include "support/RegistryScratchKey.h"

namespace {

// --- The rules, from the bytes as stored -------------------------------------------------

// A REG_SZ with data: the text up to its first NUL, or all of it. No data, or any other type:
// the default.
std::wstring ExpectedText(DWORD type, const std::string& data, const std::wstring& fallback) {
    if (type != REG_SZ || data.empty()) return fallback;
    return AnsiToWide(data.substr(0, data.find('\0')));
}

// A REG_DWORD of at most 4 bytes, zero-extended, little-endian, signed; longer data does not
// fit and gives the default.
long ExpectedLong(DWORD type, const std::string& data, long fallback) {
    if (type != REG_DWORD || data.size() > 4) return fallback;
    std::uint32_t value = 0;
    for (size_t i = 0; i < data.size(); ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    return static_cast<long>(static_cast<std::int32_t>(value));
}

// --- The generator -----------------------------------------------------------------------

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// The ANSI functions store string types as UTF-16 and convert back when read: only bytes
// that survive that trip can be drawn for them. In a single-byte code page that is every
// byte; in a multi-byte one a lone byte is safe only below 0x80.
struct Alphabets {
    std::string stringBytes;  // non-NUL bytes a REG_SZ keeps
    std::string text;         // letters and signs, as a person would type them
};

Alphabets MeasureAlphabets(HKEY scratch) {
    Alphabets a;
    CPINFO info{};
    const bool singleByte = GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
    std::string all;
    for (int c = 1; c < (singleByte ? 256 : 128); ++c) all += static_cast<char>(c);
    all += 'x';  // not counted: keeps the platform from adding a NUL it thinks was forgotten
    EXPECT_EQ(RegSetValueExA(scratch, "alphabet", 0, REG_SZ, reinterpret_cast<const BYTE*>(all.data()),
                             static_cast<DWORD>(all.size() - 1)),
              ERROR_SUCCESS);
    std::string back(all.size() + 16, '\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(back.size());
    EXPECT_EQ(RegQueryValueExA(scratch, "alphabet", nullptr, &type, reinterpret_cast<BYTE*>(back.data()), &size),
              ERROR_SUCCESS);
    RegDeleteValueA(scratch, "alphabet");
    if (size == all.size() - 1) {
        for (size_t i = 0; i < size; ++i)
            if (back[i] == all[i]) a.stringBytes += all[i];
    }
    EXPECT_GE(a.stringBytes.size(), 127u) << "this code page changes ASCII on the way through the registry";
    for (const char c : a.stringBytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 0x20 && u < 0x7F) || u >= 0xC0) a.text += c;
    }
    return a;
}

enum class Content { AnyBytes, NoNul, TextWithNul, TextEmbeddedNul, TextWithoutNul, AllNul };
const char* const ContentNames[] = {"any bytes", "no NUL", "text+NUL", "text,NUL,junk", "text", "all NUL"};

struct Value {
    DWORD type;
    Content content;
    std::string name;  // ANSI
    std::string data;
};

DWORD DrawSize(Dice& dice, DWORD type) {
    if ((type == REG_DWORD || type == REG_QWORD) && dice.Chance(50)) return dice.Below(9);  // around 4 bytes
    switch (dice.Below(10)) {
        case 0:
        case 1:
        case 2:
        case 3:
            return dice.Below(9);
        case 4:
        case 5:
        case 6:
            return 9 + dice.Below(300);
        case 7:
        case 8:
            return 309 + dice.Below(4096 - 309);
        default:
            return 4096 + dice.Below(65536 - 4096 + 1);
    }
}

Value DrawValue(Dice& dice, const Alphabets& alphabets, unsigned long index) {
    Value v;
    // Every type turns up; the two the reader takes, more often.
    const std::uint32_t roll = dice.Below(10);
    v.type = roll < 3 ? REG_SZ : roll < 5 ? REG_DWORD : dice.Below(12);
    const DWORD size = DrawSize(dice, v.type);
    v.content = static_cast<Content>(dice.Below(6));
    const bool stringType = IsStringType(v.type);
    const auto anyByte = [&] {
        if (!stringType) return static_cast<char>(dice.Below(256));
        return dice.Chance(10) ? '\0' : dice.Pick(alphabets.stringBytes);
    };
    const auto nonNulByte = [&] {
        return stringType ? dice.Pick(alphabets.stringBytes) : static_cast<char>(1 + dice.Below(255));
    };
    v.data.resize(size);
    for (char& c : v.data) {
        switch (v.content) {
            case Content::AnyBytes:
                c = anyByte();
                break;
            case Content::NoNul:
                c = nonNulByte();
                break;
            case Content::AllNul:
                c = '\0';
                break;
            default:
                c = dice.Pick(alphabets.text);
                break;
        }
    }
    if (size > 0 && v.content == Content::TextWithNul) v.data.back() = '\0';
    if (size > 0 && v.content == Content::TextEmbeddedNul) {
        const size_t nul = dice.Below(size);
        v.data[nul] = '\0';
        for (size_t i = nul + 1; i < size; ++i) v.data[i] = anyByte();
    }
    if (dice.Chance(2)) return v;  // the key's unnamed value
    v.name = "v";
    v.name += std::to_string(index);
    for (std::uint32_t n = dice.Below(8); n > 0; --n) v.name += dice.Pick(alphabets.text);
    return v;
}

void Write(HKEY key, const Value& v) {
    // A NUL just past the counted data would be taken as forgotten and stored too.
    std::string buffer = v.data + 'x';
    ASSERT_EQ(RegSetValueExA(key, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(buffer.data()),
                             static_cast<DWORD>(v.data.size())),
              ERROR_SUCCESS)
        << "type " << v.type << " size " << v.data.size();
}

std::wstring DrawDefault(Dice& dice) {
    std::wstring text;
    for (std::uint32_t n = dice.Below(10); n > 0; --n) text += static_cast<wchar_t>(L'!' + dice.Below(94));
    return text;
}

TEST(RegistryFuzz, ReaderAnswersFollowTheRulesForRandomValues) {
    FuzzRun run("registry reader, real registry", FuzzSettings::FromEnvironment(0x7A1F0001u, 10000));
    RegistryScratchKey scratch;
    const Alphabets alphabets = MeasureAlphabets(scratch.get());
    ASSERT_FALSE(alphabets.text.empty());

    {  // handles the registry functions open once, on first use
        clsRegistry warm;
        ASSERT_TRUE(warm.OpenKey(scratch.name(), HKEY_CURRENT_USER));
        warm.GetStringValue(L"none", L"");
    }
    const std::optional<size_t> handlesBefore = ProcessOwnHandleCount();
    ASSERT_TRUE(handlesBefore) << "the system handle table is not available";
    const size_t heapBefore = ProcessHeapBytesInUse();

    Dice dice(run.settings().seed);
    unsigned long texts = 0, numbers = 0, bytes = 0;
    {
        clsRegistry reader;
        ASSERT_TRUE(reader.OpenKey(scratch.name(), HKEY_CURRENT_USER));
        for (unsigned long i = 0; i < run.settings().count; ++i) {
            const Value v = DrawValue(dice, alphabets, i);
            Write(scratch.get(), v);
            if (testing::Test::HasFatalFailure()) return;
            const std::wstring name = AnsiToWide(v.name);
            const std::wstring textDefault = DrawDefault(dice);
            const long numberDefault = static_cast<long>(static_cast<std::int32_t>(dice.Bits()));
            const auto where = [&](const char* getter) {
                return std::string(getter) + " case " + std::to_string(i) + ": type " + std::to_string(v.type) + ", " +
                       ContentNames[static_cast<int>(v.content)] + ", " + std::to_string(v.data.size()) + " bytes \"" +
                       Printable(v.data) + "\", name \"" + Printable(v.name) + "\"";
            };

            // Now and then the reader is between keys: closed after use, or after a failed
            // open. Its getters answer the defaults and raise nothing.
            const std::uint32_t state = dice.Below(100);
            if (state < 3) {
                EXPECT_TRUE(reader.CloseKey());
            } else if (state < 5) {
                EXPECT_FALSE(reader.OpenKey(scratch.name() + L"\\Missing", HKEY_CURRENT_USER));
            }
            const bool open = state >= 5;

            const std::wstring text = reader.GetStringValue(name, textDefault);
            const std::wstring expectedText = open ? ExpectedText(v.type, v.data, textDefault) : textDefault;
            bytes += v.data.size();
            if (open && v.type == REG_SZ && !v.data.empty()) ++texts;
            if (open && v.type == REG_DWORD && v.data.size() <= 4) ++numbers;
            if (text != expectedText) run.Mismatch(where("GetStringValue") + ": " + Difference(text, expectedText));
            const long number = reader.GetLong(name, numberDefault);
            const long expectedNumber = open ? ExpectedLong(v.type, v.data, numberDefault) : numberDefault;
            if (number != expectedNumber)
                run.Mismatch(where("GetLong") + ": got " + std::to_string(number) + ", expected " +
                             std::to_string(expectedNumber));
            if (dice.Chance(5)) {
                // Now and then longer than a value name may be.
                const std::wstring other =
                    name + L"-missing" + std::wstring(dice.Chance(20) ? dice.Below(40000) : 0, L'n');
                if (reader.GetStringValue(other, textDefault) != textDefault ||
                    reader.GetLong(other, numberDefault) != numberDefault)
                    run.Mismatch(where("missing value") + ": not the default");
            }

            if (!open) {
                EXPECT_TRUE(reader.OpenKey(scratch.name(), HKEY_CURRENT_USER));
            }
            RegDeleteValueA(scratch.get(), v.name.c_str());
        }
    }

    const std::optional<size_t> handlesAfter = ProcessOwnHandleCount();
    ASSERT_TRUE(handlesAfter);
    EXPECT_LE(*handlesAfter, *handlesBefore) << "handles left open by the run";
    const size_t heapAfter = ProcessHeapBytesInUse();
    EXPECT_LE(heapAfter, heapBefore) << "process heap blocks left behind by the run";
    run.Detail(std::to_string(texts) + " texts and " + std::to_string(numbers) + " numbers read from data, " +
               std::to_string(bytes >> 10) + " KiB written, handles " + std::to_string(*handlesBefore) + " -> " +
               std::to_string(*handlesAfter) + ", process heap " + std::to_string(heapBefore) + " -> " +
               std::to_string(heapAfter) + " bytes");
}

// --- A platform that answers whatever it likes ---------------------------------------------
//
// Through the reader's seam: statuses, types and sizes drawn at random, including sizes
// that change between the two queries and delivered sizes beyond the buffer offered. The
// reader must offer no more room than it holds and answer from what it was given.

struct Script {
    LONG status[2];
    DWORD type;
    DWORD reported;    // the size the first query answers
    DWORD delivered;   // the size the second query claims
    std::string data;  // what the second query writes, as far as the room offered goes
    int calls = 0;
    DWORD offered = 0;
    bool firstHadBuffer = false;
};
Script script;

LONG WINAPI ScriptedQuery(HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
    const int call = script.calls++;
    if (call > 1) return ERROR_INVALID_FUNCTION;
    if (type != nullptr) *type = script.type;
    if (call == 0) {
        script.firstHadBuffer = data != nullptr;
        if (size != nullptr) *size = script.reported;
        return script.status[0];
    }
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    script.offered = *size;
    if (data != nullptr) std::copy_n(script.data.begin(), std::min<size_t>(*size, script.data.size()), data);
    *size = script.delivered;
    return script.status[1];
}
LONG WINAPI NoOpen(HKEY, LPCSTR, DWORD, REGSAM, PHKEY key) {
    *key = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    return ERROR_SUCCESS;
}
LONG WINAPI NoClose(HKEY) { return ERROR_SUCCESS; }

Script DrawScript(Dice& dice) {
    Script s;
    const std::vector<LONG> statuses = {ERROR_SUCCESS,       ERROR_SUCCESS,        ERROR_SUCCESS,
                                        ERROR_SUCCESS,       ERROR_MORE_DATA,      ERROR_FILE_NOT_FOUND,
                                        ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, -1};
    s.status[0] = dice.Pick(statuses);
    s.status[1] = dice.Pick(statuses);
    s.type = dice.Chance(70) ? (dice.Chance(50) ? REG_SZ : REG_DWORD) : dice.Below(12);
    const auto size = [&]() -> DWORD {
        switch (dice.Below(8)) {
            case 0:
                return 0;
            case 1:
            case 2:
                return dice.Below(9);
            case 3:
            case 4:
                return dice.Below(300);
            case 5:
                return dice.Below(1 << 20);
            case 6:
                return 0x80000000u + dice.Below(0x80000000u);  // more than a 32-bit process can hold
            default:
                return dice.Below(70000);
        }
    };
    s.reported = size();
    s.delivered = dice.Chance(60) ? s.reported : size();
    s.data.resize(dice.Below(2) ? std::min<DWORD>(s.reported, 70000) : dice.Below(300));
    for (char& c : s.data) c = dice.Chance(5) ? '\0' : static_cast<char>(1 + dice.Below(255));
    return s;
}

// What the reader's buffer holds after the second query: the data written into the room
// offered, NULs after it.
std::string Received(const Script& s, size_t room) {
    std::string buffer(room, '\0');
    std::copy_n(s.data.begin(), std::min(room, s.data.size()), buffer.begin());
    return buffer;
}

TEST(RegistryFuzz, ReaderStaysInsideItsBuffersWhateverThePlatformAnswers) {
    FuzzRun run("registry reader, scripted platform", FuzzSettings::FromEnvironment(0x7A1F0002u, 10000));
    Dice dice(run.settings().seed);
    clsRegistry reader(RegistryApi{&NoOpen, &ScriptedQuery, &NoClose});
    ASSERT_TRUE(reader.OpenKey(L"any", HKEY_CURRENT_USER));

    for (unsigned long i = 0; i < run.settings().count; ++i) {
        const Script drawn = DrawScript(dice);
        const auto where = [&](const char* getter) {
            return std::string(getter) + " case " + std::to_string(i) + ": status " + std::to_string(drawn.status[0]) +
                   "/" + std::to_string(drawn.status[1]) + ", type " + std::to_string(drawn.type) + ", size " +
                   std::to_string(drawn.reported) + " then " + std::to_string(drawn.delivered) + ", " +
                   std::to_string(drawn.data.size()) + " bytes";
        };
        const bool found = drawn.status[0] == ERROR_SUCCESS;
        const bool read = drawn.status[1] == ERROR_SUCCESS;

        script = drawn;
        const std::wstring text = reader.GetStringValue(L"v", L"<default>");
        const bool asked = found && drawn.type == REG_SZ;
        const bool fits = drawn.reported < 0x80000000u;
        if (script.firstHadBuffer) run.Mismatch(where("GetStringValue") + ": the size query offered a buffer");
        if (fits && script.calls != (asked ? 2 : 1))
            run.Mismatch(where("GetStringValue") + ": " + std::to_string(script.calls) + " queries");
        if (asked && fits && script.offered != drawn.reported)
            run.Mismatch(where("GetStringValue") + ": offered " + std::to_string(script.offered) + " bytes");
        std::wstring expectedText = L"<default>";
        if (asked && fits && read && drawn.delivered != 0) {
            const std::string buffer = Received(drawn, std::min<size_t>(drawn.reported, drawn.delivered));
            expectedText = AnsiToWide(buffer.substr(0, buffer.find('\0')));
        }
        if (text != expectedText) run.Mismatch(where("GetStringValue") + ": " + Difference(text, expectedText));

        script = drawn;
        const long number = reader.GetLong(L"v", -77);
        const bool askedNumber = found && drawn.type == REG_DWORD;
        const DWORD room = std::min<DWORD>(drawn.reported, 4);
        if (script.calls != (askedNumber ? 2 : 1))
            run.Mismatch(where("GetLong") + ": " + std::to_string(script.calls) + " queries");
        if (askedNumber && script.offered != room)
            run.Mismatch(where("GetLong") + ": offered " + std::to_string(script.offered) + " bytes");
        long expectedNumber = -77;
        if (askedNumber && read) expectedNumber = ExpectedLong(REG_DWORD, Received(drawn, room), -77);
        if (number != expectedNumber)
            run.Mismatch(where("GetLong") + ": got " + std::to_string(number) + ", expected " +
                         std::to_string(expectedNumber));
    }
}

}  // namespace
