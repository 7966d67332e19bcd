#include "engine/UpdateApplier.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <set>

#include "engine/LooseFiles.h"
#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/UpdatePlanner.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/TextCodec.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string UpdateApplier::stagingFolder() const { return context_.layout.stagingFolder(); }

void UpdateApplier::setLabel(int controlId, const std::string& text) {
    if (context_.dialog) context_.dialog->setLabelText(controlId, text);
}

void UpdateApplier::showCounter(int& counter, int total) {
    setLabel(IDC_COUNTER_LABEL, std::to_string(counter) + "/" + std::to_string(total));
    ++counter;
}

bool UpdateApplier::isPackedFolder(const std::string& key) const { return GameLayout::isPackedFolder(key); }

bool UpdateApplier::takeName(const std::string& name, NameList& list, bool remove) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (!TextCodec::equalsIgnoreCase(name, *it)) continue;
        if (remove) list.erase(it);
        return true;
    }
    return false;
}

std::string UpdateApplier::folderPathForKey(const std::string& key) const { return context_.layout.folderForKey(key); }

UpdatePlanner UpdateApplier::planner() {
    const std::string base = context_.layout.baseFolder();
    return UpdatePlanner(context_.layout, plan_, [base](const std::string& relativePath) {
        return FileSystem::passesThroughLink(base, relativePath);
    });
}

// ---------------------------------------------------------------------------------------------
// The plan

bool UpdateApplier::buildUpdatePlan() {
    refusedName_.clear();
    entrySizes_.clear();
    // Everything the plan depends on is read first; the planner itself touches no disk.
    const std::string updateFolder = context_.layout.updateFolder();
    std::map<std::string, NameList> archiveNames;
    std::map<std::string, std::vector<std::string>> deletionLines;
    const auto& entries = entries_;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const std::string path = updateFolder + it->fileName;
        if (it->kind == PatchListEntry::kPatchArchive) {
            NameList names;
            std::vector<std::uint64_t> sizes;
            // A map archive that held only minimap files leaves a map part without entries.
            if (!context_.packArchive->listEntries(path, names, &sizes) && !isArchiveWithoutEntries(path)) return false;
            // Kept for sorting a packed folder's entries by the pack size rule later.
            auto& sizeOf = entrySizes_[it->fileName];
            for (std::size_t i = 0; i < names.size() && i < sizes.size(); ++i) sizeOf[names[i]] = sizes[i];
            archiveNames[it->fileName] = std::move(names);
        } else if (it->kind == PatchListEntry::kDeletionList) {
            if (auto lines = readDeletionLines(path)) deletionLines[it->fileName] = std::move(*lines);
        }
    }
    const std::string base = context_.layout.baseFolder();
    PlanOutcome outcome = UpdatePlanner::plan(
        context_.layout, entries, archiveNames, deletionLines,
        [&base](const std::string& relativePath) { return FileSystem::passesThroughLink(base, relativePath); });
    refusedName_ = outcome.refusedName;
    if (!refusedName_.empty()) return false;
    plan_ = std::move(outcome.plan);
    return true;
}

std::optional<std::vector<std::string>> UpdateApplier::readDeletionLines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open() || FileSystem::isDirectory(path)) return std::nullopt;
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(std::move(line));
    return lines;
}

void UpdateApplier::addExtraction(const std::string& key, int version, const std::string& archiveName,
                                  const std::string& targetFolder, const NameList& listedNames) {
    UpdatePlanner planning = planner();
    planning.addExtraction(key, version, archiveName, targetFolder, listedNames);
    if (refusedName_.empty()) refusedName_ = planning.refusedName();
}

bool UpdateApplier::readDeletionList(const std::string& path, int version) {
    auto lines = readDeletionLines(path);
    if (!lines) return false;
    UpdatePlanner planning = planner();
    const bool planned = planning.addDeletionLines(*lines, version);
    if (refusedName_.empty()) refusedName_ = planning.refusedName();
    return planned;
}

void UpdateApplier::addDeletion(const std::string& key, const std::string& name, int version) {
    planner().addDeletion(key, name, version);
}

// ---------------------------------------------------------------------------------------------
// Applying

int UpdateApplier::extractArchive(const std::string& folder, const std::string& archivePath, const NameList& names) {
    // A key new to this installation may name a folder several levels deep.
    const std::string& base = context_.layout.baseFolder();
    if (folder.starts_with(base))
        FileSystem::createDirectories(folder);
    else
        FileSystem::createDirectory(folder);
    looseChanged_ = true;
    // Entry names may carry subfolders ("textures/a.dds"); their folders must exist first.
    for (const auto& name : names)
        if (std::size_t slash = name.rfind('/'); slash != std::string::npos)
            FileSystem::createDirectories(folder + name.substr(0, slash));
    return context_.packArchive->extractEntries(folder, archivePath, names, true) ? 0 : kExtractionFailed;
}

int UpdateApplier::applyUpdates() {
    if (context_.stopRequested) return PatchResult::kStopped;
    // Each pack's flush overlaps the work on the next one; all of them are on the disk before
    // anything goes on, whatever the outcome.
    context_.packArchive->deferUpdateFlushes();
    int result = applyPlan();
    if (!context_.packArchive->finishDeferredUpdates() && result == 1) result = PatchResult::kPackRebuildFailed;
    // Extracted files are named and loose files deleted without a flush each; the new version is
    // written only after all of them are on the disk, so a power cut can never leave it ahead of
    // the files it promises. Packs reach the disk by their own flushes: a patch that changed
    // nothing loose needs no flush of the whole file system.
    if (result == 1 && looseChanged_ && !FileSystem::syncFileSystem(context_.layout.baseFolder()))
        result = kExtractionFailed;
    return result;
}

int UpdateApplier::applyPlan() {
    UpdatePlan& plan = plan_;
    // An archive that cannot be read, or a name that leads outside the game folder, must not
    // let the run report the version as installed: the client would never be offered the
    // missing files again. Nothing is touched yet.
    if (!buildUpdatePlan()) {
        if (!refusedName_.empty() && context_.dialog)
            context_.dialog->messageBox(kUnsafeNameText + refusedName_, kCaption);
        return refusedName_.empty() ? kArchiveUnreadable : kUnsafeName;
    }

    // A run killed while extracting left its temporaries in the folders that this one, applying
    // the same patch again, extracts into. None of this run's are there yet, and the instance
    // lock keeps every other patcher out.
    std::set<std::string> targetFolders;
    for (const auto& [key, group] : plan.extractions)
        for (const ExtractionEntry& extraction : group) {
            targetFolders.insert(extraction.targetFolder);
            for (const auto& name : extraction.names)
                if (std::size_t slash = name.rfind('/'); slash != std::string::npos)
                    targetFolders.insert(extraction.targetFolder + name.substr(0, slash + 1));
        }
    for (const auto& folder : targetFolders) AtomicFile::removeLeftovers(folder);

    int total = static_cast<int>(plan.deletions.size());
    for (const auto& [key, group] : plan.extractions) total += static_cast<int>(group.size());
    int counter = 1;
    const std::string updateFolder = context_.layout.updateFolder();
    const std::string staging = stagingFolder();

    // Every packed folder's share first: which files stay loose, which entries move into its pack.
    std::map<std::string, PackedGroup> packedGroups;
    for (const auto& [key, group] : plan.extractions)
        if (isPackedFolder(key)) packedGroups.emplace(key, sortPackedGroup(key, group));
    // The journals of the packs about to be updated in place go to the disk together, instead
    // of one flush before each pack, and their entries are checked and encrypted ahead.
    std::vector<std::string> packs;
    std::vector<PackArchive::MoveList> moves;
    for (const auto& [key, sorted] : packedGroups) {
        const std::string pack = plan.extractions.at(key).front().targetFolder + key + GameLayout::kPackSuffix;
        if (!FileSystem::fileExists(pack) || isArchiveWithoutEntries(pack)) continue;
        packs.push_back(pack);
        if (!sorted.staged.empty()) moves.push_back({sorted.staged, sorted.sources});
    }
    context_.packArchive->prefetchMoves(moves);
    context_.packArchive->prepareUpdates(packs);

    for (const auto& [key, group] : plan.extractions) {
        setLabel(IDC_STATUS_LABEL, context_.waitingText);
        const bool packed = isPackedFolder(key);
        if (packed) {
            // Leftovers of a run that was cut short must not slip into this pack.
            FileSystem::createDirectory(updateFolder);
            FileSystem::createDirectory(staging);
            LooseFiles::deleteAllExcept(staging, {});
        }
        for (std::size_t i = 0; i < group.size(); ++i) {
            const ExtractionEntry& extraction = group[i];
            showCounter(counter, total);
            const std::string archivePath = updateFolder + extraction.archiveName;
            setLabel(IDC_ITEM_LABEL, extraction.archiveName);
            int result = 0;
            if (!packed) {
                result = extractArchive(extraction.targetFolder, archivePath, extraction.names);
            } else if (const NameList& keptLoose = packedGroups.at(key).keptLoose[i]; !keptLoose.empty()) {
                result = extractArchive(extraction.targetFolder, archivePath, keptLoose);
            }
            // A file that could not be written would be missing for good once the version is
            // written; the run stops here and the next one applies the patch again.
            if (result != 0) return kExtractionFailed;
        }
        if (!packed) {
            if (context_.dialog) context_.dialog->postProgress(100);
            continue;
        }
        const PackedGroup& sorted = packedGroups.at(key);
        const NameList& staged = sorted.staged;
        const auto& loose = sorted.loose;
        if (!staged.empty() || !loose.empty()) {
            setLabel(IDC_STATUS_LABEL, context_.collectingText);
            NameList mergeDeletions;
            for (const auto& [archive, name] : loose) mergeDeletions.push_back(name);
            auto deletions = plan.deletions.find(key);
            if (deletions != plan.deletions.end()) {
                showCounter(counter, total);
                mergeDeletions.insert(mergeDeletions.end(), deletions->second.begin(), deletions->second.end());
                plan.deletions.erase(deletions);
            }
            const std::string& folder = group.front().targetFolder;
            const int merged = mergeIntoPack(key, folder, mergeDeletions, staged, staging, sorted.sources);
            // Closing the launcher stops a long pack update between entries; the pack is as it was.
            if (merged == toCode(PackBuildResult::Stopped)) return PatchResult::kStopped;
            if (merged != 1) return PatchResult::kPackRebuildFailed;
            // Placed only now: building a missing pack first clears the loose copies of the
            // names it replaces or deletes.
            for (const auto& [archive, name] : loose)
                if (extractArchive(folder, archive, {name}) != 0) return kExtractionFailed;
        } else {
            if (context_.dialog) context_.dialog->postProgress(100);
        }
    }

    // The extractions' packs are on the disk before the deletions start: a deletion that fails
    // is tolerated, a lost update is not.
    if (!context_.packArchive->finishDeferredUpdates()) return PatchResult::kPackRebuildFailed;

    setLabel(IDC_STATUS_LABEL, context_.deletingText);
    for (const auto& [key, names] : plan.deletions) {
        showCounter(counter, total);
        const std::string folder = folderPathForKey(key);
        setLabel(IDC_ITEM_LABEL, key);
        if (isPackedFolder(key)) {
            // A deletion that could not reach the pack leaves a surplus file behind, which the
            // game tolerates; the patch itself is complete.
            (void)mergeIntoPack(key, folder, names, {}, staging);
        } else {
            looseChanged_ = true;
            LooseFiles::deleteListed(folder, names);
        }
    }
    return 1;
}

UpdateApplier::PackedGroup UpdateApplier::sortPackedGroup(const std::string& key,
                                                          const std::vector<ExtractionEntry>& group) {
    PackedGroup sorted;
    const std::string updateFolder = context_.layout.updateFolder();
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
        const auto& sizes = entrySizes_[extraction.archiveName];
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

NameList UpdateApplier::looseFilesKept(const std::string& key, const NameList& removeNames) const {
    NameList keep{key + GameLayout::kPackSuffix};
    for (const auto& name : GameLayout::filesKeptLoose(key))
        if (!PackArchive::isNameInList(name, removeNames)) keep.push_back(name);
    return keep;
}

int UpdateApplier::mergeIntoPack(const std::string& key, const std::string& folder, const NameList& removeNames,
                                 const NameList& addNames, const std::string& stagingFolder,
                                 const NameList& sourceArchives) {
    const std::string packPath = folder + key + GameLayout::kPackSuffix;
    bool packExists = FileSystem::fileExists(packPath);
    if (packExists && dropEmptyPack(packPath)) packExists = false;
    if (packExists)
        return toCode(
            context_.packArchive->updatePack(folder, stagingFolder, removeNames, addNames, true, sourceArchives));

    looseChanged_ = true;
    // The pack is built from the loose files. Loose copies that the patch replaces or deletes
    // go first: if the run is cut short after the pack appears, no stale loose copy is left
    // beside it (the patch's own copies stay reproducible from the update folder until the
    // version is written).
    const NameList keep = looseFilesKept(key, removeNames);
    NameList superseded;
    for (const NameList* list : {&addNames, &removeNames})
        for (const auto& name : *list)
            if (!PackArchive::isNameInList(name, keep) && FileSystem::isSafeRelativeName(name, true))
                superseded.push_back(name);
    LooseFiles::deleteListed(folder, superseded);

    // The kept loose files stay out of the new pack, as the packing pass leaves them out: the
    // folder must not depend on which of the two happened to build the pack first.
    NameList notPacked = removeNames;
    notPacked.insert(notPacked.end(), keep.begin(), keep.end());
    int result =
        toCode(context_.packArchive->updatePack(folder, stagingFolder, notPacked, addNames, false, sourceArchives));
    if (result == 1) LooseFiles::removePacked(*context_.packArchive, folder, keep, removeNames);
    return result;
}

bool UpdateApplier::dropEmptyPack(const std::string& packPath) {
    return isArchiveWithoutEntries(packPath) && FileSystem::deleteFileForce(packPath);
}

bool UpdateApplier::isArchiveWithoutEntries(const std::string& path) {
    // A zip without entries is its end record alone (22 bytes and the comment). Zip readers
    // refuse to open one, so it is recognised by its bytes rather than through PackReader.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    unsigned char record[22];
    if (std::fread(record, 1, sizeof record, file.get()) != sizeof record) return false;
    auto u16 = [&](int at) { return record[at] | (record[at + 1] << 8); };
    const bool endRecordFirst = record[0] == 'P' && record[1] == 'K' && record[2] == 5 && record[3] == 6;
    if (!endRecordFirst || u16(8) != 0 || u16(10) != 0) return false;
    std::fseek(file.get(), 0, SEEK_END);
    return std::ftell(file.get()) == 22 + u16(20);
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
