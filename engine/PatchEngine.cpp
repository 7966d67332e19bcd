#include "engine/PatchEngine.h"

#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

PatchEngine::PatchEngine(PatchWindow* dialog_) : dialog(dialog_), downloadCallback(dialog_) {}

PatchEngine::~PatchEngine() = default;

int PatchEngine::initialize(const std::string& gameFolder) {
    PackProgress progress;
    if (dialog)
        progress.report = [window = dialog](int percent) { window->postMessage(WM_PATCH_PROGRESS, percent, 0); };
    // Closing the launcher ends a long pack build between two entries instead of holding the
    // process, and the lock, until the build is done.
    progress.stopRequested = [this] { return stopRequested.load() != 0; };
    packArchive = std::make_unique<PackArchive>(std::move(progress));
    updatePlan = std::make_unique<UpdatePlan>();
    patchPublicKey = PatchSignature::configuredPublicKey();
    baseFolder = gameFolder.empty() ? ExecutablePath::folder() : gameFolder;
    if (!baseFolder.empty() && baseFolder.back() != '/') baseFolder += '/';
    return 0;
}

void PatchEngine::shutdown() {
    packArchive.reset();
    updatePlan.reset();
    patchBaseUrl.clear();
    collectingText.clear();
    waitingText.clear();
    deletingText.clear();
}

bool PatchEngine::fileExists(const std::string& path) const { return FileSystem::fileExists(path); }

}  // namespace nimbrel
