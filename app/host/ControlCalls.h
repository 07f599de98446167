#pragma once
// The one way into the hosted control's code. Whatever can run it goes through here: its
// members, a fill-in it handed back, QueryInterface/AddRef/Release on its objects, converting
// and freeing what it answered. Each call runs guarded; a fault marks the control crashed, and
// a crashed control gets no more calls: the next one throws the crash instead. So a crash in a
// call nested in another (the control pumps messages inside a member, and the focus it hands
// on faults) ends the running command at its next call into the control.
#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ForeignCall.h"
#include "NumberedError.h"
#include "Watchdog.h"

class ControlCalls {
public:
    // source: the control's ProgID, which a crash report names.
    explicit ControlCalls(std::wstring source) : source_(std::move(source)) { watchdog::Start(); }
    ControlCalls(const ControlCalls&) = delete;
    ControlCalls& operator=(const ControlCalls&) = delete;

    // Runs call, which holds the foreign call alone (objects with destructors alive in it are
    // skipped on a fault), and returns its HRESULT. Throws the crash as FaultError naming `doing`,
    // or the crash caught before without calling.
    template <typename Call>
    HRESULT Run(std::wstring_view doing, Call&& call) {
        ThrowIfCrashed();
        HRESULT hr = E_UNEXPECTED;
        std::optional<ForeignFault> fault;
        {
            const WatchedCall watched(source_, doing);
            fault = GuardForeignCall([&]() noexcept { hr = call(); });
        }
        if (fault) throw Crash(*fault, doing);
        return hr;
    }

    // The same where nothing may be thrown (a window procedure, a destructor): the crash is kept
    // for TakeFault, and a crashed control is not called (E_UNEXPECTED).
    template <typename Call>
    HRESULT RunQuietly(std::wstring_view doing, Call&& call) noexcept {
        if (crashed_) return E_UNEXPECTED;
        HRESULT hr = E_UNEXPECTED;
        std::optional<ForeignFault> fault;
        {
            const WatchedCall watched(source_, doing);
            fault = GuardForeignCall([&]() noexcept { hr = call(); });
        }
        if (fault) {
            Keep(*fault, doing);
            return E_UNEXPECTED;
        }
        return hr;
    }

    bool Crashed() const noexcept { return crashed_; }
    // How many crashes of any control this process has seen: a failure that came with one is a crash.
    static LONG Crashes() noexcept { return InterlockedCompareExchange(&crashes_, 0, 0); }

    // A crash kept by RunQuietly and not thrown since, handed out once.
    std::optional<NumberedError> TakeFault() noexcept;

    // Frees a VARIANT the control handed out. One holding an object releases it in the control's
    // code, so it is freed guarded and quietly; once the control crashed, it is only forgotten.
    void Clear(VARIANT& value, std::wstring_view doing) noexcept;

private:
    void ThrowIfCrashed();
    NumberedError Crash(const ForeignFault& fault, std::wstring_view doing);
    void Keep(const ForeignFault& fault, std::wstring_view doing) noexcept;

    std::wstring source_;
    bool crashed_ = false;
    static inline LONG volatile crashes_ = 0;
    std::optional<NumberedError> fault_;  // the crash, once described
    bool pending_ = false;                // kept by RunQuietly, not yet thrown or taken
};

// A reference to one of the control's objects: taken, queried and let go of through its
// ControlCalls. Once the control crashed, a reference is only forgotten.
template <typename I>
class ControlPtr {
public:
    ControlPtr() noexcept = default;
    ControlPtr(ControlPtr&& other) noexcept : calls_(other.calls_), ptr_(std::exchange(other.ptr_, nullptr)) {}
    ControlPtr& operator=(ControlPtr&& other) noexcept {
        if (this != &other) {
            reset();
            calls_ = other.calls_;
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ControlPtr(const ControlPtr&) = delete;
    ControlPtr& operator=(const ControlPtr&) = delete;
    ~ControlPtr() { reset(); }

    // Takes over a reference already counted (a creation's out-parameter).
    static ControlPtr Attach(ControlCalls& calls, I* ptr) noexcept { return ControlPtr(calls, ptr); }
    // A reference of its own: AddRef in the control. Throws its crash.
    static ControlPtr Hold(ControlCalls& calls, I* ptr, std::wstring_view doing) {
        if (ptr != nullptr)
            calls.Run(doing, [&] {
                ptr->AddRef();
                return S_OK;
            });
        return ControlPtr(calls, ptr);
    }
    // The same in a callback: null when the control crashed meanwhile.
    static ControlPtr HoldQuietly(ControlCalls& calls, I* ptr) noexcept {
        if (ptr == nullptr || FAILED(calls.RunQuietly(L"holding it", [&] {
                ptr->AddRef();
                return S_OK;
            })))
            return ControlPtr(calls, nullptr);
        return ControlPtr(calls, ptr);
    }
    // A second reference, for a call that must outlive a callback resetting the first.
    ControlPtr Share() const noexcept { return calls_ ? HoldQuietly(*calls_, ptr_) : ControlPtr(); }

    // The same object through another interface; null when it has none. Throws the crash.
    template <typename J>
    ControlPtr<J> Query(std::wstring_view doing) const {
        J* found = nullptr;
        if (ptr_ && FAILED(calls_->Run(
                        doing, [&] { return ptr_->QueryInterface(__uuidof(J), reinterpret_cast<void**>(&found)); })))
            found = nullptr;
        return calls_ ? ControlPtr<J>::Attach(*calls_, found) : ControlPtr<J>();
    }
    template <typename J>
    ControlPtr<J> QueryQuietly() const noexcept {
        J* found = nullptr;
        if (ptr_ && FAILED(calls_->RunQuietly(L"querying it", [&] {
                return ptr_->QueryInterface(__uuidof(J), reinterpret_cast<void**>(&found));
            })))
            found = nullptr;
        return calls_ ? ControlPtr<J>::Attach(*calls_, found) : ControlPtr<J>();
    }

    I* get() const noexcept { return ptr_; }
    I* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    ControlCalls* calls() const noexcept { return calls_; }

    // Releases through the guard; a crash there is kept for TakeFault.
    void reset() noexcept {
        if (I* old = std::exchange(ptr_, nullptr))
            calls_->RunQuietly(L"releasing it", [&] {
                old->Release();
                return S_OK;
            });
    }

private:
    ControlPtr(ControlCalls& calls, I* ptr) noexcept : calls_(&calls), ptr_(ptr) {}

    ControlCalls* calls_ = nullptr;
    I* ptr_ = nullptr;
};
