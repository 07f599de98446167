#include "ControlCalls.h"

namespace {

// Whether freeing the value can run code of the object that made it: an object, a record (its
// IRecordInfo) or an array of variants may; a reference frees nothing.
bool FreeingRunsForeignCode(const VARIANT& value) noexcept {
    if (V_ISBYREF(&value)) return false;
    switch (V_VT(&value) & VT_TYPEMASK) {
        case VT_DISPATCH:
        case VT_UNKNOWN:
        case VT_RECORD:
        case VT_VARIANT:
            return true;
        default:
            return false;
    }
}

}  // namespace

void ControlCalls::ThrowIfCrashed() {
    if (!crashed_) return;
    pending_ = false;
    if (fault_) throw NumberedError(*fault_);
    throw NumberedError(static_cast<long>(RPC_E_SERVERFAULT), source_, L"The control crashed.");
}

NumberedError ControlCalls::Crash(const ForeignFault& fault, std::wstring_view doing) {
    crashed_ = true;
    InterlockedIncrement(&crashes_);
    fault_ = FaultError(fault, doing, source_);
    pending_ = false;
    return *fault_;
}

void ControlCalls::Keep(const ForeignFault& fault, std::wstring_view doing) noexcept {
    crashed_ = true;
    InterlockedIncrement(&crashes_);
    try {
        fault_ = FaultError(fault, doing, source_);
        pending_ = true;
    } catch (...) {
        // Out of memory: still crashed, and the next call says so without the details.
    }
}

std::optional<NumberedError> ControlCalls::TakeFault() noexcept {
    if (!pending_) return std::nullopt;
    pending_ = false;
    try {
        return fault_;
    } catch (...) {
        return std::nullopt;
    }
}

void ControlCalls::Clear(VARIANT& value, std::wstring_view doing) noexcept {
    // Handed out by a control that crashed, it may be half written: forgotten, never freed.
    if (crashed_) {
        VariantInit(&value);
        return;
    }
    if (!FreeingRunsForeignCode(value)) {
        VariantClear(&value);
        return;
    }
    if (FAILED(RunQuietly(doing, [&] { return VariantClear(&value); }))) VariantInit(&value);
}
