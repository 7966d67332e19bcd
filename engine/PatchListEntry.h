#pragma once
// One record of the PatchList: a patch archive or a deletion list to fetch and apply.

#include <string>

namespace nimbrel {

struct PatchListEntry {
    static constexpr int kPatchArchive = 0;
    static constexpr int kDeletionList = 1;
    static constexpr std::size_t kMaxFieldLength = 259;  // the game client's 260-byte name fields

    int kind = kPatchArchive;
    std::string targetFolder;  // absolute, ends in "/"
    std::string fileName;      // name on the server and in the update folder
    std::string folderKey;     // "root", "minimap" or the data folder's name
    int version = 0;
};

}  // namespace nimbrel
