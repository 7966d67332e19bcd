#include "engine/PatchEngine.h"

#include "engine/PatchSignature.h"
#include "platform/ExecutablePath.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

PatchEngine::PatchEngine(PatchWindow* window) : context_(GameLayout(std::string()), window, stopRequested_) {}

PatchEngine::~PatchEngine() = default;

void PatchEngine::initialize(const std::string& gameFolder) {
    PackProgress progress;
    if (PatchWindow* window = context_.dialog)
        progress.report = [window](int percent) { window->postProgress(percent); };
    // Closing the launcher ends a long pack build between two entries instead of holding the
    // process, and the lock, until the build is done.
    progress.stopRequested = [this] { return stopRequested_.load() != 0; };
    packArchive_ = std::make_unique<PackArchive>(std::move(progress));
    context_.packArchive = packArchive_.get();
    context_.patchPublicKey = PatchSignature::configuredPublicKey();
    context_.layout = GameLayout(gameFolder.empty() ? ExecutablePath::folder() : gameFolder);
}

void PatchEngine::setStatusTexts(std::string waiting, std::string deleting, std::string collecting) {
    context_.waitingText = std::move(waiting);
    context_.deletingText = std::move(deleting);
    context_.collectingText = std::move(collecting);
}

}  // namespace nimbrel
