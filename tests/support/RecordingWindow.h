#pragma once
// A PatchWindow that records everything the engine tells it, for tests. Thread-safe.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/PatchWindow.h"

namespace nimbrel::test {

class RecordingWindow : public PatchWindow {
public:
    struct Message {
        unsigned id;
        std::intptr_t wParam;
        std::intptr_t lParam;
    };
    struct Box {
        std::string text;
        std::string caption;
    };

    // Recorded as messages under their ids, WM_PATCH_PROGRESS(percent) and WM_PATCH_RESULT(result, stage).
    void postProgress(int percent) override;
    void postResult(int result, int stage) override;
    void setLabelText(int controlId, const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption) override;
    void postTransfer(const TransferProgress& progress) override;

    std::vector<Message> messages() const;
    std::vector<std::intptr_t> progress() const;  // wParams of WM_PATCH_PROGRESS, in order
    std::vector<Box> boxes() const;
    // Every download report with the time it came, in order.
    struct Transfer {
        std::chrono::steady_clock::time_point at;
        TransferProgress progress;
    };
    std::vector<Transfer> transfers() const;
    std::vector<std::string> labelHistory(int controlId) const;  // every text set, in order
    std::string label(int controlId) const;                      // the last text set
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
    std::vector<Box> boxes_;
    std::vector<Transfer> transfers_;
    std::map<int, std::vector<std::string>> labels_;
};

}  // namespace nimbrel::test
