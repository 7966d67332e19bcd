#pragma once
// A packed folder's share of an update, sorted before anything is written: per extraction the
// files the game keeps loose beside the pack, the entries that move into the pack straight
// from their archives, and the files outside the pack size rule, which stay loose.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/UpdatePlan.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PackedGroup {
    // Each archive's entries' uncompressed sizes, by archive file name and entry name.
    using EntrySizes = std::map<std::string, std::map<std::string, std::uint64_t>>;

    std::vector<NameList> keptLoose;                         // one list per extraction of the group, in its order
    NameList staged;                                         // the entries that move into the pack...
    NameList sources;                                        // ...and the archive (full path) of each
    std::vector<std::pair<std::string, std::string>> loose;  // (archive path, name) left loose

    // Sorts the key's extractions; archives are read from updateFolder. An entry whose size is
    // unknown stays loose.
    [[nodiscard]] static PackedGroup sort(const std::string& key, const std::vector<ExtractionEntry>& group,
                                          const std::string& updateFolder, const EntrySizes& entrySizes);
};

}  // namespace nimbrel
