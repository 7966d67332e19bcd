#include "engine/PatchRun.h"

#include <cstdlib>
#include <utility>

#include "engine/ClientVersionFile.h"
#include "engine/GameLayout.h"
#include "engine/InstallRepairer.h"
#include "engine/PatchEngine.h"
#include "engine/PatchResult.h"
#include "engine/PatchSequence.h"
#include "engine/PatchWorker.h"
#include "engine/TextTable.h"
#include "engine/UpdateApplier.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/GameProcessProbe.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

PatchRun::PatchRun(PatchWindow& window, const TextTable& texts, StartupFlags flags)
    : window_(window), texts_(texts), flags_(std::move(flags)) {}

PatchRun::~PatchRun() { finish(); }

SingleInstanceLock::Result PatchRun::acquireLock(const std::string& gameFolder) {
    // Our own hold would count as another program's to a second flock of the same folder.
    if (!folderLocks_.empty()) return SingleInstanceLock::Result::Acquired;
    // The start-up flags were probed in the run's game folder (empty: the executable's).
    std::string folder = gameFolder.empty() ? FileSystem::folderOf(flags_.manualPatchPath) : gameFolder;
    if (folder.empty()) folder = ExecutablePath::folder();
    const GameLayout layout(folder);
    // A client under Wine holds a Windows mutex our lock never sees: its process is looked
    // for too.
    if (GameProcessProbe::findClient(layout.gameClientPath())) return SingleInstanceLock::Result::AlreadyExists;
    const SingleInstanceLock::Result name = lock_.acquire();
    if (name == SingleInstanceLock::Result::AlreadyExists) return name;
    // The name lives in one session's runtime folder; the folders themselves keep out a run of
    // another user, sudo or cron, and qpak writing a pack. Every existing packed folder is held
    // too, because qpak knows only the folder of its pack.
    std::vector<std::string> folders{layout.baseFolder()};
    for (const std::string& key : GameLayout::packedFolders()) folders.push_back(layout.folderForKey(key));
    for (const std::string& held : folders) {
        FolderLock hold;
        if (hold.acquire(held) == FolderLock::Result::Held) {
            handOverLock();
            return SingleInstanceLock::Result::AlreadyExists;
        }
        if (hold.held()) folderLocks_.push_back(std::move(hold));
    }
    return name;
}

void PatchRun::handOverLock() {
    folderLocks_.clear();
    lock_.close();
}

void PatchRun::openEngine(const std::string& gameFolder) {
    engine_ = std::make_unique<PatchEngine>(&window_);
    engine_->initialize(gameFolder);
}

void PatchRun::prepare(const std::string& patchUrl) {
    if (worker_) return;
    // The variable lets the tests and the demo point a launcher at a local patch server
    // without a build of their own.
    const char* fromEnvironment = std::getenv("NIMBREL_PATCH_URL");
    engine_->setPatchBaseUrl(!patchUrl.empty()                             ? patchUrl
                             : fromEnvironment && *fromEnvironment != '\0' ? std::string(fromEnvironment)
                                                                           : texts_.lineOrEmpty(TextLine::kPatchUrl));
    engine_->setStatusTexts(texts_.lineOrEmpty(TextLine::kWaiting), texts_.lineOrEmpty(TextLine::kDeleting),
                            texts_.lineOrEmpty(TextLine::kCollecting));
    engine_->setMaxBytesPerSecond(maxBytesPerSecond_);
    worker_ = std::make_unique<PatchWorker>();
}

void PatchRun::start(const std::string& patchUrl) {
    if (!engine_ || sequence_) return;
    prepare(patchUrl);
    sequence_ = std::make_unique<PatchSequence>(*engine_, flags_);
    worker_->post([sequence = sequence_.get()] { sequence->run(); });
}

namespace {

// The version a repair brings the folder back to, or an install brings it to; negative, with
// the reason, when there is none.
int repairTarget(PatchEngine& engine, InstallRepairer& repairer, bool install, std::string& reason) {
    if (install) {
        const int latest = repairer.latestVersion();
        if (latest < 0) reason = repairer.failureReason();
        return latest;
    }
    const int installed = FileSystem::fileExists(engine.layout().clientVersionPath())
                              ? ClientVersionFile(engine.context()).read()
                              : PatchResult::kFileUnreadable;
    if (installed < 0) reason = "no installed version in " + engine.layout().baseFolder();
    return installed;
}

}  // namespace

void PatchRun::planRepair(bool install, const std::string& patchUrl) {
    if (!engine_) return;
    prepare(patchUrl);
    worker_->post([this, install] {
        InstallRepairer repairer(engine_->context());
        RepairOffer offer;
        offer.install = install;
        const int version = repairTarget(*engine_, repairer, install, offer.reason);
        if (version >= 0) {
            if (const std::optional<InstallRepairer::Plan> plan = repairer.plan(version)) {
                offer.version = version;
                offer.needed = !plan->report.matches();
                offer.bytes = plan->downloadBytes;
            } else {
                offer.reason = repairer.failureReason();
            }
        }
        window_.postRepairOffer(offer);
    });
}

void PatchRun::startRepair(bool install, const std::string& patchUrl) {
    if (!engine_) return;
    prepare(patchUrl);
    worker_->post([this, install] {
        InstallRepairer repairer(engine_->context());
        std::string reason;
        const int version = repairTarget(*engine_, repairer, install, reason);
        const int result = version < 0 ? version : repairer.run(version, install);
        if (version < 0) window_.postResult(version, PatchStage::kApply);
        // The result's text is the patch run's; what went wrong is the repair's own.
        if (result < 0 && result != PatchResult::kStopped)
            window_.messageBox((install ? "The install did not finish: " : "The repair did not finish: ") +
                                   (reason.empty() ? repairer.failureReason() : reason),
                               "Nimbrel");
    });
}

bool PatchRun::holdsGame() const {
    return engine_ && (FileSystem::fileExists(engine_->layout().clientVersionPath()) ||
                       FileSystem::fileExists(engine_->layout().gameClientPath()));
}

void PatchRun::requestStop() {
    if (engine_) engine_->stopFlag() = 1;
}

void PatchRun::finish() {
    requestStop();
    // Joining makes sure nothing touches the engine after it is deleted.
    if (worker_) {
        worker_->quit();
        worker_->join();
    }
    // Only an online run downloaded what lies in the update folder. Offline, with or without
    // ManualPatch.ini, the player brought those files, and a failed run keeps them for the
    // next try rather than losing them when the launcher closes.
    if (engine_ && flags_.connectToServer) UpdateApplier::removeDownloadedFiles(engine_->layout());
    handOverLock();
    worker_.reset();
    sequence_.reset();
    engine_.reset();
}

bool PatchRun::selfUpdateRequired() const { return sequence_ && sequence_->selfUpdateRequired(); }

std::atomic<int>* PatchRun::stopFlag() { return engine_ ? &engine_->stopFlag() : nullptr; }

std::string PatchRun::baseFolder() const { return engine_ ? engine_->layout().baseFolder() : std::string(); }

std::string PatchRun::resultText(int result, int stage) const { return patchResultText(texts_, result, stage); }

}  // namespace nimbrel
