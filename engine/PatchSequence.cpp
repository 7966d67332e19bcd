#include "engine/PatchSequence.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "engine/ClientVersionFile.h"
#include "engine/DiskSpacePlan.h"
#include "engine/FileDownloader.h"
#include "engine/LooseFiles.h"
#include "engine/ManualPatchCheck.h"
#include "engine/MapArchiveSplitter.h"
#include "engine/PackingPasses.h"
#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "engine/PatchListVerifier.h"
#include "engine/PatchResult.h"
#include "engine/UpdateApplier.h"
#include "platform/DownloadCache.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

PatchSequence::PatchSequence(PatchEngine& engine, StartupFlags& flags) : context_(engine.context()), flags_(flags) {
    // Cleared here rather than when the run begins: a window closed between posting the start
    // and the worker picking it up must still stop the run, or its owner would wait for a
    // whole patch while joining the worker.
    engine.stopFlag() = 0;
}

void PatchSequence::run() {
    result_ = PatchResult::kOk;
    stage_ = PatchStage::kClientVersion;
    try {
        runStages();
    } catch (...) {
        // A step that throws (out of memory, a file-system error) must not leave the window
        // waiting for a result forever: the run fails at the stage it reached.
        if (result_ >= PatchResult::kOk) result_ = PatchResult::kFileUnreadable;
    }
    finish();
}

void PatchSequence::runStages() {
    const GameLayout& layout = context_.layout;
    const std::string updateFolder = layout.updateFolder();

    result_ = ClientVersionFile(context_).read();
    if (result_ < PatchResult::kOk) return;
    currentVersion_ = result_;

    stage_ = PatchStage::kPatchListFile;
    std::string failureReason;
    // Made only now that the folder has shown itself to be an installation (see finish).
    const bool haveUpdateFolder = FileSystem::createDirectory(updateFolder);
    if (flags_.connectToServer && !haveUpdateFolder) {
        // A read-only or full game disk: the server is not to blame.
        failureReason = FileDownloader::writeFailureText(errno, updateFolder);
        result_ = PatchResult::kFileUnreadable;
    } else if (flags_.connectToServer) {
        LooseFiles::deleteAllExcept(updateFolder, {});
        FileDownloader downloader(context_);
        result_ = downloader.downloadFile(GameLayout::kPatchListFileName, false);
        failureReason = downloader.failureReason();
        if (result_ >= PatchResult::kOk) PatchListVerifier(context_).fetchSignature();
    } else if (FileSystem::fileExists(layout.manualPatchPath()) || FileSystem::fileExists(layout.patchListPath())) {
        result_ = PatchResult::kOk;
    } else {
        result_ = PatchResult::kPatchFileMissing;
    }
    if (result_ < PatchResult::kOk) {
        // Worded as every other failed download, "<name> file download failed (<reason>)"; the
        // list's own sentence, with its full stop, where there is no reason to add.
        const std::string text = failureReason.empty() ? "version.ini file download failed."
                                                       : "version.ini file download failed (" + failureReason + ")";
        if (context_.dialog) context_.dialog->messageBox(text, kCaption);
        if (!flags_.connectToServer) deleteManualPatchFile();
        return;
    }

    stage_ = PatchStage::kManualPatchStart;
    // With a release key, an unsigned or altered list is refused before a line of it is parsed.
    // The verifier keeps the signed manifest for the files fetched later.
    PatchListVerifier verifier(context_);
    if ((result_ = verifier.verifyList(flags_.manualPatch, flags_.connectToServer)) < PatchResult::kOk) return;
    PatchListReader::Reading reading = PatchListReader(context_, currentVersion_).read(flags_.manualPatch);
    result_ = reading.result;
    patchList_ = std::move(reading.list);
    selfUpdateRequired_ = patchList_.selfUpdateRequired;
    if (flags_.manualPatch && result_ == PatchResult::kManualPatchAhead) {
        deleteManualPatchFile();
        return;
    }
    // An up-to-date client has no use for the manual patch any more.
    if (flags_.manualPatch && result_ == PatchResult::kAlreadyCurrent) deleteManualPatchFile();
    stage_ = PatchStage::kPatchList;
    if (result_ < PatchResult::kOk) return;

    FileDownloader downloader(context_);
    if (const PatchSignature* manifest = verifier.manifest()) downloader.expectSigned(*manifest);
    // A signed patch that cannot fit is refused before its first download.
    if (flags_.connectToServer && (result_ = checkDiskSpace(verifier.manifest())) < PatchResult::kOk) {
        stage_ = PatchStage::kPatchFiles;
        return;
    }
    result_ = flags_.connectToServer ? downloader.downloadPatchFiles(patchList_.entries)
                                     : ManualPatchCheck(context_).checkManualPatchFiles(patchList_.entries);
    stage_ = PatchStage::kPatchFiles;
    if (result_ < PatchResult::kOk) {
        if (!flags_.connectToServer) deleteManualPatchFile();
        return;
    }

    // A file that does not match the signed list is refused before anything opens it; a manual
    // patch stays in place so the right files can be put beside it.
    if ((result_ = verifier.verifyFiles(patchList_.entries)) < PatchResult::kOk) {
        forgetFetchedFiles();
        return;
    }
    MapArchiveSplitter splitter(context_);
    splitter.readThrough(verifier.verifiedFiles());
    const MapSplit split = splitter.split(patchList_.entries);
    UpdateApplier applier(context_, split.entries, split.unfinished);
    applier.readThrough(verifier.verifiedFiles());
    result_ = split.diskRefusal ? *split.diskRefusal : applier.applyUpdates();
    stage_ = PatchStage::kApply;
    if (result_ < PatchResult::kOk) {
        if (result_ != PatchResult::kStopped) forgetFetchedFiles();
        return;
    }
    result_ = ClientVersionFile(context_).write(patchList_.targetVersion);
    if (result_ < PatchResult::kOk) return;

    UpdateApplier::removeDownloadedFiles(layout);
    FileDownloader::pruneCache(std::max(currentVersion_, patchList_.targetVersion));
    deleteManualPatchFile();
}

int PatchSequence::checkDiskSpace(const PatchSignature* manifest) const {
    if (!manifest) return PatchResult::kOk;  // without signed lengths a full disk is met where it fills
    DiskSpacePlan plan(context_.layout, DownloadCache::defaultFolder());
    for (const PatchListEntry& entry : patchList_.entries) {
        const ManifestFile* line = manifest->find(entry.fileName);
        if (!line) continue;  // refused unsigned once fetched, before it takes any room
        plan.add(DiskSpacePlan::File{entry.folderKey, line->length, entry.kind == PatchListEntry::kDeletionList});
    }
    const std::optional<DiskSpacePlan::Shortage> shortage = plan.shortage();
    if (!shortage) return PatchResult::kOk;
    if (context_.dialog) context_.dialog->messageBox(DiskSpacePlan::text(*shortage), kCaption);
    return PatchResult::kNotEnoughSpace;
}

bool PatchSequence::mayRunPackingPasses() const {
    // An installation whose version file is damaged still gets its folders packed. A folder
    // whose version could not be read and that holds no game client is no installation at
    // all (a mistyped --game-dir, or "/"): packing would encrypt its data and delete the
    // originals.
    if (stage_ > 0 || result_ >= 0 || FileSystem::fileExists(context_.layout.gameClientPath())) return true;
    if (context_.dialog && !context_.stopRequested) context_.dialog->messageBox(kNotGameFolderText, kCaption);
    return false;
}

void PatchSequence::finish() {
    // The packing passes run after every outcome, and the window learns the result only after
    // them, so that Start stays disabled while packs are still being written.
    if (mayRunPackingPasses()) {
        try {
            PackingPasses(context_).packUnpackedFolders();
            if (flags_.syncRequested) PackingPasses(context_).syncPacks();
        } catch (...) {
            // Their results are not used either; the result message must still go out.
        }
    }
    if (context_.dialog) context_.dialog->postResult(result_, stage_);
}

void PatchSequence::forgetFetchedFiles() const {
    // Which archive failed is the applier's to tell; all of the run's are fetched again rather
    // than one bad copy kept for good.
    if (flags_.connectToServer) FileDownloader(context_).forgetCachedFiles(patchList_.entries);
}

void PatchSequence::deleteManualPatchFile() {
    if (!flags_.manualPatch || flags_.manualPatchPath.empty()) return;
    FileSystem::deleteFileForce(flags_.manualPatchPath);
    FileSystem::deleteFileForce(flags_.manualPatchPath + PatchSignature::kSuffix);  // no use without it
    flags_.manualPatch = 0;
}

}  // namespace nimbrel
