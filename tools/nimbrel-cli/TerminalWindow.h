#pragma once
// The patch window of the headless patcher. On a terminal the labels and the progress make
// one status line that is rewritten in place; otherwise every change is a plain line, so logs
// stay readable. Message boxes go to standard error and do not wait for anyone.

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
    bool lineOpen_ = false;
};

}  // namespace nimbrel::cli
