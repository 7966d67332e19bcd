#pragma once
// All patch state of one launcher run and every patch step. Owned by the launcher window
// (or the headless patcher), used by the worker thread. Each step lives in a class of its
// own (named after what it does); the methods here are the steps' stable entry points.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/CCallBack.h"
#include "engine/GameLayout.h"
#include "engine/PatchListEntry.h"
#include "engine/PatchSignature.h"
#include "engine/UpdatePlan.h"
#include "pack/PackArchive.h"

namespace nimbrel {

class PatchWindow;

class PatchEngine {
public:
    explicit PatchEngine(PatchWindow* dialog);
    ~PatchEngine();
    PatchEngine(const PatchEngine&) = delete;
    PatchEngine& operator=(const PatchEngine&) = delete;

    // Creates the pack operations object and the update plan and sets baseFolder (the folder of
    // the executable unless one is given; it must end in "/"). The current folder stays as it
    // is: every path is built from baseFolder.
    int initialize(const std::string& gameFolder = std::string());
    void shutdown();

    bool fileExists(const std::string& path) const;
    GameLayout layout() const { return GameLayout(baseFolder); }
    std::string updateFolder() const { return layout().updateFolder(); }

    std::atomic<int> stopRequested{0};
    std::unique_ptr<PackArchive> packArchive;
    PatchWindow* dialog;
    std::unique_ptr<UpdatePlan> updatePlan;
    std::string baseFolder;
    std::string patchBaseUrl;
    std::string collectingText;
    std::string waitingText;
    std::string deletingText;
    int currentVersion = 0;
    CCallBack downloadCallback;
    std::string patchPublicKey;                   // base64; empty: lists are taken unsigned
    std::optional<PatchSignature> patchManifest;  // the verified list's manifest
    // Why the last download failed, for the player: "HTTP 404", "certificate not trusted".
    std::string downloadFailureReason;
};

}  // namespace nimbrel
