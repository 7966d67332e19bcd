#pragma once
// The one way the engine and the pack store reach the launcher window. The Qt window, the
// headless patcher and the tests' recording window each implement it. Every call may come
// from the patch worker thread.

#include <cstdint>
#include <string>

namespace nimbrel {

// Where the run's downloads stand: bytes of every file together, the rate over the wire and
// the time left (engine/TransferMeter works them out).
struct TransferProgress {
    std::uint64_t done = 0;     // received, resumed and confirmed bytes
    std::uint64_t total = 0;    // 0 while a length is still unknown
    std::uint64_t resumed = 0;  // of done: bytes a partial held and the server confirmed (Range)
    double bytesPerSecond = 0;  // 0 until a few seconds were measured
    int secondsLeft = -1;       // -1 while unknown
};

// What a repair of the game folder (or an install into a folder without the game) would bring
// and download, worked out before anything changes, for a window to offer.
struct RepairOffer {
    bool install = false;     // an install of the server's latest version, else a repair
    int version = -1;         // the build it brings the folder to; -1: none can be made
    bool needed = false;      // the folder differs from that build
    std::uint64_t bytes = 0;  // what it downloads
    std::string reason;       // with version -1: why not
};

class PatchWindow {
public:
    virtual ~PatchWindow() = default;

    // Posted, never sent: both return at once, and the window acts on them on its own thread.
    // The progress bar's position, 0..100.
    virtual void postProgress(int percent) = 0;
    // The run's outcome (engine/PatchResult.h) and the stage it reached; a run's last call.
    virtual void postResult(int result, int stage) = 0;
    // The downloads' bytes, rate and time left, a few times a second while they run. A window
    // without a place for them leaves them.
    virtual void postTransfer(const TransferProgress& progress) { static_cast<void>(progress); }
    // What a repair or an install would do, once worked out. A window that offers none leaves it.
    virtual void postRepairOffer(const RepairOffer& offer) { static_cast<void>(offer); }

    // Sets the text of one of the window's labels (control ids in WindowMessages.h).
    virtual void setLabelText(int controlId, const std::string& text) = 0;

    // A modal message box with an OK button only. Returns when the player has closed it,
    // or when the window is shutting down and can no longer show it.
    virtual void messageBox(const std::string& text, const std::string& caption) = 0;
};

}  // namespace nimbrel
