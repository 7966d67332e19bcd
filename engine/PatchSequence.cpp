#include "engine/PatchSequence.h"

#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

PatchSequence::PatchSequence(PatchEngine& engine, StartupFlags& flags) : engine_(engine), flags_(flags) {
    // Cleared here rather than when the run begins: a window closed between posting the start
    // and the worker picking it up must still stop the run, or its owner would wait for a
    // whole patch while joining the worker.
    engine_.stopRequested = 0;
}

void PatchSequence::run() {
    result_ = 0;
    stage_ = 0;
    try {
        runStages();
    } catch (...) {
        // A step that throws (out of memory, a file-system error) must not leave the window
        // waiting for a result forever: the run fails at the stage it reached.
        if (result_ >= 0) result_ = -1;
    }
    finish();
}

void PatchSequence::runStages() {
    const std::string updateFolder = engine_.updateFolder();

    result_ = engine_.readClientVersion();
    if (result_ < 0) return;

    stage_ = 1;
    if (flags_.connectToServer) {
        engine_.deleteFilesExcept(updateFolder, {});
        result_ = engine_.downloadFile("version.ini", false);
    } else if (engine_.fileExists(engine_.baseFolder + "ManualPatch.ini") ||
               engine_.fileExists(updateFolder + "version.ini")) {
        result_ = 0;
    } else {
        result_ = -4;
    }
    if (result_ < 0) {
        std::string text = "version.ini file download failed.";
        if (!engine_.downloadFailureReason.empty()) text += " (" + engine_.downloadFailureReason + ")";
        if (engine_.dialog) engine_.dialog->messageBox(text, "Nimbrel");
        if (!flags_.connectToServer) deleteManualPatchFile();
        return;
    }

    stage_ = 2;
    result_ = engine_.readPatchList(flags_.manualPatch);
    if (flags_.manualPatch && result_ == -12) {
        deleteManualPatchFile();
        return;
    }
    // An up-to-date client has no use for the manual patch any more.
    if (flags_.manualPatch && result_ == -6) deleteManualPatchFile();
    stage_ = 3;
    if (result_ < 0) return;

    result_ = flags_.connectToServer ? engine_.downloadPatchFiles() : engine_.checkManualPatchFiles();
    stage_ = 4;
    if (result_ < 0) {
        if (!flags_.connectToServer) deleteManualPatchFile();
        return;
    }

    engine_.splitMapArchives();
    result_ = engine_.applyUpdates();
    stage_ = 5;
    if (result_ < 0) return;
    result_ = engine_.writeClientVersion(engine_.targetVersion);
    if (result_ < 0) return;

    engine_.removeDownloadedFiles();
    engine_.pruneDownloadCache();
    deleteManualPatchFile();
}

void PatchSequence::finish() {
    // The packing passes run after every outcome, and the window learns the result only after
    // them, so that Start stays disabled while packs are still being written.
    try {
        engine_.packUnpackedFolders();
        if (flags_.syncRequested) engine_.syncPacks();
    } catch (...) {
        // Their results are not used either; the result message must still go out.
    }
    if (engine_.dialog) engine_.dialog->postMessage(WM_PATCH_RESULT, result_, stage_);
}

void PatchSequence::deleteManualPatchFile() {
    if (!flags_.manualPatch || flags_.manualPatchPath.empty()) return;
    FileSystem::deleteFileForce(flags_.manualPatchPath);
    flags_.manualPatch = 0;
}

}  // namespace nimbrel
