#include "TerminalWindow.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "engine/TransferMeter.h"
#include "platform/WindowMessages.h"

namespace nimbrel::cli {

TerminalWindow::TerminalWindow(std::FILE* out, std::FILE* err, bool interactive)
    : out_(out), err_(err), interactive_(interactive) {}

void TerminalWindow::postProgress(int percent) {
    std::lock_guard guard(mutex_);
    if (percent == progress_) return;
    // Plain output only marks every tenth percent: a log of every step would be noise.
    bool worthALine = progress_ < 0 || percent / 10 != progress_ / 10 || percent == 100;
    progress_ = percent;
    if (interactive_)
        drawLocked();
    else if (worthALine)
        printPlainLocked("progress", std::to_string(percent) + "%");
}

void TerminalWindow::postTransfer(const TransferProgress& progress) {
    std::lock_guard guard(mutex_);
    const std::string text = TransferMeter::describe(progress);
    const bool finished = progress.total > 0 && progress.done >= progress.total;
    if (interactive_) {
        // Once every byte is in, the steps after the download have the line.
        transfer_ = finished ? std::string() : text;
        return drawLocked();
    }
    if (progress.done == 0 && progress.total == 0) return;  // nothing worth a line yet
    const int tenth = progress.total > 0 ? static_cast<int>(progress.done * 10 / progress.total) : transferTenth_;
    const auto now = std::chrono::steady_clock::now();
    if (text == transfer_ || (tenth == transferTenth_ && now - transferLineAt_ < kTransferLineEvery && !finished))
        return;
    transfer_ = text;
    transferTenth_ = tenth;
    transferLineAt_ = now;
    printPlainLocked("download", text);
}

void TerminalWindow::postResult(int result, int stage) {
    std::lock_guard guard(mutex_);
    outcome_ = Outcome{result, stage};
    resultPosted_.notify_all();
}

void TerminalWindow::setLabelText(int controlId, const std::string& text) {
    std::lock_guard guard(mutex_);
    auto& current = labels_[controlId];
    if (current == text) return;
    current = text;
    if (interactive_) return drawLocked();
    switch (controlId) {
        case IDC_STATUS_LABEL:
            return printPlainLocked("status", text);
        case IDC_ITEM_LABEL:
            return printPlainLocked("item", text);
        case IDC_COUNTER_LABEL:
            return printPlainLocked("counter", text);
        case IDC_VERSION_LABEL:
            return printPlainLocked("version", text);
        default:
            return printPlainLocked("label", text);
    }
}

void TerminalWindow::messageBox(const std::string& text, const std::string& caption) {
    std::lock_guard guard(mutex_);
    if (lineOpen_) {
        std::fputs("\r\033[K", out_);
        std::fflush(out_);
    }
    if (caption.empty())
        std::fprintf(err_, "%s\n", text.c_str());
    else
        std::fprintf(err_, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(err_);
    if (lineOpen_) drawLocked();
}

TerminalWindow::Outcome TerminalWindow::waitForResult() {
    std::unique_lock lock(mutex_);
    resultPosted_.wait(lock, [this] { return outcome_.has_value(); });
    return *outcome_;
}

void TerminalWindow::endStatusLine() {
    std::lock_guard guard(mutex_);
    if (!lineOpen_) return;
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
}

std::string TerminalWindow::composeLocked() const {
    auto label = [this](int id) {
        auto it = labels_.find(id);
        return it == labels_.end() ? std::string() : it->second;
    };
    std::string line;
    auto add = [&line](const std::string& part) {
        if (part.empty()) return;
        if (!line.empty()) line += "  ";
        line += part;
    };
    if (std::string version = label(IDC_VERSION_LABEL); !version.empty()) add("v" + version);
    add(label(IDC_STATUS_LABEL));
    add(label(IDC_ITEM_LABEL));
    add(label(IDC_COUNTER_LABEL));
    if (progress_ >= 0) add(std::to_string(progress_) + "%");
    add(transfer_);
    return line;
}

void TerminalWindow::drawLocked() {
    std::string line = fitToWidth(composeLocked(), columns() - 1);
    std::fprintf(out_, "\r\033[K%s", line.c_str());
    std::fflush(out_);
    lineOpen_ = true;
}

void TerminalWindow::printPlainLocked(const char* what, const std::string& text) {
    std::fprintf(out_, "%s: %s\n", what, text.c_str());
    std::fflush(out_);
}

int TerminalWindow::columns() const {
    winsize size{};
    if (::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

std::string TerminalWindow::fitToWidth(const std::string& text, int columns) {
    int used = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (i + length > text.size()) length = text.size() - i;
        // Hangul and CJK are 3-byte forms; counting every such character as wide may cut a
        // line short but never lets it wrap, which would break the in-place rewrite.
        int width = length >= 3 ? 2 : 1;
        if (used + width > columns) break;
        used += width;
        i += length;
    }
    return text.substr(0, i);
}

}  // namespace nimbrel::cli
