#pragma once
// Decides what applying a patch will do, from what was read beforehand: the PatchList, the
// entry names of its archives and the lines of its deletion lists. It touches no disk; the one
// fact about the game folder it needs (does a path pass through a symbolic link) is asked of
// the caller, so the same inputs always give the same plan.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/PatchListEntry.h"
#include "engine/UpdatePlan.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PlanOutcome {
    UpdatePlan plan;
    std::string refusedName;  // the first unsafe name; the plan must then not be applied
};

class UpdatePlanner {
public:
    // True when the path, relative to the game folder, passes through a symbolic link.
    using LinkCheck = std::function<bool(const std::string& relativePath)>;

    UpdatePlanner(GameLayout layout, UpdatePlan& plan, LinkCheck passesThroughLink);

    // Archives by their file name in the update folder; deletion lists likewise, as raw lines.
    // An entry without names (an archive that holds none, a list that could not be read)
    // plans nothing.
    [[nodiscard]] static PlanOutcome plan(const GameLayout& layout, const std::vector<PatchListEntry>& entries,
                                          const std::map<std::string, NameList>& archiveNames,
                                          const std::map<std::string, std::vector<std::string>>& deletionLines,
                                          const LinkCheck& passesThroughLink);

    void addExtraction(const std::string& key, int version, const std::string& archiveName,
                       const std::string& targetFolder, const NameList& listedNames);
    // False when a line is unsafe (refusedName() names it); the lines before it are planned.
    bool addDeletionLines(const std::vector<std::string>& lines, int version);
    void addDeletion(const std::string& key, const std::string& name, int version);

    const std::string& refusedName() const { return refusedName_; }

private:
    void refuse(const std::string& name);  // the first unsafe name of a plan is the one reported
    bool isInsideGameFolder(const std::string& folder) const;
    bool passesThroughLink(const std::string& relativePath) const;

    GameLayout layout_;
    UpdatePlan& plan_;
    LinkCheck passesThroughLink_;
    std::string refusedName_;
};

}  // namespace nimbrel
