#include "engine/PackingPasses.h"

#include "engine/LooseFiles.h"
#include "engine/PatchContext.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

std::string PackingPasses::folderPath(const std::string& name) const { return context_.layout.folderForKey(name); }

std::string PackingPasses::packPath(const std::string& name) const { return context_.layout.packPathForKey(name); }

void PackingPasses::showFolder(int number, int total, const std::string& name) {
    if (!context_.dialog) return;
    context_.dialog->setLabelText(IDC_STATUS_LABEL, context_.collectingText);
    context_.dialog->setLabelText(IDC_COUNTER_LABEL, std::to_string(number) + "/" + std::to_string(total));
    context_.dialog->setLabelText(IDC_ITEM_LABEL, name);
}

void PackingPasses::packUnpackedFolders() {
    int missing = 0;
    for (const auto& name : GameLayout::packedFolders())
        if (!FileSystem::fileExists(packPath(name))) ++missing;
    int number = 1;
    for (const auto& name : GameLayout::packedFolders()) {
        // Packing a fresh install takes long; a window that is closing should not wait for all
        // of it. Every pack appears whole or not at all, so the next run simply goes on.
        if (context_.stopRequested) return;
        if (FileSystem::fileExists(packPath(name))) continue;
        showFolder(number++, missing, name);
        NameList keep = GameLayout::filesKeptLoose(name);
        const std::string folder = folderPath(name);
        if (context_.packArchive->packFolder(folder, keep) != PackBuildResult::Done) continue;
        keep.push_back(name + GameLayout::kPackSuffix);
        // Only the loose copies the new pack holds go; a file it did not take (empty, over
        // 10 MiB, an archive) exists nowhere else and stays.
        LooseFiles::removePacked(*context_.packArchive, folder, keep, {});
    }
}

void PackingPasses::syncPacks() {
    const int total = static_cast<int>(GameLayout::packedFolders().size());
    int number = 1;
    for (const auto& name : GameLayout::packedFolders()) {
        if (context_.stopRequested) return;
        if (!FileSystem::fileExists(packPath(name))) continue;
        showFolder(number++, total, name);
        const std::string folder = folderPath(name);
        NameList files;
        if (context_.packArchive->collectSyncFiles(folder, files) == 0) continue;
        std::erase_if(files, [&](const std::string& file) { return GameLayout::isKeptLoose(name, file); });
        if (!files.empty()) (void)context_.packArchive->rebuildPack(folder, folder, {}, files);
    }
}

}  // namespace nimbrel
