#pragma once
// Points a ProgID at another class for a scope, in both registry views, and puts back what
// was there (or removes what it made) at the end:
//   ProgIdRedirect redirect(L"TALVO_VB6.VbFunzioni", L"Shell.Explorer.2");
// A value under HKEY_CURRENT_USER\Software\Classes would still take precedence.
#include <windows.h>
#include <objbase.h>

#include <optional>
#include <string>
#include <vector>

#include "Unique.h"

class ProgIdRedirect {
public:
    // target: a ProgID, or a CLSID in braces.
    ProgIdRedirect(const std::wstring& progId, const std::wstring& target)
        : progIdKey_(L"Software\\Classes\\" + progId), clsidKey_(progIdKey_ + L"\\CLSID") {
        CLSID clsid{};
        wchar_t text[40] = {};
        if (FAILED(target.starts_with(L'{') ? CLSIDFromString(target.c_str(), &clsid)
                                            : CLSIDFromProgID(target.c_str(), &clsid)) ||
            StringFromGUID2(clsid, text, 40) == 0)
            return;
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

private:
    struct View {
        explicit View(REGSAM flag) : flag(flag) {}
        REGSAM flag;
        bool madeProgId = false, madeClsid = false, changed = false;
        DWORD type = REG_NONE;
        std::optional<std::vector<BYTE>> old;  // the value there was
    };

    bool Point(View& view, const wchar_t* clsid) const {
        unique_hkey key;
        view.madeProgId = RegOpenKeyExW(HKEY_LOCAL_MACHINE, progIdKey_.c_str(), 0, KEY_READ | view.flag, key.put()) ==
                          ERROR_FILE_NOT_FOUND;
        DWORD disposition = 0, size = 0;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, clsidKey_.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | view.flag,
                            nullptr, key.put(), &disposition) != ERROR_SUCCESS)
            return false;
        view.madeClsid = disposition == REG_CREATED_NEW_KEY;
        if (RegQueryValueExW(key.get(), nullptr, nullptr, &view.type, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<BYTE>& old = view.old.emplace(size);
            if (RegQueryValueExW(key.get(), nullptr, nullptr, &view.type, old.data(), &size) != ERROR_SUCCESS)
                return false;
            old.resize(size);
        }
        view.changed = true;
        const auto bytes = static_cast<DWORD>((wcslen(clsid) + 1) * sizeof(wchar_t));
        return RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), bytes) ==
               ERROR_SUCCESS;
    }

    void Restore(const View& view) const {
        if (unique_hkey key; view.changed && RegOpenKeyExW(HKEY_LOCAL_MACHINE, clsidKey_.c_str(), 0,
                                                           KEY_WRITE | view.flag, key.put()) == ERROR_SUCCESS) {
            if (view.old)
                RegSetValueExW(key.get(), nullptr, 0, view.type, view.old->data(),
                               static_cast<DWORD>(view.old->size()));
            else
                RegDeleteValueW(key.get(), nullptr);
        }
        if (view.madeClsid) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, clsidKey_.c_str(), view.flag, 0);
        if (view.madeProgId) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, progIdKey_.c_str(), view.flag, 0);
    }

    std::wstring progIdKey_, clsidKey_;
    std::vector<View> views_;
    bool ok_ = false;
};
