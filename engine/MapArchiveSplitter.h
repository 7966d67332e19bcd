#pragma once
// A patch archive for the "map" folder may carry the minimap's files under "minimap/". The
// map and the minimap each have their own pack, so such an archive is split into a map part
// and a minimap part in the update folder, and the entries to apply name the two parts instead.

#include <optional>
#include <string>
#include <vector>

#include "engine/PatchListEntry.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PatchContext;
class VerifiedFiles;

// What splitting made: the entries to apply, and the parts among them that could not be
// written whole (their cut-short files are removed again). The update step refuses an
// unfinished part as a damaged archive, so nothing of it passes for installed.
struct MapSplit {
    std::vector<PatchListEntry> entries;
    std::vector<std::string> unfinished;
    // The run's result when the disk refused a part (full, read only): -8, its box naming the
    // folder already shown; nothing is to be applied then.
    std::optional<int> diskRefusal;
};

class MapArchiveSplitter {
public:
    static constexpr const char* kMarker = "minimap/";

    explicit MapArchiveSplitter(const PatchContext& context) : context_(context) {}
    // The PatchList's entries with each map archive that holds minimap files replaced by its
    // map part and its minimap part, both in the update folder.
    // The signed run's archives are read through the files held since they were hashed.
    void readThrough(const VerifiedFiles& files) { verified_ = &files; }
    [[nodiscard]] MapSplit split(const std::vector<PatchListEntry>& entries);

    // "map_0.<version>_s.zip" and "minimap_0.<version>_d.zip", unless the PatchList already
    // names a file so (the server's own archive, or a second map archive of the same version):
    // then "-2", "-3", ... go before ".zip", so no archive is overwritten while it is needed.
    // Names are checked against the entries of the split in progress.
    std::string mapPartName(int version, const std::string& sourceName) const;
    std::string minimapPartName(int version, const std::string& sourceName) const;

private:
    std::string unusedName(const std::string& wanted, const std::string& alsoTaken) const;

    const PatchContext& context_;
    const VerifiedFiles* verified_ = nullptr;
    std::vector<PatchListEntry> entries_;  // the split in progress
};

}  // namespace nimbrel
