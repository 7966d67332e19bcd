#include "engine/MapArchiveSplitter.h"

#include <cstdio>

#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/UpdateApplier.h"
#include "engine/VerifiedFiles.h"
#include "pack/ArchiveCheck.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

std::string formatName(const char* pattern, int version) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, version);
    return buffer;
}

}  // namespace

std::string MapArchiveSplitter::unusedName(const std::string& wanted, const std::string& alsoTaken) const {
    auto taken = [&](const std::string& name) {
        if (name == alsoTaken) return true;
        for (const auto& entry : entries_)
            if (entry.fileName == name) return true;
        return false;
    };
    if (!taken(wanted)) return wanted;
    const std::string stem = wanted.substr(0, wanted.size() - 4);  // both patterns end in ".zip"
    for (int n = 2;; ++n) {
        std::string candidate = stem + "-" + std::to_string(n) + ".zip";
        if (!taken(candidate)) return candidate;
    }
}

std::string MapArchiveSplitter::mapPartName(int version, const std::string& sourceName) const {
    return unusedName(formatName("map_0.%d_s.zip", version), sourceName);
}

std::string MapArchiveSplitter::minimapPartName(int version, const std::string& sourceName) const {
    return unusedName(formatName("minimap_0.%d_d.zip", version), sourceName);
}

MapSplit MapArchiveSplitter::split(const std::vector<PatchListEntry>& listed) {
    entries_ = listed;
    MapSplit made;
    const std::string updateFolder = context_.layout.updateFolder();
    auto& entries = entries_;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (!TextCodec::equalsIgnoreCase(entries[i].folderKey, "map")) continue;
        const std::string source = verified_ ? verified_->readPath(updateFolder + entries[i].fileName)
                                             : updateFolder + entries[i].fileName;
        if (!context_.packArchive->containsEntryText(source, kMarker)) continue;
        // An archive that cannot be applied is left whole, so that its refusal names it.
        if (ArchiveCheck::inspect(source).verdict != ArchiveCheck::Verdict::Usable) continue;

        PatchListEntry minimap = entries[i];
        const std::string mapName = mapPartName(minimap.version, minimap.fileName);
        entries[i].fileName = mapName;  // reserves the name before the minimap part picks its own
        const std::string minimapName = minimapPartName(minimap.version, minimap.fileName);
        if (!context_.packArchive->splitArchive(updateFolder, kMarker, source, mapName, minimapName,
                                                PackWriter::Encryption::None)) {
            // A part cut short would still list and could pass for complete.
            FileSystem::deleteFileForce(updateFolder + mapName);
            FileSystem::deleteFileForce(updateFolder + minimapName);
            // The archive itself is sound: the player is told of the disk, not of a damaged patch.
            if (context_.packArchive->diskWriteFailure().error != 0) {
                made.diskRefusal = UpdateApplier::withDiskCause(context_, PatchResult::kExtractionFailed);
                made.entries = std::move(entries_);
                entries_.clear();
                return made;
            }
            made.unfinished.push_back(mapName);
            made.unfinished.push_back(minimapName);
        }
        minimap.targetFolder += "minimap/";
        minimap.folderKey = "minimap";
        minimap.fileName = minimapName;
        entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(i) + 1, std::move(minimap));
        ++i;
    }
    made.entries = std::move(entries_);
    entries_.clear();
    return made;
}

}  // namespace nimbrel
