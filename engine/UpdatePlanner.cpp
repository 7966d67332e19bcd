#include "engine/UpdatePlanner.h"

#include <cctype>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {

UpdatePlanner::UpdatePlanner(GameLayout layout, UpdatePlan& plan, LinkCheck passesThroughLink)
    : layout_(std::move(layout)), plan_(plan), passesThroughLink_(std::move(passesThroughLink)) {}

PlanOutcome UpdatePlanner::plan(const GameLayout& layout, const std::vector<PatchListEntry>& entries,
                                const std::map<std::string, NameList>& archiveNames,
                                const std::map<std::string, std::vector<std::string>>& deletionLines,
                                const LinkCheck& passesThroughLink) {
    PlanOutcome outcome;
    UpdatePlanner planner(layout, outcome.plan, passesThroughLink);
    // Newest first, so that a file a later version supplies again is taken from that one.
    for (auto it = entries.rbegin(); it != entries.rend() && planner.refusedName_.empty(); ++it) {
        if (it->kind != PatchListEntry::kPatchArchive) continue;
        auto names = archiveNames.find(it->fileName);
        if (names != archiveNames.end())
            planner.addExtraction(it->folderKey, it->version, it->fileName, it->targetFolder, names->second);
    }
    // Deletion lists are planned once every archive is. A block's deletion list follows the
    // block's own archives in the PatchList, so in a single backward walk a file that the same
    // version supplies again would be extracted and then deleted.
    for (auto it = entries.rbegin(); it != entries.rend() && planner.refusedName_.empty(); ++it) {
        if (it->kind != PatchListEntry::kDeletionList) continue;
        auto lines = deletionLines.find(it->fileName);
        if (lines != deletionLines.end()) (void)planner.addDeletionLines(lines->second, it->version);
    }
    outcome.refusedName = planner.refusedName_;
    return outcome;
}

void UpdatePlanner::refuse(const std::string& name) {
    if (refusedName_.empty()) refusedName_ = name.empty() ? std::string("(empty name)") : name;
}

bool UpdatePlanner::passesThroughLink(const std::string& relativePath) const {
    return passesThroughLink_ && passesThroughLink_(relativePath);
}

bool UpdatePlanner::isInsideGameFolder(const std::string& folder) const {
    const std::string& base = layout_.baseFolder();
    if (folder.size() < base.size() || folder.compare(0, base.size(), base) != 0) return false;
    std::string relative = folder.substr(base.size());
    if (relative.empty()) return true;
    if (relative.back() == '/') relative.pop_back();
    return FileSystem::isSafeRelativeName(relative, true);
}

void UpdatePlanner::addExtraction(const std::string& key, int version, const std::string& archiveName,
                                  const std::string& targetFolder, const NameList& listedNames) {
    if (listedNames.empty()) return;
    // A key or folder that leads outside the game folder refuses the whole patch: nothing of
    // it is ever written.
    if (!FileSystem::isSafeRelativeName(key, true) || !isInsideGameFolder(targetFolder)) {
        refuse(key);
        return;
    }
    const std::string relativeFolder = targetFolder.substr(layout_.baseFolder().size());
    for (const auto& name : listedNames) {
        // A directory entry carries no file, but one that climbs out is as hostile as a file.
        std::string_view path(name);
        if (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
        if (!FileSystem::isSafeRelativeName(path, true) || passesThroughLink(relativeFolder + name)) {
            refuse(relativeFolder + name);
            return;
        }
    }
    auto& group = plan_.extractions[key];
    ExtractionEntry extraction;
    extraction.version = version;
    extraction.archiveName = archiveName;
    extraction.targetFolder = targetFolder;
    for (const auto& name : listedNames) {
        if (name.ends_with('/')) continue;
        bool suppliedLater = false;
        for (const auto& earlier : group)
            if (earlier.version >= 0 && PackArchive::isNameInList(name, earlier.names)) {
                suppliedLater = true;
                break;
            }
        if (!suppliedLater) extraction.names.push_back(name);
    }
    if (!extraction.names.empty()) group.push_back(std::move(extraction));
    if (group.empty()) plan_.extractions.erase(key);
}

bool UpdatePlanner::addDeletionLines(const std::vector<std::string>& lines, int version) {
    for (std::string line : lines) {
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (line.empty()) continue;
        // No name is longer than 259 bytes: read in pieces, such a line would delete the file
        // its tail happened to name, so it is refused like any other unsafe one.
        if (line.size() > PatchListEntry::kMaxFieldLength) {
            refuse(TextCodec::gameTextToUtf8(line));
            return false;
        }
        line = TextCodec::gameTextToUtf8(line);
        // Absolute paths, drive letters and ".." would reach outside the game folder.
        if (!FileSystem::isSafeRelativeName(line, true)) {
            refuse(line);
            return false;
        }
        std::string key = GameLayout::kRootKey;
        std::string name = line;
        std::size_t slash = line.rfind('\\');
        if (slash != std::string::npos) {
            key = line.substr(0, slash);
            name = line.substr(slash + 1);
            if (key.find("map\\minimap") != std::string::npos) key = GameLayout::kMinimapKey;
        }
        if (name.empty()) continue;
        // A folder on the way may be a symbolic link to somewhere outside the game folder
        // (the player's own, or one an earlier patch left); nothing is deleted through it.
        const std::string folder = layout_.folderForKey(key);
        if (!isInsideGameFolder(folder) || passesThroughLink(folder.substr(layout_.baseFolder().size()) + name)) {
            refuse(line);
            return false;
        }
        addDeletion(key, name, version);
    }
    return true;
}

void UpdatePlanner::addDeletion(const std::string& key, const std::string& name, int version) {
    auto existing = plan_.deletions.find(key);
    if (existing != plan_.deletions.end() && PackArchive::isNameInList(name, existing->second)) return;
    auto group = plan_.extractions.find(key);
    if (group != plan_.extractions.end())
        for (const auto& extraction : group->second)
            if (extraction.version >= version && PackArchive::isNameInList(name, extraction.names)) return;
    plan_.deletions[key].push_back(name);
}

}  // namespace nimbrel
