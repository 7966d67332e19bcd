#pragma once
// The passes after every patch sequence: pack the data folders that have no pack yet, and,
// under "sync", take loose files that also live in their folder's pack back into the pack.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

struct PatchContext;

class PackingPasses {
public:
    explicit PackingPasses(const PatchContext& context) : context_(context) {}
    void packUnpackedFolders();
    void syncPacks();

    std::string folderPath(const std::string& name) const;
    std::string packPath(const std::string& name) const;

private:
    void showFolder(int number, int total, const std::string& name);

    const PatchContext& context_;
};

}  // namespace nimbrel
