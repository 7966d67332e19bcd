// quorlan-standin: takes the name "quorlan_client" like the game client, appends its arguments
// as one line to $QUORLAN_STANDIN_LOG (default: standin.log next to itself), then stays alive
// for $QUORLAN_STANDIN_SECONDS seconds (default 2) or until SIGTERM or SIGINT.

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/ExecutablePath.h"
#include "platform/SingleInstanceLock.h"

using nimbrel::SingleInstanceLock;

namespace {

double secondsToStay() {
    const char* value = std::getenv("QUORLAN_STANDIN_SECONDS");
    if (!value || !*value) return 2.0;
    char* end = nullptr;
    double seconds = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(seconds >= 0)) return 2.0;
    return seconds;
}

std::string logPath() {
    const char* value = std::getenv("QUORLAN_STANDIN_LOG");
    if (value && *value) return value;
    return nimbrel::ExecutablePath::folder() + "standin.log";
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before anything else so that a SIGTERM arriving early still ends us cleanly.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    SingleInstanceLock lock;
    switch (lock.acquire()) {
        case SingleInstanceLock::Result::Acquired:
            break;
        case SingleInstanceLock::Result::AlreadyExists:
            std::fprintf(stderr, "quorlan-standin: \"%s\" is held by another program\n",
                         SingleInstanceLock::kClientName);
            return 1;
        case SingleInstanceLock::Result::Failed:
            std::fprintf(stderr, "quorlan-standin: cannot open %s\n",
                         SingleInstanceLock::lockPath(SingleInstanceLock::kClientName).c_str());
            return 1;
    }

    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    const std::string path = logPath();
    {
        std::ofstream log(path, std::ios::app | std::ios::binary);
        log << line << '\n';
        if (!log.flush()) {
            std::fprintf(stderr, "quorlan-standin: cannot write %s\n", path.c_str());
            return 1;
        }
    }

    double seconds = secondsToStay();
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    for (;;) {
        int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal >= 0 || errno != EINTR) break;
    }
    return 0;
}
