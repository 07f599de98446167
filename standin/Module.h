#pragma once
// The DLL as a COM server: its instance handle and the count that makes DllCanUnloadNow
// honest. Everything that must keep the DLL loaded holds a ModuleReference.
#include <windows.h>

#include <exception>
#include <new>

namespace standin {

HMODULE ModuleHandle() noexcept;

class ModuleReference {
public:
    ModuleReference() noexcept;
    ~ModuleReference();
    ModuleReference(const ModuleReference&) noexcept;
    // Each reference counts once however it is assigned: nothing to copy, self included.
    ModuleReference& operator=(const ModuleReference&) noexcept { return *this; }  // NOLINT(cert-oop54-cpp)
};

// Holds an SRW lock exclusively for a scope.
class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

// Runs the body of a COM method; no C++ exception leaves through the interface.
template <typename Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace standin
