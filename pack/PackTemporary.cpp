#include "pack/PackTemporary.h"

#include <unistd.h>

#include "pack/PackArchive.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"

namespace nimbrel {

PackTemporary::PackTemporary(const std::string& folder)
    : path_(PackArchive::tempPath(folder)), writer_(path_), created_(writer_.isOpen()) {}

PackTemporary::~PackTemporary() {
    if (placed_ || !created_) return;
    writer_.abandon();
    ::unlink(path_.c_str());
}

PackBuildResult PackTemporary::place(const std::string& pack, Place mode) {
    // One the disk could not take whole (a full disk) goes with its owner like any unfinished one.
    if (writer_.close() != PACK_OK) return PackBuildResult::NotCompleted;
    placed_ = true;
    const bool renamed =
        mode == Place::Replace ? FileSystem::replaceFile(path_, pack) : AtomicFile::renameNoReplace(path_, pack);
    return renamed ? PackBuildResult::Done : PackBuildResult::NotPutInPlace;
}

}  // namespace nimbrel
