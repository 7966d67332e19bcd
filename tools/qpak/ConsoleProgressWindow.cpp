#include "ConsoleProgressWindow.h"

#include <unistd.h>

#include <cstdio>

#include "platform/WindowMessages.h"

namespace nimbrel {

ConsoleProgressWindow::ConsoleProgressWindow(std::string title)
    : title_(std::move(title)), terminal_(::isatty(STDERR_FILENO) == 1) {}

ConsoleProgressWindow::~ConsoleProgressWindow() {
    if (terminal_ && shown_ >= 0) std::fputc('\n', stderr);
}

void ConsoleProgressWindow::postMessage(unsigned message, std::intptr_t wParam, std::intptr_t) {
    if (!terminal_ || message != WM_PATCH_PROGRESS || wParam == shown_) return;
    shown_ = wParam;
    std::fprintf(stderr, "\r%s %3lld%%", title_.c_str(), static_cast<long long>(wParam));
    std::fflush(stderr);
}

void ConsoleProgressWindow::setLabelText(int, const std::string&) {}

void ConsoleProgressWindow::messageBox(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

}  // namespace nimbrel
