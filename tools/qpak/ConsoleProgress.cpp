#include "ConsoleProgress.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace nimbrel {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int) { stopSignal = 1; }

}  // namespace

ConsoleProgress::ConsoleProgress(std::string title)
    : title_(std::move(title)), terminal_(::isatty(STDERR_FILENO) == 1) {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

ConsoleProgress::~ConsoleProgress() {
    if (terminal_ && shown_ >= 0) std::fputc('\n', stderr);
}

PackProgress ConsoleProgress::callbacks() {
    return {[this](int percent) { show(percent); }, [] { return stopRequested(); }};
}

bool ConsoleProgress::stopRequested() { return stopSignal != 0; }

void ConsoleProgress::show(int percent) {
    if (!terminal_ || percent == shown_) return;
    shown_ = percent;
    std::fprintf(stderr, "\r%s %3d%%", title_.c_str(), percent);
    std::fflush(stderr);
}

}  // namespace nimbrel
