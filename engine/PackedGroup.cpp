#include "engine/PackedGroup.h"

#include "engine/GameLayout.h"

namespace nimbrel {

PackedGroup PackedGroup::sort(const std::string& key, const std::vector<ExtractionEntry>& group,
                              const std::string& updateFolder, const EntrySizes& entrySizes) {
    PackedGroup sorted;
    static const std::map<std::string, std::uint64_t> kNoSizes;
    for (const auto& extraction : group) {
        const std::string archivePath = updateFolder + extraction.archiveName;
        NameList names = extraction.names;
        // The game writes some files itself; they always stay loose.
        NameList& keptLoose = sorted.keptLoose.emplace_back();
        std::erase_if(names, [&](const std::string& name) {
            if (!GameLayout::isKeptLoose(key, name) || PackArchive::isNameInList(name, keptLoose)) return false;
            keptLoose.push_back(name);
            return true;
        });
        if (names.empty()) continue;
        // Entries for the pack move over compressed, straight from the archive, with no staging
        // copy. Files outside the pack size rule never go into a pack (a build leaves them
        // too): they stay loose, and an older packed copy goes.
        auto archiveSizes = entrySizes.find(extraction.archiveName);
        const auto& sizes = archiveSizes == entrySizes.end() ? kNoSizes : archiveSizes->second;
        for (const auto& name : names) {
            auto size = sizes.find(name);
            if (size != sizes.end() && PackArchive::passesSizeRule(size->second)) {
                sorted.staged.push_back(name);
                sorted.sources.push_back(archivePath);
            } else {
                sorted.loose.emplace_back(archivePath, name);
            }
        }
    }
    return sorted;
}

}  // namespace nimbrel
