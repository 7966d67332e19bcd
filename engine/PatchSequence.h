#pragma once
// The patch sequence of one launcher run: client version, patch list, fetch or check, apply,
// version write, then the packing passes. Runs on the patch worker; reports only through the
// engine's window (labels, message boxes, and WM_PATCH_RESULT as its last act).

#include <atomic>

#include "engine/PatchEngine.h"
#include "engine/PatchList.h"
#include "engine/StartupFlags.h"

namespace nimbrel {

class PatchSequence {
public:
    static constexpr const char* kCaption = "Nimbrel";
    static constexpr const char* kNotGameFolderText =
        "This folder holds no QuorlanPlus.exe and no readable version.ini: it is not a game installation, so "
        "nothing in it was packed or changed.";

    PatchSequence(PatchEngine& engine, StartupFlags& flags);

    // Runs every stage once and posts WM_PATCH_RESULT(result, stage) to engine.dialog last.
    void run();
    // Removes ManualPatch.ini (clearing read-only first) and clears flags.manualPatch.
    void deleteManualPatchFile();

    int result() const { return result_; }
    int stage() const { return stage_; }
    // The patch list read by the run; written by the worker before it posts the result.
    const PatchList& patchList() const { return patchList_; }
    // Safe to ask from another thread, unlike the list itself.
    bool selfUpdateRequired() const { return selfUpdateRequired_; }

private:
    void runStages();
    void finish();
    bool mayRunPackingPasses() const;

    PatchEngine& engine_;
    StartupFlags& flags_;
    int result_ = 0;
    int stage_ = 0;
    PatchList patchList_;
    std::atomic<bool> selfUpdateRequired_{false};
};

}  // namespace nimbrel
