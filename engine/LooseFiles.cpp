#include "engine/LooseFiles.h"

#include <vector>

#include "platform/FileSystem.h"

namespace nimbrel {

void LooseFiles::deleteListed(const std::string& folder, const NameList& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) paths.push_back(folder + name);
    FileSystem::deleteFilesForce(paths);
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
