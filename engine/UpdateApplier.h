#pragma once
// Applies the downloaded patch archives and deletion lists to the game's folders and packs:
// first a plan per folder key (what to extract from which archive, what to delete), then the
// extraction phase folder by folder, then the deletion phase.
//
// The game folder is the player's installation, so every step may be cut short by a kill:
// packs are only ever replaced whole (PackArchive), files bound for a pack wait in a staging
// folder below the update folder, and the update folder keeps everything needed to apply the
// patch again until the new version is written.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "engine/GameLayout.h"
#include "engine/PatchListEntry.h"
#include "engine/PatchResult.h"
#include "engine/UpdatePlanner.h"
#include "pack/PackArchive.h"

namespace nimbrel {

struct PatchContext;

class UpdateApplier {
public:
    // applyUpdates results beyond the sequence's 1, -7 and -11: the patch material turned out
    // unusable, so nothing may be reported as installed.
    static constexpr int kArchiveUnreadable = PatchResult::kPatchFileMissing;  // an archive could not be listed
    static constexpr int kExtractionFailed = PatchResult::kExtractionFailed;   // its files could not be written
    // A patch that names a path outside the game folder, or through a symbolic link, is
    // refused as a whole before anything is written; the code is that of unusable material.
    static constexpr int kUnsafeName = kArchiveUnreadable;
    static constexpr const char* kCaption = "Nimbrel";
    // Followed by the offending path, relative to the game folder.
    static constexpr const char* kUnsafeNameText =
        "The patch was refused: it names a path outside the game folder or through a link: ";

    // Applies entries, which must outlive the applier.
    UpdateApplier(const PatchContext& context, const std::vector<PatchListEntry>& entries)
        : context_(context), entries_(entries) {}

    [[nodiscard]] int applyUpdates();
    // Empties the update folder and its staging folder.
    static void removeDownloadedFiles(const GameLayout& layout);

    // Fills plan() from the entries; false when an archive could not be listed, or
    // an archive entry or a deletion line is unsafe (refusedName() then names it). The plan is
    // then incomplete and must not be applied.
    [[nodiscard]] bool buildUpdatePlan();
    const UpdatePlan& plan() const { return plan_; }
    const std::string& refusedName() const { return refusedName_; }
    void addExtraction(const std::string& key, int version, const std::string& archiveName,
                       const std::string& targetFolder, const NameList& listedNames);
    // False when the list cannot be opened, or names a path that is unsafe (refusedName()).
    bool readDeletionList(const std::string& path, int version);
    void addDeletion(const std::string& key, const std::string& name, int version);

    int extractArchive(const std::string& folder, const std::string& archivePath, const NameList& names);
    bool isPackedFolder(const std::string& key) const;
    static bool takeName(const std::string& name, NameList& list, bool remove);
    std::string folderPathForKey(const std::string& key) const;

    // Where files bound for a pack wait: a folder of its own inside the update folder, so a
    // staged file can never overwrite a downloaded archive or the patch list.
    std::string stagingFolder() const;

    // True for a well-formed zip that holds no entry (zip readers refuse to open those).
    static bool isArchiveWithoutEntries(const std::string& path);

private:
    // A packed folder's extractions, sorted: per extraction the files the game keeps loose;
    // the entries that move into the pack and the archive of each; the files outside the
    // pack size rule, which stay loose (archive, name).
    struct PackedGroup {
        std::vector<NameList> keptLoose;
        NameList staged;
        NameList sources;
        std::vector<std::pair<std::string, std::string>> loose;
    };
    PackedGroup sortPackedGroup(const std::string& key, const std::vector<ExtractionEntry>& group);
    int applyPlan();
    // The planner over plan_, asking the game folder about links.
    UpdatePlanner planner();
    // A deletion list's raw lines; nothing when it cannot be read.
    static std::optional<std::vector<std::string>> readDeletionLines(const std::string& path);
    void setLabel(int controlId, const std::string& text);
    void showCounter(int& counter, int total);
    // Deletes a pack that holds no entry so that it can be built afresh: a pack without
    // entries cannot be rebuilt. True when the folder has no pack afterwards.
    bool dropEmptyPack(const std::string& packPath);
    // One packed folder: merge the staged files and the deletions into its pack.
    // addNames come from the staging folder, or, with sourceArchives, from those archives.
    int mergeIntoPack(const std::string& key, const std::string& folder, const NameList& removeNames,
                      const NameList& addNames, const std::string& stagingFolder, const NameList& sourceArchives = {});
    NameList looseFilesKept(const std::string& key, const NameList& removeNames) const;

    const PatchContext& context_;
    const std::vector<PatchListEntry>& entries_;
    UpdatePlan plan_;
    std::string refusedName_;
    // Each listed archive's entries' uncompressed sizes, by name, from planning.
    std::map<std::string, std::map<std::string, std::uint64_t>> entrySizes_;
    bool looseChanged_ = false;  // a loose file of the game was written or deleted
};

}  // namespace nimbrel
