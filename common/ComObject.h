#pragma once
// The IUnknown of a hand-written COM class: QueryInterface over the interfaces it lists, a
// reference count that starts at one (taken over by make_com or com_ptr::attach), and delete on
// the last Release.
//
//   class Site final : public ComObject<IOleClientSite, ComAlso<IOleInPlaceSiteEx, IOleWindow,
//                                                               IOleInPlaceSite>> { ... };
//
// IUnknown is answered with the first interface listed.
#include <windows.h>
#include <unknwn.h>

#include <type_traits>
#include <utility>

#include "Unique.h"

// Lists Interface for ComObject, and the interfaces it derives from that are answered with it
// as well (IOleInPlaceSiteEx for IOleWindow and IOleInPlaceSite).
template <typename Interface, typename... Bases>
struct ComAlso {
    static_assert((std::is_base_of_v<Bases, Interface> && ...), "answered with an interface it is no base of");
};

namespace com_detail {

template <typename Entry>
struct Listed {
    using Interface = Entry;
    static bool Answers(REFIID riid) noexcept { return riid == __uuidof(Entry); }
};
template <typename Interface_, typename... Bases>
struct Listed<ComAlso<Interface_, Bases...>> {
    using Interface = Interface_;
    static bool Answers(REFIID riid) noexcept {
        return riid == __uuidof(Interface_) || ((riid == __uuidof(Bases)) || ...);
    }
};

template <typename First, typename...>
struct FirstOf {
    using type = First;
};

}  // namespace com_detail

template <typename... Entries>
class ComObject : public com_detail::Listed<Entries>::Interface... {
    using Primary = typename com_detail::Listed<typename com_detail::FirstOf<Entries...>::type>::Interface;

public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown) {
            *ppv = static_cast<IUnknown*>(static_cast<Primary*>(this));
        } else {
            // The first listed interface that answers riid; the fold stops there.
            (void)((com_detail::Listed<Entries>::Answers(riid) &&
                    (*ppv = static_cast<typename com_detail::Listed<Entries>::Interface*>(this), true)) ||
                   ...);
        }
        if (*ppv == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return refs;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

private:
    LONG refs_ = 1;
};

// A new object of a class built on ComObject, its first reference taken over.
template <typename T, typename... Args>
com_ptr<T> make_com(Args&&... args) {
    return com_ptr<T>::attach(new T(std::forward<Args>(args)...));
}
