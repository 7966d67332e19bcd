#pragma once
// Applies the downloaded patch archives and deletion lists to the game's folders and packs.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class UpdateApplier {
public:
    explicit UpdateApplier(PatchEngine& engine) : engine_(engine) {}
    int applyUpdates();
    int removeDownloadedFiles();
    void deleteFilesExcept(const std::string& folder, const NameList& keepList);
    void deleteListedFiles(const std::string& folder, const NameList& names);
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
