#include "Clipboard.h"

#include <cstring>

#include "NumberedError.h"
#include "Unique.h"

namespace {

constexpr wchar_t kSource[] = L"Clipboard";

}  // namespace

void CopyToClipboard(HWND owner, const std::wstring& text) {
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    unique_any<unique_detail::null_traits<HGLOBAL, &GlobalFree>> memory(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (!memory) throw NumberedError(errnum::OutOfMemory, kSource, L"Out of memory");
    void* locked = GlobalLock(memory.get());
    if (locked == nullptr) throw NumberedError(errnum::OutOfMemory, kSource, L"Out of memory");
    memcpy(locked, text.c_str(), bytes);
    GlobalUnlock(memory.get());

    // Another program may hold the clipboard for a moment.
    bool open = OpenClipboard(owner) != FALSE;
    for (int attempt = 1; attempt < 10 && !open; ++attempt) {
        Sleep(20);
        open = OpenClipboard(owner) != FALSE;
    }
    if (!open) {
        const NumberedError cause = LastError(kSource, ERROR_ACCESS_DENIED);
        throw NumberedError(cause.Number(), kSource,
                            L"The report could not be put on the clipboard: another program holds it (" +
                                cause.Description() + L"). Close that program or try again in a moment.");
    }
    const bool copied = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory.get()) != nullptr;
    const NumberedError cause = LastError(kSource, ERROR_ACCESS_DENIED);
    CloseClipboard();
    if (!copied)
        throw NumberedError(cause.Number(), kSource,
                            L"The report could not be put on the clipboard (" + cause.Description() + L"). Try again.");
    memory.release();  // the clipboard owns it now
}
