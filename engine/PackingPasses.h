#pragma once
// The passes after every patch sequence: pack folders that have no pack, take loose files back into packs.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class PackingPasses {
public:
    explicit PackingPasses(PatchEngine& engine) : engine_(engine) {}
    void packUnpackedFolders();
    void syncPacks();
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
