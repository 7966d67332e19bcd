#pragma once
// One launcher run of the patch sequence, set up the same way under both front ends (the
// window and nimbrel-cli): the single-instance name and the hold on the game folder, the engine for the game folder and
// its texts, the update folder, the worker, the teardown, and the text a result is shown with. The front end brings
// only its PatchWindow and what it does with the result.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/StartupFlags.h"
#include "platform/FolderLock.h"
#include "platform/SingleInstanceLock.h"

namespace nimbrel {

class PatchWorker;
class PatchEngine;
class PatchSequence;
class PatchWindow;
class TextTable;

class PatchRun {
public:
    // window and texts must outlive the run.
    PatchRun(PatchWindow& window, const TextTable& texts, StartupFlags flags);
    ~PatchRun();  // finish()
    PatchRun(const PatchRun&) = delete;
    PatchRun& operator=(const PatchRun&) = delete;

    // The name shared with the game client, then the game folder (absolute; empty: the folder
    // of the executable) and every packed folder in it, held until finish(). AlreadyExists
    // when the game client or any launcher holds the name (or a game client of the folder runs
    // under Wine), or any program (a launcher of
    // another user or session, qpak) holds one of the folders; the run must not start then,
    // and nothing is held.
    [[nodiscard]] SingleInstanceLock::Result acquireLock(const std::string& gameFolder = std::string());
    // Creates and initialises the engine for the game folder (absolute; empty: the folder of
    // the executable). A second call replaces the engine left from before.
    void openEngine(const std::string& gameFolder = std::string());
    // Hands the engine the patch address (patchUrl if given, else $NIMBREL_PATCH_URL, else the
    // text table's) and its status texts and starts the sequence on the worker (which makes the
    // update folder once the game folder has shown itself to be an installation). Needs
    // openEngine() first.
    void start(const std::string& patchUrl = std::string());
    // A repair of the game folder at its installed version, or (install) an install of the
    // server's latest version into a folder that holds no game yet. Either may come instead of
    // start() or after its sequence has ended, and runs on the worker. planRepair() works out
    // what it would download, changing nothing, and posts it (postRepairOffer); startRepair()
    // carries it out, reporting as a patch run does and ending with postResult. Needs
    // openEngine() and the lock.
    void planRepair(bool install, const std::string& patchUrl = std::string());
    void startRepair(bool install, const std::string& patchUrl = std::string());
    // Whether the game folder holds the game (its version file or its client).
    bool holdsGame() const;
    // Whether the run may ask the patch server (not a DontConnect or manual-patch run).
    bool online() const { return flags_.connectToServer; }
    // Holds all downloads of the runs started afterwards together to this many bytes a second
    // (0: no limit).
    void limitRate(std::uint64_t bytesPerSecond) { maxBytesPerSecond_ = bytesPerSecond; }

    // Tells the running step to stop; it returns PatchResult::kStopped at its next check.
    void requestStop();
    // Stops and joins the worker, empties the update folder after an online run, gives the
    // name up and deletes the engine. Safe to call more than once.
    void finish();
    // Gives the name and the folders up so that a program we start can take them (the game,
    // the self-updater).
    void handOverLock();

    // Valid after the result came (the worker wrote it before posting the result).
    bool selfUpdateRequired() const;
    // The game folder, ending in "/"; empty before openEngine().
    std::string baseFolder() const;
    // The text both front ends show for a run's end.
    std::string resultText(int result, int stage) const;

    // For a front end's signal handler: the flag the steps poll. Null before openEngine().
    std::atomic<int>* stopFlag();

private:
    // Hands the engine the patch address, texts and rate limit, and makes the worker; once.
    void prepare(const std::string& patchUrl);

    PatchWindow& window_;
    const TextTable& texts_;
    StartupFlags flags_;
    std::uint64_t maxBytesPerSecond_ = 0;
    // Declaration order is destruction order in reverse: the worker goes before the sequence,
    // the sequence before the engine it works on, and the name last.
    SingleInstanceLock lock_;
    std::vector<FolderLock> folderLocks_;
    std::unique_ptr<PatchEngine> engine_;
    std::unique_ptr<PatchSequence> sequence_;
    std::unique_ptr<PatchWorker> worker_;
};

}  // namespace nimbrel
