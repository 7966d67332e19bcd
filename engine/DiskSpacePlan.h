#pragma once
// Whether a patch run's downloads and their aftermath fit on the disks before the first byte is
// fetched: the peak space the run needs on each file system it writes to, against the space
// free there (statvfs). Only files whose length the signed manifest gives are counted; a run
// without a signed list learns of a full disk when it meets it (the update step names it then).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/GameLayout.h"

namespace nimbrel {

class DiskSpacePlan {
public:
    struct File {
        std::string folderKey;  // where its entries go ("root", "item", "minimap", ...)
        std::uint64_t length = 0;
        bool deletionList = false;
    };

    // cacheFolder: where the download cache keeps its copies (ends in "/"); empty: none used.
    DiskSpacePlan(const GameLayout& layout, std::string cacheFolder);

    void add(const File& file);

    // What one file system has to hold at the peak, and what it has.
    struct Shortage {
        std::string folder;  // the first folder of the run on that file system, ending in "/"
        std::uint64_t needed = 0;
        std::uint64_t free = 0;
    };
    // The first file system that lacks room, or nothing when every one has enough (or its free
    // space cannot be asked: then the run goes on and meets the disk as it is).
    [[nodiscard]] std::optional<Shortage> shortage() const;

    // "needs 12.5 MB on FOLDER, 3.1 MB free" (needed rounded up, free down, to a tenth).
    static std::string text(const Shortage& shortage);

private:
    struct Need {
        std::string folder;
        std::uint64_t bytes;
    };
    void need(const std::string& folder, std::uint64_t bytes);

    const GameLayout& layout_;
    std::string cacheFolder_;
    std::vector<Need> needs_;
    // The largest pack a file of the run goes into, per folder, counted once: a pack that is
    // rebuilt is written whole beside the old one before it replaces it.
    std::vector<std::pair<std::string, std::uint64_t>> packs_;
};

}  // namespace nimbrel
