#include "engine/UpdatePlanner.h"

#include <algorithm>
#include <cctype>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

bool hasControlCharacter(std::string_view name) {
    return std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Windows refuses these in a file name, so no list a release team made holds them: a line
// with one is an error page or a damaged file taken for the list.
bool isWindowsFileName(std::string_view line) {
    return line.find_first_of("<>:\"|?*") == std::string_view::npos && !hasControlCharacter(line);
}

// Control characters shown as \xNN, so that a refusal prints the name it refuses.
std::string printable(std::string_view name) {
    std::string text;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20) {
            text += c;
            continue;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        text += "\\x";
        text += kHex[byte >> 4];
        text += kHex[byte & 15];
    }
    return text;
}

std::string lowered(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string withoutFolderSlash(std::string_view name) {
    if (name.size() > 1 && name.ends_with('/')) name.remove_suffix(1);
    return std::string(name);
}

}  // namespace

UpdatePlanner::UpdatePlanner(GameLayout layout, UpdatePlan& plan, NameResolver resolve)
    : layout_(std::move(layout)), plan_(plan), resolve_(std::move(resolve)) {}

PlanOutcome UpdatePlanner::plan(const GameLayout& layout, const std::vector<PatchListEntry>& entries,
                                const std::map<std::string, NameList>& archiveNames,
                                const std::map<std::string, std::vector<std::string>>& deletionLines,
                                const NameResolver& resolve) {
    PlanOutcome outcome;
    UpdatePlanner planner(layout, outcome.plan, resolve);
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
        if (lines != deletionLines.end()) (void)planner.addDeletionLines(lines->second, it->version, it->fileName);
    }
    outcome.refusedName = planner.refusedName_;
    outcome.refusal = planner.refusal_;
    return outcome;
}

void UpdatePlanner::refuse(const char* text, const std::string& name) {
    if (!refusedName_.empty()) return;
    refusedName_ = name.empty() ? std::string("(empty name)") : name;
    refusal_ = text + printable(refusedName_);
}

std::string UpdatePlanner::resolve(const std::string& relativePath) const {
    return resolve_ ? resolve_(relativePath) : relativePath;
}

bool UpdatePlanner::isInsideGameFolder(const std::string& folder) const {
    const std::string& base = layout_.baseFolder();
    if (folder.size() < base.size() || folder.compare(0, base.size(), base) != 0) return false;
    std::string relative = folder.substr(base.size());
    if (relative.empty()) return true;
    if (relative.back() == '/') relative.pop_back();
    return FileSystem::isSafeRelativeName(relative, true);
}

std::string UpdatePlanner::plannedKey(const std::string& key, const std::string& relativeFolder) const {
    // The game folder itself and the minimap folder have keys of their own; a folder that
    // happens to be spelt like one of them keeps the key it came with.
    if (relativeFolder.empty() || key == GameLayout::kMinimapKey) return key;
    std::string onDisk = relativeFolder.substr(0, relativeFolder.size() - 1);
    std::replace(onDisk.begin(), onDisk.end(), '/', '\\');
    if (TextCodec::equalsIgnoreCase(onDisk, GameLayout::kRootKey) ||
        TextCodec::equalsIgnoreCase(onDisk, GameLayout::kMinimapKey))
        return key;
    for (const auto& [planned, group] : plan_.extractions)
        if (TextCodec::equalsIgnoreCase(planned, onDisk)) return planned;
    return onDisk;
}

std::string UpdatePlanner::relativeFolderOf(const std::string& key) const {
    return resolve(layout_.folderForKey(key).substr(layout_.baseFolder().size()));
}

void UpdatePlanner::addExtraction(const std::string& key, int version, const std::string& archiveName,
                                  const std::string& targetFolder, const NameList& listedNames) {
    if (listedNames.empty()) return;
    // A key or folder that leads outside the game folder refuses the whole patch: nothing of
    // it is ever written.
    if (!FileSystem::isSafeRelativeName(key, true) || !isInsideGameFolder(targetFolder)) {
        refuse(kUnsafeNameText, key);
        return;
    }
    const std::string relativeFolder = resolve(targetFolder.substr(layout_.baseFolder().size()));
    const std::string plannedAs = plannedKey(key, relativeFolder);
    const bool packed = GameLayout::isPackedFolder(plannedAs);
    NameList names;
    for (const auto& name : listedNames) {
        const std::string path = withoutFolderSlash(name);
        if (name.empty() || name == "/") continue;  // "./" alone, as bsdtar writes the top folder
        if (hasControlCharacter(name)) return refuse(kControlCharacterText, relativeFolder + name);
        // A directory entry carries no file, but one that climbs out is as hostile as a file.
        if (!FileSystem::isSafeRelativeName(path, true)) return refuse(kUnsafeNameText, relativeFolder + name);
        if (GameLayout::isPatcherFile(relativeFolder + path)) continue;
        if (packed && name.ends_with('/')) continue;  // a pack holds files only
        // A pack holds the files of its own folder; the game would never find a deeper one.
        if (packed && path.find('/') != std::string::npos) return refuse(kSubfolderInPackText, relativeFolder + name);
        names.push_back(name);
    }
    auto& group = plan_.extractions[plannedAs];
    ExtractionEntry extraction;
    extraction.version = version;
    extraction.archiveName = archiveName;
    extraction.targetFolder = group.empty() ? layout_.baseFolder() + relativeFolder : group.front().targetFolder;
    for (const auto& name : names) {
        bool suppliedLater = false;
        for (const auto& earlier : group)
            if (earlier.version >= 0 && PackArchive::isNameInList(name, earlier.names)) {
                suppliedLater = true;
                break;
            }
        if (!suppliedLater) extraction.names.push_back(name);
    }
    if (!extraction.names.empty()) group.push_back(std::move(extraction));
    if (group.empty()) plan_.extractions.erase(plannedAs);
    indexed_ = false;
}

bool UpdatePlanner::addDeletionLines(const std::vector<std::string>& lines, int version, const std::string& listName) {
    // Checked whole before anything of it is planned: a list that is no list deletes nothing.
    std::vector<std::string> names;
    for (std::string line : lines) {
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (line.empty()) continue;
        // A longer line would be read in pieces, and its tail would name some other file.
        if (line.size() > PatchListEntry::kMaxFieldLength) {
            refuse(kUnsafeNameText, TextCodec::gameTextToUtf8(line));
            return false;
        }
        line = TextCodec::gameTextToUtf8(line);
        // Absolute paths, drive letters and ".." would reach outside the game folder.
        if (!FileSystem::isSafeRelativeName(line, true)) {
            refuse(kUnsafeNameText, line);
            return false;
        }
        if (!isWindowsFileName(line)) {
            refuse(kBadDeletionLineText, line);
            return false;
        }
        names.push_back(std::move(line));
    }
    // An empty reply saved as the list says nothing about which files go.
    if (names.empty()) {
        refuse(kEmptyDeletionListText, listName);
        return false;
    }
    for (const auto& line : names) {
        std::string key = GameLayout::kRootKey;
        std::string name = line;
        std::size_t slash = line.rfind('\\');
        if (slash != std::string::npos) {
            key = line.substr(0, slash);
            name = line.substr(slash + 1);
            if (key.find("map\\minimap") != std::string::npos) key = GameLayout::kMinimapKey;
        }
        if (name.empty()) continue;
        const std::string folder = layout_.folderForKey(key);
        if (!isInsideGameFolder(folder)) {
            refuse(kUnsafeNameText, line);
            return false;
        }
        const std::string relativeFolder = resolve(folder.substr(layout_.baseFolder().size()));
        if (GameLayout::isPatcherFile(relativeFolder + name)) continue;
        addDeletion(plannedKey(key, relativeFolder), name, version);
    }
    return true;
}

bool UpdatePlanner::clearsTheWay(const std::string& relativePath, int version) {
    if (!indexed_) {
        extractedPaths_.clear();
        extractedFolders_.clear();
        for (const auto& [key, group] : plan_.extractions) {
            if (GameLayout::isPackedFolder(key)) continue;
            for (const auto& extraction : group) {
                const std::string folder = extraction.targetFolder.substr(layout_.baseFolder().size());
                for (const auto& name : extraction.names) {
                    const std::string path = lowered(withoutFolderSlash(folder + name));
                    int& newest = extractedPaths_[path];
                    newest = std::max(newest, extraction.version);
                    for (std::size_t slash = path.find('/'); slash != std::string::npos;
                         slash = path.find('/', slash + 1)) {
                        int& folderNewest = extractedFolders_[path.substr(0, slash)];
                        folderNewest = std::max(folderNewest, extraction.version);
                    }
                }
            }
        }
        indexed_ = true;
    }
    const std::string path = lowered(relativePath);
    // A file where an extraction needs a folder.
    if (auto folder = extractedFolders_.find(path); folder != extractedFolders_.end() && folder->second >= version)
        return true;
    // A file inside a folder where an extraction puts a file.
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (auto file = extractedPaths_.find(path.substr(0, slash));
            file != extractedPaths_.end() && file->second >= version)
            return true;
    return false;
}

void UpdatePlanner::addDeletion(const std::string& key, const std::string& name, int version) {
    const bool packed = GameLayout::isPackedFolder(key);
    bool suppliedAsListed = false, suppliedInOtherCase = false;
    if (auto group = plan_.extractions.find(key); group != plan_.extractions.end())
        for (const auto& extraction : group->second) {
            if (extraction.version < version || !PackArchive::isNameInList(name, extraction.names)) continue;
            if (std::find(extraction.names.begin(), extraction.names.end(), name) != extraction.names.end())
                suppliedAsListed = true;
            else
                suppliedInOtherCase = true;
        }
    // A file that the same or a later patch supplies again is replaced, not deleted. A pack
    // takes a new spelling in place of the old one by itself.
    if (suppliedAsListed || (suppliedInOtherCase && packed)) return;
    const std::string folder = relativeFolderOf(key);
    const std::string onDisk = FileSystem::nameOf(resolve(folder + name));
    // A case-only rename deletes the old spelling first, so that the new file takes its own.
    auto& names = !packed && (suppliedInOtherCase || clearsTheWay(folder + name, version)) ? plan_.clearances[key]
                                                                                           : plan_.deletions[key];
    if (!PackArchive::isNameInList(onDisk, names)) names.push_back(onDisk);
}

}  // namespace nimbrel
