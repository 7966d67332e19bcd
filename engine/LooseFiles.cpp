#include "engine/LooseFiles.h"

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"

namespace nimbrel {

void LooseFiles::deleteListed(const std::string& folder, const NameList& names) {
    // Where the file system discards freed blocks, each deletion waits for the disk (a
    // millisecond for a patch archive); a few deletions at a time overlap those waits.
    constexpr std::size_t kDeleters = 4;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < names.size();) FileSystem::deleteFileForce(folder + names[i]);
    };
    std::vector<std::thread> helpers;
    try {
        for (std::size_t t = 1; t < kDeleters && t * 2 < names.size(); ++t) helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No thread to spare: the calling one deletes the rest alone.
    }
    work();
    for (auto& helper : helpers) helper.join();
}

void LooseFiles::deleteAllExcept(const std::string& folder, const NameList& keepList) {
    auto entries = FileSystem::listFolder(folder);
    if (!entries) return;
    NameList doomed;
    for (const auto& entry : *entries)
        if (!entry.isDirectory && !PackArchive::isNameInList(entry.name, keepList)) doomed.push_back(entry.name);
    deleteListed(folder, doomed);
}

void LooseFiles::removePacked(PackArchive& packs, const std::string& folder, const NameList& keepList,
                              const NameList& removeNames) {
    NameList packed;
    // A pack that cannot be read proves nothing is safe to delete.
    if (!packs.listEntries(PackArchive::packPath(folder), packed)) packed.clear();
    auto entries = FileSystem::listFolder(folder);
    if (!entries) return;
    NameList doomed;
    for (const auto& entry : *entries) {
        if (entry.isDirectory || PackArchive::isNameInList(entry.name, keepList)) continue;
        const bool inPack = PackArchive::passesNameFilter(entry.name) && PackArchive::passesSizeRule(entry.size) &&
                            PackArchive::isNameInList(entry.name, packed);
        if (inPack || PackArchive::isNameInList(entry.name, removeNames)) doomed.push_back(entry.name);
    }
    deleteListed(folder, doomed);
}

}  // namespace nimbrel
