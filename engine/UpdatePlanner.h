#pragma once
// Decides what applying a patch will do, from what was read beforehand: the PatchList, the
// entry names of its archives and the lines of its deletion lists. It touches no disk; the one
// fact about the game folder it needs (how an existing name is spelt there, since the game
// finds its files whatever their case) is asked of the caller, so the same inputs always give
// the same plan.

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/PatchListEntry.h"
#include "engine/UpdatePlan.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PlanOutcome {
    UpdatePlan plan;
    std::string refusedName;  // the first name refused; the plan must then not be applied
    std::string refusal;      // the message that names the cause
};

class UpdatePlanner {
public:
    // A path relative to the game folder as it is spelt on the disk (FileSystem::resolveCase).
    // Empty: every name is taken as written.
    using NameResolver = std::function<std::string(const std::string& relativePath)>;

    static constexpr const char* kUnsafeNameText = "The patch was refused: it names a path outside the game folder: ";
    static constexpr const char* kControlCharacterText =
        "The patch was refused: an archive entry's name holds a control character: ";
    static constexpr const char* kSubfolderInPackText =
        "The patch was refused: a packed folder's archive holds an entry in a subfolder: ";
    static constexpr const char* kEmptyDeletionListText = "The patch was refused: its deletion list is empty: ";
    static constexpr const char* kBadDeletionLineText =
        "The patch was refused: its deletion list holds a line that is no file name: ";

    UpdatePlanner(GameLayout layout, UpdatePlan& plan, NameResolver resolve);

    // Archives by their file name in the update folder (entry names as ArchiveCheck gives them,
    // "/" between folders, folders ending in "/"); deletion lists likewise, as raw lines. An
    // archive without names, or a list that could not be read, plans nothing.
    [[nodiscard]] static PlanOutcome plan(const GameLayout& layout, const std::vector<PatchListEntry>& entries,
                                          const std::map<std::string, NameList>& archiveNames,
                                          const std::map<std::string, std::vector<std::string>>& deletionLines,
                                          const NameResolver& resolve);

    void addExtraction(const std::string& key, int version, const std::string& archiveName,
                       const std::string& targetFolder, const NameList& listedNames);
    // False when the list is refused (refusedName() names it): a list that names no file, or a
    // line that is unsafe or no Windows file name. Nothing of a refused list is planned.
    bool addDeletionLines(const std::vector<std::string>& lines, int version, const std::string& listName = {});
    void addDeletion(const std::string& key, const std::string& name, int version);

    const std::string& refusedName() const { return refusedName_; }
    const std::string& refusal() const { return refusal_; }

private:
    // The first refusal of a plan is the one reported.
    void refuse(const char* text, const std::string& name);
    bool isInsideGameFolder(const std::string& folder) const;
    std::string resolve(const std::string& relativePath) const;
    // The key under which a folder is planned: its spelling on the disk, or that of a key
    // planned already, so that one folder never forms two groups.
    std::string plannedKey(const std::string& key, const std::string& relativeFolder) const;
    std::string relativeFolderOf(const std::string& key) const;
    // True when deleting the path (relative) makes room for a file or folder that an archive of
    // this version or a later one puts there: a file where a folder must go, or the reverse.
    bool clearsTheWay(const std::string& relativePath, int version);

    GameLayout layout_;
    UpdatePlan& plan_;
    NameResolver resolve_;
    std::string refusedName_;
    std::string refusal_;
    // Every extracted path and every folder above one, in lower case, with the newest version.
    std::map<std::string, int> extractedPaths_;
    std::map<std::string, int> extractedFolders_;
    bool indexed_ = false;
};

}  // namespace nimbrel
