#pragma once
// What every step of a patch run reads and none of them changes: the game folder, the window
// the steps report to, the pack operations, the stop flag, the patch server, the status texts
// and the release key. The engine owns it and fills it before the run; the steps hold it as
// const&, so what a step produces is always its own return value or output.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "engine/GameLayout.h"

namespace nimbrel {

class PackArchive;
class PatchWindow;

struct PatchContext {
    PatchContext(GameLayout gameLayout, PatchWindow* window, const std::atomic<int>& stopFlag)
        : layout(std::move(gameLayout)), dialog(window), stopRequested(stopFlag) {}

    GameLayout layout;
    PatchWindow* dialog;
    // Changes packs, never the context; it reports to dialog and ends early on stopRequested.
    PackArchive* packArchive = nullptr;
    // Set from the window's thread (or a signal handler); the steps poll it and return
    // PatchResult::kStopped.
    const std::atomic<int>& stopRequested;
    std::string patchBaseUrl;
    std::string collectingText;
    std::string waitingText;
    std::string deletingText;
    std::string patchPublicKey;  // base64; empty: lists are taken unsigned
    std::uint64_t maxBytesPerSecond = 0;  // all downloads together; 0: no limit
};

}  // namespace nimbrel
