#pragma once
// Points a ProgID at another class for a scope, in both registry views, and puts back what
// was there (or removes what it made) at the end:
//   ProgIdRedirect redirect(L"TALVO_VB6.VbFunzioni", L"Shell.Explorer.2");
// A value under HKEY_CURRENT_USER\Software\Classes would still take precedence.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "Unique.h"

class ProgIdRedirect {
public:
    // target: a ProgID, or a CLSID in braces.
    ProgIdRedirect(std::wstring progId, const std::wstring& target) : progId_(std::move(progId)) {
        const HRESULT hr = !target.empty() && target[0] == L'{' ? CLSIDFromString(target.c_str(), &clsid_)
                                                                : CLSIDFromProgID(target.c_str(), &clsid_);
        if (FAILED(hr)) return;
        wchar_t text[40] = {};
        if (StringFromGUID2(clsid_, text, 40) == 0) return;
        views_.reserve(2);
        for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
            if (!Point(views_.emplace_back(view), text)) return;
        ok_ = true;
    }
    ProgIdRedirect(const ProgIdRedirect&) = delete;
    ProgIdRedirect& operator=(const ProgIdRedirect&) = delete;
    // Backwards: where both views are one key, the second saw the first one's value.
    ~ProgIdRedirect() {
        for (auto view = views_.rbegin(); view != views_.rend(); ++view) Restore(*view);
    }

    explicit operator bool() const { return ok_; }
    const CLSID& Target() const { return clsid_; }

private:
    struct View {
        explicit View(REGSAM flag) : flag(flag) {}
        REGSAM flag;
        unique_hkey classes, progIdKey, clsidKey;
        bool createdProgId = false, createdClsid = false, changed = false, hadValue = false;
        DWORD type = REG_NONE;
        std::vector<BYTE> old;
    };

    bool Point(View& view, const wchar_t* clsid) {
        constexpr REGSAM access = KEY_READ | KEY_WRITE | DELETE;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, access | view.flag, view.classes.put()) !=
            ERROR_SUCCESS)
            return false;
        DWORD disposition = 0;
        if (RegCreateKeyExW(view.classes.get(), progId_.c_str(), 0, nullptr, 0, access | view.flag, nullptr,
                            view.progIdKey.put(), &disposition) != ERROR_SUCCESS)
            return false;
        view.createdProgId = disposition == REG_CREATED_NEW_KEY;
        if (RegCreateKeyExW(view.progIdKey.get(), L"CLSID", 0, nullptr, 0, access | view.flag, nullptr,
                            view.clsidKey.put(), &disposition) != ERROR_SUCCESS)
            return false;
        view.createdClsid = disposition == REG_CREATED_NEW_KEY;

        DWORD size = 0;
        if (RegQueryValueExW(view.clsidKey.get(), nullptr, nullptr, &view.type, nullptr, &size) == ERROR_SUCCESS) {
            view.old.resize(size);
            view.hadValue = RegQueryValueExW(view.clsidKey.get(), nullptr, nullptr, &view.type, view.old.data(),
                                             &size) == ERROR_SUCCESS;
            if (!view.hadValue) return false;
            view.old.resize(size);
        }
        view.changed = true;
        const DWORD bytes = static_cast<DWORD>((wcslen(clsid) + 1) * sizeof(wchar_t));
        return RegSetValueExW(view.clsidKey.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), bytes) ==
               ERROR_SUCCESS;
    }

    void Restore(View& view) {
        if (view.changed) {
            if (view.hadValue)
                RegSetValueExW(view.clsidKey.get(), nullptr, 0, view.type, view.old.data(),
                               static_cast<DWORD>(view.old.size()));
            else
                RegDeleteValueW(view.clsidKey.get(), nullptr);
        }
        view.clsidKey.reset();
        if (view.createdClsid) RegDeleteKeyExW(view.progIdKey.get(), L"CLSID", view.flag, 0);
        view.progIdKey.reset();
        if (view.createdProgId) RegDeleteKeyExW(view.classes.get(), progId_.c_str(), view.flag, 0);
    }

    std::wstring progId_;
    CLSID clsid_{};
    std::vector<View> views_;
    bool ok_ = false;
};
