#include "clsRegistry.h"

#include <algorithm>
#include <cstdint>

#include "NumberedError.h"
#include "Text.h"

namespace {

// KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY, without READ_CONTROL, and no view
// flag: a 32-bit process reads the 32-bit view.
constexpr REGSAM kReadAccess = 0x19;

}  // namespace

clsRegistry::~clsRegistry() {
    if (key_ != nullptr) api_.CloseKey(key_);
}

bool clsRegistry::CloseKey() {
    if (key_ == nullptr) return false;
    if (api_.CloseKey(key_) != ERROR_SUCCESS) return false;
    key_ = nullptr;
    return true;
}

bool clsRegistry::OpenKey(std::wstring_view KeyName, HKEY hKey) {
    CloseKey();
    const std::string name = ToAnsi(KeyName);
    HKEY opened = nullptr;
    if (api_.OpenKeyEx(hKey, name.c_str(), 0, kReadAccess, &opened) != ERROR_SUCCESS) return false;
    key_ = opened;
    initialized_ = true;
    return true;
}

void clsRegistry::EnsureInitialized() const {
    if (!initialized_)
        throw NumberedError(errnum::RegistryNotInitialized, L"Class SvRegistry not Initialized.",
                            GenericErrorDescription());
}

std::wstring clsRegistry::GetStringValue(std::wstring_view Value, std::wstring_view sDefault) {
    EnsureInitialized();
    std::wstring result;
    try {
        result = sDefault;
        const std::string name = ToAnsi(Value);
        DWORD type = 0;
        DWORD size = 0;
        if (api_.QueryValueEx(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return result;
        if (type != REG_SZ) return result;

        std::string buffer(size, '\0');
        type = REG_SZ;
        if (api_.QueryValueEx(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
            ERROR_SUCCESS)
            return result;
        // No data at all is no value; a grown value never gets here (the query refuses it).
        if (size == 0) return result;
        buffer.resize(std::min<size_t>(size, buffer.size()));
        // The text ends at the first NUL; data stored without one is taken whole rather
        // than losing its last character.
        const size_t end = buffer.find('\0');
        if (end != std::string::npos) buffer.resize(end);
        result = FromAnsi(buffer);
    } catch (...) {
    }
    return result;
}

long clsRegistry::GetLong(std::wstring_view Value, long nDefault) {
    EnsureInitialized();
    long result = nDefault;
    try {
        const std::string name = ToAnsi(Value);
        DWORD type = 0;
        DWORD size = 0;
        if (api_.QueryValueEx(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return result;
        if (type != REG_DWORD) return result;

        // Shorter data is zero-extended; longer data does not fit and the query refuses it.
        unsigned char buffer[4] = {};
        DWORD capacity = std::min<DWORD>(size, sizeof buffer);
        type = REG_DWORD;
        if (api_.QueryValueEx(key_, name.c_str(), nullptr, &type, buffer, &capacity) != ERROR_SUCCESS) return result;
        result = static_cast<long>(static_cast<std::int32_t>(
            static_cast<std::uint32_t>(buffer[0]) | static_cast<std::uint32_t>(buffer[1]) << 8 |
            static_cast<std::uint32_t>(buffer[2]) << 16 | static_cast<std::uint32_t>(buffer[3]) << 24));
    } catch (...) {
    }
    return result;
}
