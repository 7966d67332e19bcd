#pragma once
// Applies the downloaded patch archives and deletion lists to the game's folders and packs:
// first a plan per folder key (what to extract from which archive, what to delete), made from
// every archive checked whole and every deletion list, so that material that cannot be applied
// is refused before the first write; then the deletions that make room for new files, the
// extraction phase folder by folder, and the deletion phase.
//
// The game folder is the player's installation, so every step may be cut short by a kill:
// packs are only ever replaced whole (PackArchive), files bound for a pack wait in a staging
// folder below the update folder, and the update folder keeps everything needed to apply the
// patch again until the new version is written.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/PackedGroup.h"
#include "engine/PatchListEntry.h"
#include "engine/PatchResult.h"
#include "engine/UpdatePlanner.h"
#include "engine/VerifiedFiles.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PatchContext;

class UpdateApplier {
public:
    // What applyUpdates gives: kApplied, the sequence's -7 and -11, or the results below. The
    // steps inside give kApplied to go on, or the run's result.
    static constexpr int kApplied = 1;
    // The patch material turned out unusable, so nothing may be reported as installed.
    static constexpr int kArchiveUnreadable = PatchResult::kPatchFileMissing;  // an archive could not be listed
    static constexpr int kExtractionFailed = PatchResult::kExtractionFailed;   // its files could not be written
    // A patch that names a path outside the game folder, or an archive or deletion list it
    // cannot apply, is refused as a whole before anything is written; the code is that of
    // unusable material.
    static constexpr int kUnsafeName = kArchiveUnreadable;
    static constexpr const char* kCaption = "Nimbrel";
    static constexpr const char* kUnsafeNameText = UpdatePlanner::kUnsafeNameText;

    // Applies entries, which must outlive the applier. An archive named in damaged (a part
    // that could not be written whole) is refused as a damaged archive.
    UpdateApplier(const PatchContext& context, const std::vector<PatchListEntry>& entries,
                  std::vector<std::string> damaged = {})
        : context_(context), entries_(entries), damaged_(std::move(damaged)) {}

    // The patch files are read through the files held there (those verified against the signed
    // manifest), not by their names; files must outlive the applier.
    void readThrough(const VerifiedFiles& files) { verified_ = &files; }

    [[nodiscard]] int applyUpdates();
    // Empties the update folder and its staging folder.
    static void removeDownloadedFiles(const GameLayout& layout);
    // Gives result back; when the pack operation that failed last was refused by the disk
    // (full, read only, not ours), first says so in a box: "Make PAK Failed (not enough free
    // space on FOLDER)" for -11, "Cannot write the patched files (...)" otherwise.
    static int withDiskCause(const PatchContext& context, int result);

private:
    // Fills plan_ from the entries; false when an archive is damaged or made in a way we do
    // not read, or an archive entry, a deletion list or one of its lines is refused
    // (refusedName_ names it, refusal_ says why). The plan must then not be applied.
    [[nodiscard]] bool buildUpdatePlan();
    [[nodiscard]] int applyPlan();
    // The steps of applyPlan, in order.
    [[nodiscard]] int refusePlan();
    void removeLeftoverTemporaries();
    std::map<std::string, PackedGroup> preparePackedGroups();
    void clearTheWay();
    [[nodiscard]] int extractLooseGroup(const std::vector<ExtractionEntry>& group);
    [[nodiscard]] int extractPackedGroup(const std::string& key, const std::vector<ExtractionEntry>& group,
                                         const PackedGroup& sorted);
    [[nodiscard]] int applyDeletions();
    // Removes the folders that the deletions left empty.
    void removeEmptiedFolders(std::set<std::string> folders);
    // Reads every archive's entries and every deletion list the plan needs; false (with the
    // refusal set) for an archive that cannot be applied.
    [[nodiscard]] bool readPatchMaterial(std::map<std::string, NameList>& archiveNames,
                                         std::map<std::string, std::vector<std::string>>& deletionLines);
    // Asks the game folder how names are spelt, listing each folder once for the whole plan.
    UpdatePlanner::NameResolver nameResolver() const;
    // A deletion list's raw lines; nothing when it cannot be read.
    static std::optional<std::vector<std::string>> readDeletionLines(const std::string& path);
    // The folder of a key as it is spelt on the disk.
    std::string folderPathForKey(const std::string& key) const;
    // False when the names could not all be written into folder.
    [[nodiscard]] bool extractArchive(const std::string& folder, const std::string& archivePath, const NameList& names);
    // Where to read a file of the update folder from.
    std::string readPath(const std::string& path) const { return verified_ ? verified_->readPath(path) : path; }
    void setLabel(int controlId, const std::string& text);
    void showCounter();
    // Deletes a pack that holds no entry so that it can be built afresh: a pack without
    // entries cannot be rebuilt. True when the folder has no pack afterwards.
    bool dropEmptyPack(const std::string& packPath);
    // One packed folder: merge the staged files and the deletions into its pack.
    // addNames come from the staging folder, or, with sourceArchives, from those archives.
    [[nodiscard]] PackBuildResult mergeIntoPack(const std::string& key, const std::string& folder,
                                                const NameList& removeNames, const NameList& addNames,
                                                const std::string& stagingFolder, const NameList& sourceArchives = {});
    NameList looseFilesKept(const std::string& key, const NameList& removeNames) const;

    const PatchContext& context_;
    const std::vector<PatchListEntry>& entries_;
    const std::vector<std::string> damaged_;
    const VerifiedFiles* verified_ = nullptr;
    UpdatePlan plan_;
    std::string refusedName_;
    std::string refusal_;
    int counter_ = 1;
    int total_ = 0;
    // Each listed archive's entries' uncompressed sizes, from planning.
    PackedGroup::EntrySizes entrySizes_;
    bool looseChanged_ = false;  // a loose file of the game was written or deleted
};

}  // namespace nimbrel
