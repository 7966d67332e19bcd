// demo-server [--host HOST] [--port N] [--rate BYTES_PER_SECOND] FOLDER
// Serves FOLDER over HTTP (default 127.0.0.1:18080) until SIGINT or SIGTERM. Port 0 picks a
// free port; the first line printed names the address actually served.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tools/demo-server/FolderServer.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: demo-server [--host HOST] [--port N] [--rate BYTES_PER_SECOND] FOLDER\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string host = "127.0.0.1";
    int port = 18080;
    long long rate = 0;
    std::string folder;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--host") {
            const char* v = value();
            if (!v) return usage();
            host = v;
        } else if (arg == "--port" || arg == "--rate") {
            const char* v = value();
            char* end = nullptr;
            long long n = v ? std::strtoll(v, &end, 10) : -1;
            if (!v || *end != '\0' || n < 0 || (arg == "--port" && n > 65535)) return usage();
            (arg == "--port" ? port = static_cast<int>(n) : rate = n);
        } else if (!arg.empty() && arg[0] == '-') {
            return usage();
        } else if (folder.empty()) {
            folder = arg;
        } else {
            return usage();
        }
    }
    if (folder.empty()) return usage();

    // Signals are taken by one thread with sigwait, which may stop the server safely.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    nimbrel::demo::FolderServer server(folder, static_cast<std::size_t>(rate));
    int bound = server.bind(host, port);
    if (bound < 0) {
        std::fprintf(stderr, "demo-server: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    std::printf("demo-server: serving %s at http://%s:%d/\n", folder.c_str(), host.c_str(), bound);
    std::fflush(stdout);

    std::thread stopper([&] {
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    });
    bool ok = server.listen();
    // listen() also ends on its own failure; wake the waiting thread then.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return ok ? 0 : 1;
}
