#pragma once
// The frame of one launcher run's patching: the run context the steps read (game folder,
// window, patch server, texts, release key), the pack operations and the stop flag. Owned by
// the launcher window (or the headless patcher), read by the worker thread. The steps live in
// classes of their own and take the context; what they produce goes back to the sequence.

#include <atomic>
#include <memory>
#include <string>

#include "engine/PatchContext.h"
#include "pack/PackArchive.h"

namespace nimbrel {

class PatchWindow;

class PatchEngine {
public:
    explicit PatchEngine(PatchWindow* window);
    ~PatchEngine();
    PatchEngine(const PatchEngine&) = delete;
    PatchEngine& operator=(const PatchEngine&) = delete;

    // Creates the pack operations object and sets the game folder (the folder of the
    // executable unless one is given). The current folder stays as it is: every path is built
    // from the game folder.
    void initialize(const std::string& gameFolder = std::string());

    // Set before a run starts; the steps only read them.
    void setPatchBaseUrl(std::string url) { context_.patchBaseUrl = std::move(url); }
    void setMaxBytesPerSecond(std::uint64_t rate) { context_.maxBytesPerSecond = rate; }
    void setStatusTexts(std::string waiting, std::string deleting, std::string collecting);

    const PatchContext& context() const { return context_; }
    const GameLayout& layout() const { return context_.layout; }
    // The flag the steps poll: the front end sets it to stop a run, a new run clears it.
    std::atomic<int>& stopFlag() { return stopRequested_; }

private:
    // Both before the context, which refers to them.
    std::atomic<int> stopRequested_{0};
    std::unique_ptr<PackArchive> packArchive_;
    PatchContext context_;
};

}  // namespace nimbrel
