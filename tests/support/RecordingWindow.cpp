#include "tests/support/RecordingWindow.h"

#include "platform/WindowMessages.h"

namespace nimbrel::test {

void RecordingWindow::postProgress(int percent) {
    std::lock_guard guard(mutex_);
    messages_.push_back({WM_PATCH_PROGRESS, percent, 0});
}

void RecordingWindow::postResult(int result, int stage) {
    std::lock_guard guard(mutex_);
    messages_.push_back({WM_PATCH_RESULT, result, stage});
}

void RecordingWindow::setLabelText(int controlId, const std::string& text) {
    std::lock_guard guard(mutex_);
    labels_[controlId].push_back(text);
}

void RecordingWindow::messageBox(const std::string& text, const std::string& caption) {
    std::lock_guard guard(mutex_);
    boxes_.push_back({text, caption});
}

void RecordingWindow::postTransfer(const TransferProgress& progress) {
    std::lock_guard guard(mutex_);
    transfers_.push_back({std::chrono::steady_clock::now(), progress});
}

std::vector<RecordingWindow::Transfer> RecordingWindow::transfers() const {
    std::lock_guard guard(mutex_);
    return transfers_;
}

std::vector<RecordingWindow::Message> RecordingWindow::messages() const {
    std::lock_guard guard(mutex_);
    return messages_;
}

std::vector<std::intptr_t> RecordingWindow::progress() const {
    std::lock_guard guard(mutex_);
    std::vector<std::intptr_t> values;
    for (const auto& m : messages_)
        if (m.id == WM_PATCH_PROGRESS) values.push_back(m.wParam);
    return values;
}

std::vector<RecordingWindow::Box> RecordingWindow::boxes() const {
    std::lock_guard guard(mutex_);
    return boxes_;
}

std::vector<std::string> RecordingWindow::labelHistory(int controlId) const {
    std::lock_guard guard(mutex_);
    auto it = labels_.find(controlId);
    return it == labels_.end() ? std::vector<std::string>() : it->second;
}

std::string RecordingWindow::label(int controlId) const {
    std::lock_guard guard(mutex_);
    auto it = labels_.find(controlId);
    return it == labels_.end() || it->second.empty() ? std::string() : it->second.back();
}

void RecordingWindow::clear() {
    std::lock_guard guard(mutex_);
    messages_.clear();
    boxes_.clear();
    labels_.clear();
    transfers_.clear();
}

}  // namespace nimbrel::test
