#pragma once
// Small owners in the manner of WIL: one owner per handle, BSTR, VARIANT and COM pointer,
// released on every path out of the scope that took it.
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <unknwn.h>

#include <utility>

// Traits give the handle type, its "none" value and how to free it.
template <typename Traits>
class unique_any {
public:
    using T = typename Traits::type;

    unique_any() noexcept = default;
    explicit unique_any(T value) noexcept : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    // Frees the held value before handing out its slot, so a reused owner never leaks.
    T* put() noexcept {
        reset();
        return &value_;
    }
    T release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(T value = Traits::invalid()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }

private:
    T value_ = Traits::invalid();
};

namespace unique_detail {
template <typename H, auto Close>
struct null_traits {
    using type = H;
    static H invalid() noexcept { return nullptr; }
    static void close(H value) noexcept { Close(value); }
};
template <auto Close>
struct invalid_handle_traits {
    using type = HANDLE;
    static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE value) noexcept { Close(value); }
};
inline void CloseKey(HKEY key) noexcept { ::RegCloseKey(key); }
inline void CloseHandle(HANDLE handle) noexcept { ::CloseHandle(handle); }
inline void CloseFind(HANDLE handle) noexcept { ::FindClose(handle); }
inline void FreeLibrary(HMODULE module) noexcept { ::FreeLibrary(module); }
inline void DestroyWindow(HWND window) noexcept { ::DestroyWindow(window); }
inline void DeleteObject(HGDIOBJ object) noexcept { ::DeleteObject(object); }
inline void ReleaseScreenDc(HDC dc) noexcept { ::ReleaseDC(nullptr, dc); }
}  // namespace unique_detail

using unique_hkey = unique_any<unique_detail::null_traits<HKEY, &unique_detail::CloseKey>>;
using unique_handle = unique_any<unique_detail::null_traits<HANDLE, &unique_detail::CloseHandle>>;
using unique_hfile = unique_any<unique_detail::invalid_handle_traits<&unique_detail::CloseHandle>>;
using unique_hfind = unique_any<unique_detail::invalid_handle_traits<&unique_detail::CloseFind>>;
using unique_hmodule = unique_any<unique_detail::null_traits<HMODULE, &unique_detail::FreeLibrary>>;
using unique_hwnd = unique_any<unique_detail::null_traits<HWND, &unique_detail::DestroyWindow>>;
using unique_hgdiobj = unique_any<unique_detail::null_traits<HGDIOBJ, &unique_detail::DeleteObject>>;
// A DC of the whole screen, from GetDC(nullptr).
using unique_screen_dc = unique_any<unique_detail::null_traits<HDC, &unique_detail::ReleaseScreenDc>>;

// Balances a successful OleInitialize (or CoInitialize) on the thread that made it, as WIL's
// unique_oleuninitialize_call does; a failed one is not balanced.
class unique_oleuninitialize_call {
public:
    explicit unique_oleuninitialize_call(HRESULT initialized) noexcept : armed_(SUCCEEDED(initialized)) {}
    unique_oleuninitialize_call(const unique_oleuninitialize_call&) = delete;
    unique_oleuninitialize_call& operator=(const unique_oleuninitialize_call&) = delete;
    ~unique_oleuninitialize_call() {
        if (armed_) ::OleUninitialize();
    }

private:
    bool armed_;
};

class unique_bstr {
public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR value) noexcept : value_(value) {}
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    unique_bstr(unique_bstr&& other) noexcept : value_(other.release()) {}
    unique_bstr& operator=(unique_bstr&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_bstr() { reset(); }

    BSTR get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != nullptr; }
    BSTR* put() noexcept {
        reset();
        return &value_;
    }
    BSTR release() noexcept { return std::exchange(value_, nullptr); }
    void reset(BSTR value = nullptr) noexcept { ::SysFreeString(std::exchange(value_, value)); }
    UINT length() const noexcept { return ::SysStringLen(value_); }

private:
    BSTR value_ = nullptr;
};

class unique_variant {
public:
    unique_variant() noexcept { ::VariantInit(&value_); }
    unique_variant(const unique_variant&) = delete;
    unique_variant& operator=(const unique_variant&) = delete;
    ~unique_variant() { ::VariantClear(&value_); }

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    VARIANT* operator->() noexcept { return &value_; }
    const VARIANT* operator->() const noexcept { return &value_; }
    VARIANT* put() noexcept {
        ::VariantClear(&value_);
        return &value_;
    }
    void reset() noexcept { ::VariantClear(&value_); }

private:
    VARIANT value_;
};

// A COM interface pointer that releases what it holds.
template <typename I>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}  // cppcheck-suppress noExplicitConstructor ; = nullptr reads naturally
    // Takes a new reference on the pointer given.
    explicit com_ptr(I* ptr) noexcept : ptr_(ptr) {
        if (ptr_) ptr_->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.ptr_) {}
    com_ptr(com_ptr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    com_ptr& operator=(com_ptr other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~com_ptr() { reset(); }

    // Takes over a reference already counted: a new object's first one, or an out-parameter's.
    static com_ptr attach(I* ptr) noexcept {
        com_ptr taken;
        taken.ptr_ = ptr;
        return taken;
    }

    I* get() const noexcept { return ptr_; }
    I* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    I** put() noexcept {
        reset();
        return &ptr_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    I* detach() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept {
        if (I* old = std::exchange(ptr_, nullptr)) old->Release();
    }

    // The same object through another interface; null when it has none (WIL's try_query).
    template <typename J>
    com_ptr<J> try_query() const noexcept {
        com_ptr<J> result;
        if (ptr_) ptr_->QueryInterface(__uuidof(J), result.put_void());
        return result;
    }

private:
    I* ptr_ = nullptr;
};
