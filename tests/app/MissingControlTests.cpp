// The program on a machine where the function control is not registered.
#include <gtest/gtest.h>

#include "RunningApp.h"
#include "Unique.h"

namespace {

using RegisterFn = HRESULT(__stdcall*)();

// Takes the stand-in out of the registry for the scope, and puts it back.
class StandInUnregistered {
public:
    StandInUnregistered() {
        std::wstring path = RunningApp::ProgramPath();
        path.erase(path.find_last_of(L'\\') + 1);
        dll_.reset(LoadLibraryW((path + L"VbFunzioniStandIn.dll").c_str()));
        if (dll_) Call("DllUnregisterServer");
    }
    ~StandInUnregistered() {
        if (dll_) Call("DllRegisterServer");
    }
    explicit operator bool() const { return static_cast<bool>(dll_); }

private:
    HRESULT Call(const char* name) {
        auto fn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name)));
        return fn ? fn() : E_NOTIMPL;
    }
    unique_hmodule dll_;
};

TEST(MissingControl, StartingShowsTheProgIdAndTheReasonAndExitsNonZero) {
    StandInUnregistered gone;
    ASSERT_TRUE(gone);
    RunningApp app;
    HWND box = app.WaitForMessageBox();
    ASSERT_NE(box, nullptr) << "a report, not a hang";
    const std::wstring text = MessageBoxText(box);
    EXPECT_NE(text.find(L"TALVO_VB6.VbFunzioni"), std::wstring::npos) << testing::PrintToString(text);
    EXPECT_NE(text.find(L"Invalid class string"), std::wstring::npos);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    const std::optional<DWORD> code = app.WaitForExit();
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0u);
}

}  // namespace
