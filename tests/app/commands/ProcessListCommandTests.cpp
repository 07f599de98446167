#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "NumberedError.h"
#include "ProcessFakeSnapshot.h"
#include "ProcessListCommand.h"
#include "Unique.h"
#include "support/ProcessHandleCount.h"

using namespace process_test;

namespace {

// A plain hidden list box as Form1 makes it: unsorted.
unique_hwnd MakeList() {
    return unique_hwnd(CreateWindowExW(0, L"LISTBOX", L"", WS_CHILD | WS_VSCROLL | LBS_NOTIFY, 0, 0, 200, 200,
                                       HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr));
}

std::vector<std::wstring> Items(HWND list) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
        std::wstring text(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        const LRESULT got = SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(std::max<LRESULT>(got, 0)));
        items.push_back(text);
    }
    return items;
}

void Fill(HWND list, std::initializer_list<const wchar_t*> items) {
    for (const wchar_t* item : items) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
}

// Watches what reaches the list box and can make one LB_ADDSTRING fail.
struct ListSpy {
    struct Message {
        UINT id;
        WPARAM wParam;
    };
    std::vector<Message> seen;
    int addsBeforeFailure = -1;  // -1: never fail
    LRESULT failure = LB_ERRSPACE;
    WNDPROC original = nullptr;

    static inline ListSpy* current = nullptr;

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        ListSpy& spy = *current;
        if (message == WM_SETREDRAW || message == LB_RESETCONTENT || message == LB_INITSTORAGE ||
            message == LB_ADDSTRING)
            spy.seen.push_back({message, wParam});
        if (message == LB_ADDSTRING && spy.addsBeforeFailure >= 0 && spy.addsBeforeFailure-- == 0) return spy.failure;
        return CallWindowProcW(spy.original, window, message, wParam, lParam);
    }

    explicit ListSpy(HWND list) : list_(list) {
        current = this;
        original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
    }
    ~ListSpy() {
        SetWindowLongPtrW(list_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        current = nullptr;
    }

    size_t Count(UINT id) const {
        return static_cast<size_t>(
            std::count_if(seen.begin(), seen.end(), [id](const Message& m) { return m.id == id; }));
    }
    // The list repainted nothing while it changed: redraw off first, on again last, once each.
    void ExpectQuietFill() const {
        ASSERT_GE(seen.size(), 3u);
        EXPECT_EQ(seen.front().id, static_cast<UINT>(WM_SETREDRAW));
        EXPECT_EQ(seen.front().wParam, static_cast<WPARAM>(FALSE));
        EXPECT_EQ(seen.back().id, static_cast<UINT>(WM_SETREDRAW));
        EXPECT_NE(seen.back().wParam, static_cast<WPARAM>(FALSE));
        EXPECT_EQ(Count(WM_SETREDRAW), 2u);
        EXPECT_EQ(seen[1].id, static_cast<UINT>(LB_RESETCONTENT));
        EXPECT_EQ(seen[2].id, static_cast<UINT>(LB_INITSTORAGE));
    }

private:
    HWND list_;
};

using NameCounts = std::map<std::wstring, int>;

NameCounts Counted(const std::vector<std::wstring>& names) {
    NameCounts counts;
    for (const std::wstring& name : names) ++counts[name];
    return counts;
}

// The running processes by the system's wide snapshot functions, upper-cased.
NameCounts IndependentSnapshot() {
    NameCounts counts;
    unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return counts;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        entry.szExeFile[MAX_PATH - 1] = L'\0';
        std::wstring name = entry.szExeFile;
        CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
        ++counts[name];
    }
    return counts;
}

// A copy of this test program under a mixed-case name, started suspended and ended by its
// handle; the copy goes with it.
class MixedCaseChild {
public:
    static constexpr wchar_t kName[] = L"MiXeD_Case.exe";

    MixedCaseChild() {
        wchar_t self[MAX_PATH] = {};
        wchar_t temp[MAX_PATH] = {};
        if (!GetModuleFileNameW(nullptr, self, MAX_PATH) || !GetTempPathW(MAX_PATH, temp)) return;
        folder_ = std::wstring(temp) + L"talvo-process-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        path_ = folder_ + L"\\" + kName;
        if (!CopyFileW(self, path_.c_str(), FALSE)) return;
        std::wstring commandLine = L"\"" + path_ + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            folder_.c_str(), &startup, &info))
            return;
        process_.reset(info.hProcess);
        thread_.reset(info.hThread);
    }
    ~MixedCaseChild() {
        if (process_) {
            TerminateProcess(process_.get(), 0);
            WaitForSingleObject(process_.get(), INFINITE);
        }
        thread_.reset();
        process_.reset();
        if (!path_.empty()) DeleteFileW(path_.c_str());
        if (!folder_.empty()) RemoveDirectoryW(folder_.c_str());
    }
    explicit operator bool() const noexcept { return static_cast<bool>(process_); }

private:
    std::wstring folder_, path_;
    unique_handle process_, thread_;
};

// The system's snapshot functions, noting each snapshot handle they hand out.
struct RecordingApi {
    static inline std::vector<HANDLE> snapshots;
    static HANDLE WINAPI Create(DWORD flags, DWORD pid) {
        HANDLE handle = modTask::SystemSnapshotApi().createSnapshot(flags, pid);
        snapshots.push_back(handle);
        return handle;
    }
    static modTask::SnapshotApi Api() {
        return {&Create, modTask::SystemSnapshotApi().first, modTask::SystemSnapshotApi().next,
                modTask::SystemSnapshotApi().close};
    }
};

}  // namespace

TEST(ProcessListCommand, FillsQuietlyAndStopsAtTheFirstListError) {
    unique_hwnd list = MakeList();
    ASSERT_TRUE(list);
    {
        SCOPED_TRACE("a full walk replaces the old items, upper-cased, in snapshot order");
        Fill(list.get(), {L"OLD.EXE", L"STALE.EXE"});
        FakeSnapshot fake;
        fake.entries = {FieldOf(std::string_view("svchost.exe\0", 12)),
                        FieldOf(std::string_view("MiXeD_Case.exe\0", 15)), FieldOf("no terminator"),
                        FieldOf(std::string_view("svchost.exe\0", 12)), FieldOf(std::string_view("a.exe\0", 6))};
        ListSpy spy(list.get());
        ProcessListCommand(list.get(), fake.api);
        EXPECT_EQ(Items(list.get()),
                  (std::vector<std::wstring>{L"SVCHOST.EXE", L"MIXED_CASE.EXE", L"", L"SVCHOST.EXE", L"A.EXE"}));
        spy.ExpectQuietFill();
        EXPECT_EQ(spy.Count(LB_ADDSTRING), 5u);
        EXPECT_EQ(fake.closes, 1);
    }
    {
        SCOPED_TRACE("no snapshot: the list is cleared and stays empty");
        FakeSnapshot fake;
        fake.handle = INVALID_HANDLE_VALUE;
        ListSpy spy(list.get());
        ProcessListCommand(list.get(), fake.api);
        EXPECT_TRUE(Items(list.get()).empty());
        spy.ExpectQuietFill();
    }
    for (LRESULT failure : {LRESULT{LB_ERRSPACE}, LRESULT{LB_ERR}}) {
        SCOPED_TRACE(failure == LB_ERRSPACE ? "LB_ERRSPACE" : "LB_ERR");
        Fill(list.get(), {L"OLD.EXE"});
        FakeSnapshot fake;
        fake.entries = {FieldOf(std::string_view("a.exe\0", 6)), FieldOf(std::string_view("b.exe\0", 6)),
                        FieldOf(std::string_view("c.exe\0", 6)), FieldOf(std::string_view("d.exe\0", 6))};
        ListSpy spy(list.get());
        spy.addsBeforeFailure = 2;
        spy.failure = failure;
        try {
            ProcessListCommand(list.get(), fake.api);
            ADD_FAILURE() << "the list box error was swallowed";
        } catch (const NumberedError& e) {
            EXPECT_EQ(e.Number(), failure == LB_ERRSPACE ? 7 : 5);
            EXPECT_FALSE(e.Description().empty());
        }
        // Ended where it stood: the items before the failure stay, nothing after it was tried.
        EXPECT_EQ(Items(list.get()), (std::vector<std::wstring>{L"A.EXE", L"B.EXE"}));
        EXPECT_EQ(spy.Count(LB_ADDSTRING), 3u);
        EXPECT_EQ(fake.nextPosition, 3u);
        EXPECT_EQ(fake.closes, 1);
        spy.ExpectQuietFill();
    }
}

TEST(ProcessListCommand, UpperCasesByTheUserLocale) {
    EXPECT_EQ(UpperForList(L"MiXeD_Case.exe"), L"MIXED_CASE.EXE");
    EXPECT_EQ(UpperForList(L"caf\u00E9-\u00E0.exe"), L"CAF\u00C9-\u00C0.EXE");
    EXPECT_EQ(UpperForList(L"\u0434\u043E\u043C.exe"), L"\u0414\u041E\u041C.EXE");
    EXPECT_EQ(UpperForList(L""), L"");
}

TEST(ProcessListCommand, ListsTheSystemSnapshotOncePerPress) {
    MixedCaseChild child;
    ASSERT_TRUE(child) << "could not start the mixed-case child, error " << GetLastError();
    unique_hwnd list = MakeList();
    ASSERT_TRUE(list);

    // Other processes may come and go meanwhile: compare only when the snapshots taken
    // either side of the presses agree.
    NameCounts before, after, listed;
    for (int attempt = 0; attempt < 20; ++attempt) {
        before = IndependentSnapshot();
        ProcessListCommand(list.get());
        ProcessListCommand(list.get());
        listed = Counted(Items(list.get()));
        after = IndependentSnapshot();
        if (before == after) break;
    }
    ASSERT_EQ(before, after) << "the process set never held still";
    EXPECT_EQ(listed, before);
    EXPECT_EQ(listed[L"MIXED_CASE.EXE"], 1);
    EXPECT_EQ(listed.count(MixedCaseChild::kName), 0u);
    // This test program itself is running, so the list cannot be empty.
    EXPECT_GE(listed.size(), 2u);
}

TEST(ProcessListCommand, LeavesNoSnapshotHandleOpen) {
    unique_hwnd list = MakeList();
    ASSERT_TRUE(list);

    const modTask::SnapshotApi recording = RecordingApi::Api();
    ProcessListCommand(list.get(), recording);
    ASSERT_EQ(RecordingApi::snapshots.size(), 1u);
    ASSERT_NE(RecordingApi::snapshots.front(), INVALID_HANDLE_VALUE);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(RecordingApi::snapshots.front(), &flags)) << "snapshot still open";

    ProcessListCommand(list.get());  // warm up anything the first presses allocate once
    const std::optional<size_t> start = ProcessOwnHandleCount();
    ASSERT_TRUE(start) << "the system handle table is not available";
    ASSERT_GT(*start, 0u);
    for (int press = 0; press < 200; ++press) ProcessListCommand(list.get());
    const std::optional<size_t> end = ProcessOwnHandleCount();
    ASSERT_TRUE(end);
    EXPECT_LE(*end, *start);
}
