#pragma once
// The temporary a pack is written afresh in: "<folder name>.RPAK" beside the pack, which takes
// the pack's name in one rename once it is complete on the disk. It keeps that fixed name
// instead of an AtomicFile temporary because the game's tools and our own folder walks
// (PackArchive::passesNameFilter) know it and pass it over, and a build cut short is simply
// overwritten by the next one. Its owner removes it on every way out before it is complete;
// a complete one that could not take the pack's name stays for the player to look at.

#include <string>

#include "pack/PackResult.h"
#include "pack/PackWriter.h"

namespace nimbrel {

class PackTemporary {
public:
    // How place() treats a pack that exists.
    enum class Place {
        Replace,    // an update writing the pack afresh: the old pack goes in the same rename
        NoReplace,  // a build: a pack that appeared meanwhile is never overwritten
    };

    // Opens the folder's temporary for writing (writer().isOpen() tells whether it could).
    explicit PackTemporary(const std::string& folder);
    // Unless placed, abandons the writer and removes the file it created.
    ~PackTemporary();
    PackTemporary(const PackTemporary&) = delete;
    PackTemporary& operator=(const PackTemporary&) = delete;

    PackWriter& writer() { return writer_; }
    const std::string& path() const { return path_; }

    // Finishes the archive (close flushes it), then renames it to pack. NotCompleted (the file
    // is still removed with its owner) or NotPutInPlace (a complete file that stays) on failure.
    [[nodiscard]] PackBuildResult place(const std::string& pack, Place mode);

private:
    std::string path_;
    PackWriter writer_;
    bool created_ = false;
    bool placed_ = false;
};

}  // namespace nimbrel
