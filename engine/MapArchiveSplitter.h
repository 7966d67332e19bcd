#pragma once
// Splits map archives that carry minimap entries into a map and a minimap archive.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class PatchEngine;

class MapArchiveSplitter {
public:
    explicit MapArchiveSplitter(PatchEngine& engine) : engine_(engine) {}
    void splitMapArchives();
private:
    PatchEngine& engine_;
};

}  // namespace nimbrel
