#pragma once
// The patch sequence of one launcher run: client version, patch list, fetch or check, apply,
// version write, then the packing passes. Runs on the patch worker; reports only through the
// run context's window (labels, message boxes, and WM_PATCH_RESULT as its last act). The
// sequence keeps what the steps produce: the installed version and the patch list.

#include <atomic>

#include "engine/PatchContext.h"
#include "engine/PatchList.h"
#include "engine/StartupFlags.h"

namespace nimbrel {

class PatchEngine;
class PatchSignature;

class PatchSequence {
public:
    static constexpr const char* kCaption = "Nimbrel";
    static constexpr const char* kNotGameFolderText =
        "This folder holds no QuorlanPlus.exe and no readable version.ini: it is not a game installation, so "
        "nothing in it was packed or changed.";

    // Clears the engine's stop flag; engine must outlive the sequence.
    PatchSequence(PatchEngine& engine, StartupFlags& flags);

    // Runs every stage once and posts WM_PATCH_RESULT(result, stage) to the window last.
    void run();
    // Removes ManualPatch.ini (clearing read-only first) and clears flags.manualPatch.
    void deleteManualPatchFile();
    // After a fetched file failed a check or could not be applied: its cached copy goes.
    void forgetFetchedFiles() const;

    int result() const { return result_; }
    int stage() const { return stage_; }
    // What the patch list said; safe to ask from another thread.
    bool selfUpdateRequired() const { return selfUpdateRequired_; }

private:
    void runStages();
    void finish();
    bool mayRunPackingPasses() const;
    // kOk when the signed files and what they become fit on their disks (or there is no signed
    // manifest); else kNotEnoughSpace after the box "needs X MB on FOLDER, Y MB free", before
    // anything is fetched.
    [[nodiscard]] int checkDiskSpace(const PatchSignature* manifest) const;

    const PatchContext& context_;
    StartupFlags& flags_;
    int result_ = 0;
    int stage_ = 0;
    int currentVersion_ = 0;
    PatchList patchList_;
    std::atomic<bool> selfUpdateRequired_{false};
};

}  // namespace nimbrel
