#pragma once
// The DLLs a control's file needs, looked for the way the loader resolves them: known DLLs,
// modules already loaded, the server's folder and the system folder, the side-by-side store.
#include <windows.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "PeImage.h"

namespace diagnosis {

struct MissingImport {
    std::wstring dll;        // as the import table names it
    std::wstring importer;   // the file whose import table names it
    std::wstring wrongKind;  // a file of that name the loader cannot use, when there is one
};

// Walks the import tables from the server down, depth first, each DLL name once (the loader
// maps one module per name), within fixed bounds.
class ImportWalk {
public:
    explicit ImportWalk(const std::wstring& server);

    // The first DLL that path (read as image) or what it imports in turn needs and cannot get.
    std::optional<MissingImport> FirstMissing(const std::wstring& path, const PeImage& image, int depth = 0);

private:
    // API sets, known DLLs and modules this process has already loaded need no file.
    bool Present(const std::wstring& name, const std::wstring& key) const;

    std::vector<std::wstring> folders_;
    std::set<std::wstring> known_;
    std::set<std::wstring> seen_;
    size_t walked_ = 0;
};

}  // namespace diagnosis
