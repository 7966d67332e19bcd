#pragma once
// The patch window of the headless patcher. On a terminal the labels, the progress and the
// downloads' bytes, rate and time left make one status line that is rewritten in place;
// otherwise every change is a plain line, so logs stay readable, and the downloads get a line
// at every tenth of the way and every few seconds. Message boxes go to standard error and do
// not wait for anyone.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/PatchWindow.h"

namespace nimbrel::cli {

class TerminalWindow : public PatchWindow {
public:
    struct Outcome {
        int result;
        int stage;
    };

    TerminalWindow(std::FILE* out, std::FILE* err, bool interactive);

    void postProgress(int percent) override;
    void postResult(int result, int stage) override;
    void postTransfer(const TransferProgress& progress) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;

    // Blocks until the sequence has posted its result.
    Outcome waitForResult();
    // Ends the status line so that what follows starts on a line of its own.
    void endStatusLine();

    // Fits text into a terminal of the given width (in columns; East Asian wide characters
    // take two), cutting only between whole UTF-8 characters.
    static std::string fitToWidth(const std::string& text, int columns);

private:
    void drawLocked();
    void printPlainLocked(const char* what, const std::string& text);
    std::string composeLocked() const;
    int columns() const;

    std::FILE* out_;
    std::FILE* err_;
    bool interactive_;
    std::mutex mutex_;
    std::condition_variable resultPosted_;
    std::optional<Outcome> outcome_;
    std::map<int, std::string> labels_;
    int progress_ = -1;
    // The downloads: the text shown while they run, and when the last plain line was written.
    static constexpr std::chrono::seconds kTransferLineEvery{5};
    std::string transfer_;
    int transferTenth_ = -1;
    std::chrono::steady_clock::time_point transferLineAt_{};
    bool lineOpen_ = false;
};

}  // namespace nimbrel::cli
