#pragma once
// A patch archive for the "map" folder may carry the minimap's files under "minimap/". The
// map and the minimap each have their own pack, so such an archive is split into a map part
// and a minimap part in the update folder and the PatchList names the two parts instead.

#include <string>
#include <vector>

#include "engine/PatchListEntry.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PatchContext;

class MapArchiveSplitter {
public:
    static constexpr const char* kMarker = "minimap/";

    // Splits within entries, which must outlive the splitter.
    MapArchiveSplitter(const PatchContext& context, std::vector<PatchListEntry>& entries)
        : context_(context), entries_(entries) {}
    // 1; or -8, with a box naming the folder, when the disk refused a part (full, read only).
    [[nodiscard]] int splitMapArchives();

    // "map_0.<version>_s.zip" and "minimap_0.<version>_d.zip", unless the PatchList already
    // names a file so (the server's own archive, or a second map archive of the same version):
    // then "-2", "-3", ... go before ".zip", so no archive is overwritten while it is needed.
    std::string mapPartName(int version, const std::string& sourceName) const;
    std::string minimapPartName(int version, const std::string& sourceName) const;

private:
    std::string unusedName(const std::string& wanted, const std::string& alsoTaken) const;

    const PatchContext& context_;
    std::vector<PatchListEntry>& entries_;
};

}  // namespace nimbrel
