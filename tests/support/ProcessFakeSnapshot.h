#pragma once
// A scripted process snapshot behind modTask's function table, for walks the system's
// snapshot cannot produce.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "modTask.h"

namespace process_test {

using modTask::kExeFileChars;
using modTask::ProcessEntry32;

struct Field {
    CHAR chars[kExeFileChars];
};

// A name field full of non-NUL filler with the text at its start.
inline Field FieldOf(std::string_view text, CHAR filler = 'Z') {
    Field field;
    std::memset(field.chars, filler, sizeof(field.chars));
    std::memcpy(field.chars, text.data(), std::min(text.size(), sizeof(field.chars)));
    return field;
}

// A scripted snapshot behind the walk's function table; one walk at a time.
struct FakeSnapshot {
    HANDLE handle = reinterpret_cast<HANDLE>(0x4711);
    std::vector<Field> entries;
    bool firstFails = false;

    DWORD createFlags = 0xFFFFFFFF, createPid = 0xFFFFFFFF;
    std::vector<DWORD> sizesSeen;
    std::vector<ProcessEntry32*> recordsSeen;
    size_t nextPosition = 0;
    int closes = 0;
    bool wrongHandle = false;

    static inline FakeSnapshot* current = nullptr;

    static HANDLE WINAPI Create(DWORD flags, DWORD pid) {
        current->createFlags = flags;
        current->createPid = pid;
        return current->handle;
    }
    static BOOL Fill(HANDLE snapshot, ProcessEntry32* entry) {
        FakeSnapshot& s = *current;
        if (snapshot != s.handle) s.wrongHandle = true;
        s.sizesSeen.push_back(entry->dwSize);
        s.recordsSeen.push_back(entry);
        if (s.nextPosition >= s.entries.size()) return FALSE;
        std::memcpy(entry->szExeFile, s.entries[s.nextPosition++].chars, kExeFileChars);
        return TRUE;
    }
    static BOOL WINAPI First(HANDLE snapshot, ProcessEntry32* entry) {
        if (current->firstFails) {
            current->sizesSeen.push_back(entry->dwSize);
            return FALSE;
        }
        current->nextPosition = 0;
        return Fill(snapshot, entry);
    }
    static BOOL WINAPI Next(HANDLE snapshot, ProcessEntry32* entry) { return Fill(snapshot, entry); }
    static BOOL WINAPI Close(HANDLE snapshot) {
        if (snapshot != current->handle) current->wrongHandle = true;
        ++current->closes;
        return TRUE;
    }

    modTask::SnapshotApi api{&Create, &First, &Next, &Close};

    FakeSnapshot() { current = this; }
    ~FakeSnapshot() { current = nullptr; }

    std::vector<std::wstring> Walk() {
        std::vector<std::wstring> names;
        modTask::WalkProcessNames([&](const std::wstring& name) { names.push_back(name); }, api);
        return names;
    }
};

}  // namespace process_test
