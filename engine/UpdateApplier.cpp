#include "engine/UpdateApplier.h"

#include "engine/PatchEngine.h"
#include "platform/FileSystem.h"

namespace nimbrel {

int UpdateApplier::applyUpdates() { return engine_.stopRequested ? -7 : 1; }

int UpdateApplier::removeDownloadedFiles() {
    deleteFilesExcept(engine_.updateFolder(), {});
    return 0;
}

void UpdateApplier::deleteFilesExcept(const std::string& folder, const NameList& keepList) {
    auto entries = FileSystem::listFolder(folder);
    if (!entries) return;
    for (const auto& entry : *entries)
        if (!entry.isDirectory && !PackArchive::isNameInList(entry.name, keepList))
            FileSystem::deleteFileForce(folder + entry.name);
}

void UpdateApplier::deleteListedFiles(const std::string& folder, const NameList& names) {
    for (const auto& name : names) FileSystem::deleteFileForce(folder + name);
}
}  // namespace nimbrel
