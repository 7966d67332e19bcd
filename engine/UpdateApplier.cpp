#include "engine/UpdateApplier.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "engine/FileDownloader.h"
#include "engine/LooseFiles.h"
#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/UpdatePlanner.h"
#include "pack/ArchiveCheck.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/TextCodec.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

// A write the disk refused (full, read only, another owner's folder) is named in a box, as a
// failed download names it; the result's own text stays for an archive or pack that is broken.
int UpdateApplier::withDiskCause(const PatchContext& context, int result) {
    const DiskWriteFailure& failure = context.packArchive->diskWriteFailure();
    if (failure.error == 0 || !context.dialog) return result;
    const char* what = result == PatchResult::kPackRebuildFailed ? "Make PAK Failed" : "Cannot write the patched files";
    context.dialog->messageBox(
        std::string(what) + " (" + FileDownloader::writeFailureText(failure.error, failure.folder) + ")", kCaption);
    return result;
}

void UpdateApplier::setLabel(int controlId, const std::string& text) {
    if (context_.dialog) context_.dialog->setLabelText(controlId, text);
}

void UpdateApplier::showCounter() {
    setLabel(IDC_COUNTER_LABEL, std::to_string(counter_) + "/" + std::to_string(total_));
    ++counter_;
}

std::string UpdateApplier::folderPathForKey(const std::string& key) const {
    const std::string& base = context_.layout.baseFolder();
    return base + FileSystem::resolveCase(base, context_.layout.folderForKey(key).substr(base.size()));
}

UpdatePlanner::NameResolver UpdateApplier::nameResolver() const {
    // Planning writes nothing, so each folder is listed once for the whole plan.
    auto listings = std::make_shared<FileSystem::FolderListings>();
    return [base = context_.layout.baseFolder(), listings](const std::string& relativePath) {
        return FileSystem::resolveCase(base, relativePath, listings.get());
    };
}

// ---------------------------------------------------------------------------------------------
// The plan

bool UpdateApplier::buildUpdatePlan() {
    refusedName_.clear();
    refusal_.clear();
    entrySizes_.clear();
    // Everything the plan depends on is read first; the planner itself touches no disk.
    std::map<std::string, NameList> archiveNames;
    std::map<std::string, std::vector<std::string>> deletionLines;
    if (!readPatchMaterial(archiveNames, deletionLines)) return false;
    PlanOutcome outcome = UpdatePlanner::plan(context_.layout, entries_, archiveNames, deletionLines, nameResolver());
    refusedName_ = outcome.refusedName;
    refusal_ = outcome.refusal;
    if (!refusedName_.empty()) return false;
    plan_ = std::move(outcome.plan);
    return true;
}

bool UpdateApplier::readPatchMaterial(std::map<std::string, NameList>& archiveNames,
                                      std::map<std::string, std::vector<std::string>>& deletionLines) {
    const std::string updateFolder = context_.layout.updateFolder();
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        const std::string path = readPath(updateFolder + it->fileName);
        if (it->kind == PatchListEntry::kDeletionList) {
            if (auto lines = readDeletionLines(path)) deletionLines[it->fileName] = std::move(*lines);
            continue;
        }
        if (it->kind != PatchListEntry::kPatchArchive) continue;
        // Every entry is checked before the first file is written: an archive we cannot read
        // to its end would leave the folder half patched.
        ArchiveCheck::Inspection archive;  // damaged unless inspected
        if (std::find(damaged_.begin(), damaged_.end(), it->fileName) == damaged_.end())
            archive = ArchiveCheck::inspect(path);
        if (archive.verdict != ArchiveCheck::Verdict::Usable) {
            refusedName_ = it->fileName;
            refusal_ = std::string("The patch was refused: ") +
                       (archive.verdict == ArchiveCheck::Verdict::Unsupported
                            ? "unsupported patch archive " + it->fileName + " (" + archive.unsupported + ")"
                            : "damaged patch archive " + it->fileName);
            return false;
        }
        // The sizes sort a packed folder's entries by the pack size rule later.
        NameList& names = archiveNames[it->fileName];
        auto& sizeOf = entrySizes_[it->fileName];
        for (const auto& entry : archive.entries) {
            names.push_back(entry.name);
            sizeOf[entry.name] = entry.size;
        }
    }
    return true;
}

std::optional<std::vector<std::string>> UpdateApplier::readDeletionLines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open() || FileSystem::isDirectory(path)) return std::nullopt;
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(std::move(line));
    return lines;
}

// ---------------------------------------------------------------------------------------------
// Applying

bool UpdateApplier::extractArchive(const std::string& folder, const std::string& archivePath, const NameList& names) {
    // A key new to this installation may name a folder several levels deep.
    const std::string& base = context_.layout.baseFolder();
    if (folder.starts_with(base))
        FileSystem::createDirectories(folder);
    else
        FileSystem::createDirectory(folder);
    looseChanged_ = true;
    return context_.packArchive->extractEntries(folder, archivePath, names, true);
}

int UpdateApplier::applyUpdates() {
    if (context_.stopRequested) return PatchResult::kStopped;
    // Each pack's flush overlaps the work on the next one; all of them are on the disk before
    // anything goes on, whatever the outcome.
    context_.packArchive->deferUpdateFlushes();
    int result = applyPlan();
    if (!context_.packArchive->finishDeferredUpdates() && result == kApplied)
        result = withDiskCause(context_, PatchResult::kPackRebuildFailed);
    // Extracted files are named and loose files deleted without a flush each; the new version is
    // written only after all of them are on the disk, so a power cut can never leave it ahead of
    // the files it promises. Packs reach the disk by their own flushes: a patch that changed
    // nothing loose needs no flush of the whole file system.
    if (result == kApplied && looseChanged_ && !FileSystem::syncFileSystem(context_.layout.baseFolder()))
        result = kExtractionFailed;
    return result;
}

int UpdateApplier::applyPlan() {
    // An archive that cannot be read, or a name that leads outside the game folder, must not
    // let the run report the version as installed: the client would never be offered the
    // missing files again. Nothing is touched yet.
    if (!buildUpdatePlan()) return refusePlan();
    removeLeftoverTemporaries();
    total_ = static_cast<int>(plan_.deletions.size());
    for (const auto& [key, group] : plan_.extractions) total_ += static_cast<int>(group.size());
    counter_ = 1;
    const std::map<std::string, PackedGroup> packedGroups = preparePackedGroups();
    clearTheWay();
    for (const auto& [key, group] : plan_.extractions) {
        setLabel(IDC_STATUS_LABEL, context_.waitingText);
        const int result = GameLayout::isPackedFolder(key) ? extractPackedGroup(key, group, packedGroups.at(key))
                                                           : extractLooseGroup(group);
        if (result != kApplied) return result;
    }
    // The extractions' packs are on the disk before the deletions start.
    if (!context_.packArchive->finishDeferredUpdates()) return withDiskCause(context_, PatchResult::kPackRebuildFailed);
    return applyDeletions();
}

int UpdateApplier::refusePlan() {
    if (!refusedName_.empty() && context_.dialog)
        context_.dialog->messageBox(refusal_.empty() ? kUnsafeNameText + refusedName_ : refusal_, kCaption);
    return refusedName_.empty() ? kArchiveUnreadable : kUnsafeName;
}

void UpdateApplier::removeLeftoverTemporaries() {
    // A run killed while extracting left its temporaries in the folders that this one, applying
    // the same patch again, extracts into; one killed while deleting from a pack left its
    // journal's temporary beside that pack. None of this run's are there yet, and the instance
    // lock keeps every other patcher out.
    std::set<std::string> targetFolders;
    for (const auto& [key, names] : plan_.deletions)
        if (GameLayout::isPackedFolder(key)) targetFolders.insert(folderPathForKey(key));
    FileSystem::FolderListings listings;
    for (const auto& [key, group] : plan_.extractions)
        for (const ExtractionEntry& extraction : group) {
            targetFolders.insert(extraction.targetFolder);
            for (const auto& name : extraction.names)
                if (std::size_t slash = name.rfind('/'); slash != std::string::npos)
                    targetFolders.insert(extraction.targetFolder + FileSystem::resolveCase(extraction.targetFolder,
                                                                                           name.substr(0, slash + 1),
                                                                                           &listings));
        }
    for (const auto& folder : targetFolders) AtomicFile::removeLeftovers(folder);
}

std::map<std::string, PackedGroup> UpdateApplier::preparePackedGroups() {
    // Every packed folder's share first: which files stay loose, which entries move into its pack.
    std::map<std::string, PackedGroup> packedGroups;
    for (const auto& [key, group] : plan_.extractions)
        if (GameLayout::isPackedFolder(key)) {
            PackedGroup sorted = PackedGroup::sort(key, group, context_.layout.updateFolder(), entrySizes_);
            for (std::string& source : sorted.sources) source = readPath(source);
            for (auto& [archive, name] : sorted.loose) archive = readPath(archive);
            packedGroups.emplace(key, std::move(sorted));
        }
    // The journals of the packs about to be updated in place go to the disk together, instead
    // of one flush before each pack, and their entries are checked and encrypted ahead.
    std::vector<std::string> packs;
    std::vector<PackArchive::MoveList> moves;
    for (const auto& [key, sorted] : packedGroups) {
        const std::string pack = PackArchive::packPath(plan_.extractions.at(key).front().targetFolder);
        if (!FileSystem::fileExists(pack) || ArchiveCheck::isArchiveWithoutEntries(pack)) continue;
        packs.push_back(pack);
        if (!sorted.staged.empty()) moves.push_back({sorted.staged, sorted.sources});
    }
    context_.packArchive->prefetchMoves(moves);
    context_.packArchive->prepareUpdates(packs);
    return packedGroups;
}

void UpdateApplier::clearTheWay() {
    for (const auto& [key, names] : plan_.clearances) {
        looseChanged_ = true;
        LooseFiles::deleteListed(folderPathForKey(key), names);
    }
    // A folder left empty where a file now goes (its files were deleted just now) makes way too;
    // one that still holds files stays, and its extraction fails.
    FileSystem::FolderListings listings;
    for (const auto& [key, group] : plan_.extractions) {
        if (GameLayout::isPackedFolder(key)) continue;
        for (const ExtractionEntry& extraction : group)
            for (const auto& name : extraction.names) {
                if (name.ends_with('/')) continue;
                const std::string path =
                    extraction.targetFolder + FileSystem::resolveCase(extraction.targetFolder, name, &listings);
                if (FileSystem::isDirectory(path)) std::remove(path.c_str());
            }
    }
}

int UpdateApplier::extractLooseGroup(const std::vector<ExtractionEntry>& group) {
    const std::string updateFolder = context_.layout.updateFolder();
    for (const ExtractionEntry& extraction : group) {
        showCounter();
        setLabel(IDC_ITEM_LABEL, extraction.archiveName);
        // A file that could not be written would be missing for good once the version is
        // written; the run stops here and the next one applies the patch again.
        if (!extractArchive(extraction.targetFolder, readPath(updateFolder + extraction.archiveName), extraction.names))
            return withDiskCause(context_, kExtractionFailed);
    }
    if (context_.dialog) context_.dialog->postProgress(100);
    return kApplied;
}

int UpdateApplier::extractPackedGroup(const std::string& key, const std::vector<ExtractionEntry>& group,
                                      const PackedGroup& sorted) {
    const std::string updateFolder = context_.layout.updateFolder();
    const std::string staging = context_.layout.stagingFolder();
    // Leftovers of a run that was cut short must not slip into this pack.
    FileSystem::createDirectory(updateFolder);
    FileSystem::createDirectory(staging);
    LooseFiles::deleteAllExcept(staging, {});
    for (std::size_t i = 0; i < group.size(); ++i) {
        showCounter();
        setLabel(IDC_ITEM_LABEL, group[i].archiveName);
        const NameList& keptLoose = sorted.keptLoose[i];
        if (!keptLoose.empty() &&
            !extractArchive(group[i].targetFolder, readPath(updateFolder + group[i].archiveName), keptLoose))
            return withDiskCause(context_, kExtractionFailed);
    }
    if (sorted.staged.empty() && sorted.loose.empty()) {
        if (context_.dialog) context_.dialog->postProgress(100);
        return kApplied;
    }
    setLabel(IDC_STATUS_LABEL, context_.collectingText);
    NameList mergeDeletions;
    for (const auto& [archive, name] : sorted.loose) mergeDeletions.push_back(name);
    if (auto deletions = plan_.deletions.find(key); deletions != plan_.deletions.end()) {
        showCounter();
        mergeDeletions.insert(mergeDeletions.end(), deletions->second.begin(), deletions->second.end());
        plan_.deletions.erase(deletions);
    }
    const std::string& folder = group.front().targetFolder;
    const PackBuildResult merged = mergeIntoPack(key, folder, mergeDeletions, sorted.staged, staging, sorted.sources);
    // Closing the launcher stops a long pack update between entries; the pack is as it was.
    if (merged == PackBuildResult::Stopped) return PatchResult::kStopped;
    if (merged != PackBuildResult::Done) return withDiskCause(context_, PatchResult::kPackRebuildFailed);
    // Placed only now: building a missing pack first clears the loose copies of the names it
    // replaces or deletes.
    for (const auto& [archive, name] : sorted.loose)
        if (!extractArchive(folder, archive, {name})) return withDiskCause(context_, kExtractionFailed);
    return kApplied;
}

int UpdateApplier::applyDeletions() {
    setLabel(IDC_STATUS_LABEL, context_.deletingText);
    std::set<std::string> emptied;
    for (const auto& [key, names] : plan_.deletions) {
        showCounter();
        const std::string folder = folderPathForKey(key);
        setLabel(IDC_ITEM_LABEL, key);
        looseChanged_ = true;
        // A deletion never makes a pack: a folder without one only loses its loose files.
        if (!GameLayout::isPackedFolder(key) || !FileSystem::fileExists(PackArchive::packPath(folder))) {
            LooseFiles::deleteListed(folder, names);
            emptied.insert(folder);
            // A line may name a folder the build no longer has: it goes once it is empty.
            for (const auto& name : names)
                if (struct stat st {}; ::lstat((folder + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                    emptied.insert(folder + name + "/");
            continue;
        }
        // An entry the pack still holds is one the game goes on reading, and once the version is
        // written no run deletes it again: the run stops, and the next applies the patch anew.
        const PackBuildResult merged = mergeIntoPack(key, folder, names, {}, context_.layout.stagingFolder());
        if (merged == PackBuildResult::Stopped) return PatchResult::kStopped;
        if (merged != PackBuildResult::Done) return withDiskCause(context_, PatchResult::kPackRebuildFailed);
    }
    removeEmptiedFolders(std::move(emptied));
    return kApplied;
}

void UpdateApplier::removeEmptiedFolders(std::set<std::string> folders) {
    // A build that dropped a folder lists its files for deletion, not the folder. The folders
    // this patch writes into, or makes as empty ones, stay.
    const std::string& base = context_.layout.baseFolder();
    std::set<std::string> kept{base};
    for (const auto& [key, group] : plan_.extractions)
        for (const ExtractionEntry& extraction : group) {
            kept.insert(extraction.targetFolder);
            for (const auto& name : extraction.names)
                if (name.ends_with('/'))
                    kept.insert(extraction.targetFolder + FileSystem::resolveCase(extraction.targetFolder, name));
        }
    // The deepest first (a subfolder sorts after its folder): a folder emptied by the removal of
    // its last subfolder goes too. One that still holds anything, or a player's link, stays.
    while (!folders.empty()) {
        const std::string folder = *folders.rbegin();
        folders.erase(std::prev(folders.end()));
        const std::string path = folder.substr(0, folder.size() - 1);
        struct stat st {};
        if (kept.contains(folder) || !folder.starts_with(base) || ::lstat(path.c_str(), &st) != 0 ||
            !S_ISDIR(st.st_mode) || ::rmdir(path.c_str()) != 0)
            continue;
        if (std::string parent = FileSystem::folderOf(path); parent.size() > base.size()) folders.insert(parent);
    }
}

NameList UpdateApplier::looseFilesKept(const std::string& key, const NameList& removeNames) const {
    NameList keep{key + GameLayout::kPackSuffix};
    for (const auto& name : GameLayout::filesKeptLoose(key))
        if (!PackArchive::isNameInList(name, removeNames)) keep.push_back(name);
    return keep;
}

PackBuildResult UpdateApplier::mergeIntoPack(const std::string& key, const std::string& folder,
                                             const NameList& removeNames, const NameList& addNames,
                                             const std::string& stagingFolder, const NameList& sourceArchives) {
    const std::string packPath = PackArchive::packPath(folder);
    bool packExists = FileSystem::fileExists(packPath);
    if (packExists && dropEmptyPack(packPath)) packExists = false;
    if (packExists)
        return context_.packArchive->updatePack(folder, stagingFolder, removeNames, addNames, true, sourceArchives);

    looseChanged_ = true;
    // The pack is built from the loose files. Loose copies that the patch replaces or deletes
    // go first: if the run is cut short after the pack appears, no stale loose copy is left
    // beside it (the patch's own copies stay reproducible from the update folder until the
    // version is written). They step aside under temporary names, which the next run clears,
    // so that a build the disk refuses puts them back.
    const NameList keep = looseFilesKept(key, removeNames);
    NameList superseded;
    for (const NameList* list : {&addNames, &removeNames})
        for (const auto& name : *list)
            if (!PackArchive::isNameInList(name, keep) && FileSystem::isSafeRelativeName(name, true))
                superseded.push_back(name);
    std::vector<std::pair<std::string, std::string>> aside;  // (name's path, its temporary)
    NameList unmoved;
    for (const auto& name : superseded) {
        const std::string path = folder + name;
        const std::string temporary = folder + ".nimbrel-aside" + std::to_string(aside.size()) + ".tmp";
        if (::rename(path.c_str(), temporary.c_str()) == 0)
            aside.emplace_back(path, temporary);
        else
            unmoved.push_back(name);
    }
    LooseFiles::deleteListed(folder, unmoved);

    // The kept loose files stay out of the new pack, as the packing pass leaves them out: the
    // folder must not depend on which of the two happened to build the pack first.
    NameList notPacked = removeNames;
    notPacked.insert(notPacked.end(), keep.begin(), keep.end());
    const PackBuildResult result =
        context_.packArchive->updatePack(folder, stagingFolder, notPacked, addNames, false, sourceArchives);
    for (const auto& [path, temporary] : aside)
        if (result == PackBuildResult::Done || ::rename(temporary.c_str(), path.c_str()) != 0)
            std::remove(temporary.c_str());
    if (result == PackBuildResult::Done) LooseFiles::removePacked(*context_.packArchive, folder, keep, removeNames);
    return result;
}

bool UpdateApplier::dropEmptyPack(const std::string& packPath) {
    return ArchiveCheck::isArchiveWithoutEntries(packPath) && FileSystem::deleteFileForce(packPath);
}

void UpdateApplier::removeDownloadedFiles(const GameLayout& layout) {
    LooseFiles::deleteAllExcept(layout.updateFolder(), {});
    const std::string staging = layout.stagingFolder();
    if (FileSystem::isDirectory(staging)) {
        LooseFiles::deleteAllExcept(staging, {});
        std::remove(staging.c_str());  // only succeeds once empty, which is all we want
    }
}

}  // namespace nimbrel
