// Downloads 200 patch-sized files and one 10 MiB file twenty times from a server on
// 127.0.0.1, through the engine's downloader and through the curl command line, and prints
// the throughput of each and their ratio. Run by bench/download/run.sh.
//
// usage: download-bench [ROUNDS] [WORK_FOLDER]

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/PatchEngine.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "tests/support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 200;
constexpr std::size_t kBigSize = 10u << 20;
constexpr int kBigRepeats = 20;
const std::string kFolder = "/quorlanpatch/plus_real/";

// Counts what a window would be sent, so the benchmark pays for progress like the launcher.
class CountingWindow : public nimbrel::PatchWindow {
public:
    void postMessage(unsigned, std::intptr_t, std::intptr_t) override { ++posts; }
    void setLabelText(int, const std::string&) override {}
    void messageBox(const std::string& text, const std::string&) override {
        std::fprintf(stderr, "box: %s\n", text.c_str());
    }
    long posts = 0;
};

std::string content(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void emptyFolder(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) fs::remove_all(entry.path(), ec);
}

std::uint64_t folderBytes(const std::string& folder) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) total += entry.file_size();
    return total;
}

// One curl process for the whole list, so that it reuses its connection as the engine does.
double runCurl(const std::vector<std::pair<std::string, std::string>>& fetches, const std::string& configPath) {
    {
        std::ofstream config(configPath);
        for (const auto& [url, output] : fetches) config << "url = \"" << url << "\"\noutput = \"" << output << "\"\n";
    }
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("curl", "curl", "--silent", "--show-error", "--fail", "--config", configPath.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    double elapsed = seconds(Clock::now() - start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "curl failed (status %d)\n", status);
        std::exit(1);
    }
    return elapsed;
}

// The engine flushes every file to the disk before giving it its name; curl does not. This
// brings curl's files to the same state, for the like-for-like figure.
double syncFiles(const std::vector<std::pair<std::string, std::string>>& fetches) {
    auto start = Clock::now();
    for (const auto& fetch : fetches) {
        int fd = ::open(fetch.second.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
    }
    return seconds(Clock::now() - start);
}

struct Figures {
    double engine = 1e9;
    double curl = 1e9;
    double curlSynced = 1e9;
};

void report(const char* what, std::uint64_t bytes, const Figures& f) {
    double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf(
        "%-34s %6.1f MiB | engine %7.1f MiB/s %6.3f s | curl %7.1f MiB/s %6.3f s ratio %.2fx | "
        "curl+flush %7.1f MiB/s %6.3f s ratio %.2fx\n",
        what, mib, mib / f.engine, f.engine, mib / f.curl, f.curl, f.curl / f.engine, mib / f.curlSynced, f.curlSynced,
        f.curlSynced / f.engine);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::string work = argc > 2 ? argv[2] : "/tmp/nimbrel-downloadbench";
    if (work.back() != '/') work += '/';
    fs::create_directories(work + "game/update");
    fs::create_directories(work + "curl");
    const std::string update = work + "game/update/";
    const std::string curlOut = work + "curl/";

    nimbrel::test::TestHttpServer server;
    std::vector<std::string> names;
    std::uint64_t smallBytes = 0;
    unsigned x = 12345;
    for (int i = 0; i < kSmallFiles; ++i) {
        x = x * 1103515245u + 12345u;
        std::size_t size = (16u << 10) + (x >> 8) % (496u << 10);  // 16 KiB .. 512 KiB, like patch archives
        names.push_back("patch_" + std::to_string(i) + ".zip");
        server.setFile(kFolder + names.back(), content(size, static_cast<unsigned>(i)));
        smallBytes += size;
    }
    server.setFile(kFolder + "client_10MiB.zip", content(kBigSize, 999));

    CountingWindow window;
    nimbrel::PatchEngine engine(&window);
    engine.initialize(work + "game/");
    engine.patchBaseUrl = server.url(kFolder);
    for (const auto& name : names) {
        nimbrel::PatchListEntry entry;
        entry.fileName = name;
        entry.folderKey = "root";
        engine.patchEntries.push_back(entry);
    }
    ::setenv("XDG_CACHE_HOME", (work + "cache").c_str(), 1);

    Figures smallDirect, smallCached, big;
    double revalidate = 1e9;
    for (int round = 0; round < rounds; ++round) {
        // The patch list's way: the direct fetch, no cache.
        emptyFolder(update);
        auto start = Clock::now();
        for (const auto& name : names)
            if (engine.downloadFile(name, false) != 0)
                return std::fprintf(stderr, "engine failed on %s\n", name.c_str()), 1;
        smallDirect.engine = std::min(smallDirect.engine, seconds(Clock::now() - start));
        if (folderBytes(update) != smallBytes) return std::fprintf(stderr, "engine wrote the wrong amount\n"), 1;

        // The patch archives' way: through an empty download cache, then copied into place.
        emptyFolder(update);
        fs::remove_all(work + "cache");
        start = Clock::now();
        if (engine.downloadPatchFiles() != 1) return std::fprintf(stderr, "downloadPatchFiles failed\n"), 1;
        smallCached.engine = std::min(smallCached.engine, seconds(Clock::now() - start));

        // A later run: every archive is still current, the server only confirms it.
        emptyFolder(update);
        start = Clock::now();
        if (engine.downloadPatchFiles() != 1) return std::fprintf(stderr, "downloadPatchFiles failed\n"), 1;
        revalidate = std::min(revalidate, seconds(Clock::now() - start));
        if (folderBytes(update) != smallBytes) return std::fprintf(stderr, "cache gave the wrong amount\n"), 1;

        emptyFolder(curlOut);
        std::vector<std::pair<std::string, std::string>> fetches;
        for (const auto& name : names) fetches.emplace_back(server.url(kFolder + name), curlOut + name);
        double curlSmall = runCurl(fetches, work + "small.curlrc");
        double curlSmallSynced = curlSmall + syncFiles(fetches);
        smallDirect.curl = std::min(smallDirect.curl, curlSmall);
        smallDirect.curlSynced = std::min(smallDirect.curlSynced, curlSmallSynced);
        smallCached.curl = smallDirect.curl;
        smallCached.curlSynced = smallDirect.curlSynced;
        if (folderBytes(curlOut) != smallBytes) return std::fprintf(stderr, "curl wrote the wrong amount\n"), 1;

        emptyFolder(update);
        start = Clock::now();
        for (int i = 0; i < kBigRepeats; ++i) {
            if (engine.downloadFile("client_10MiB.zip", false) != 0)
                return std::fprintf(stderr, "engine failed on the big file\n"), 1;
            std::remove((update + "client_10MiB.zip").c_str());
        }
        big.engine = std::min(big.engine, seconds(Clock::now() - start));

        emptyFolder(curlOut);
        fetches.clear();
        for (int i = 0; i < kBigRepeats; ++i)
            fetches.emplace_back(server.url(kFolder + "client_10MiB.zip"), curlOut + "big" + std::to_string(i));
        double curlBig = runCurl(fetches, work + "big.curlrc");
        big.curl = std::min(big.curl, curlBig);
        big.curlSynced = std::min(big.curlSynced, curlBig + syncFiles(fetches));
        emptyFolder(curlOut);
    }

    std::printf("best of %d rounds; server: 127.0.0.1 in the benchmark process; curl: one process per list\n", rounds);
    report("200 patch files, direct fetch", smallBytes, smallDirect);
    report("200 patch files, via empty cache", smallBytes, smallCached);
    report("10 MiB file x20, direct fetch", kBigSize * kBigRepeats, big);
    std::printf("%-34s %6.1f MiB | engine %6.3f s for 200 revalidations, no body transferred\n",
                "200 patch files, cache current", static_cast<double>(smallBytes) / (1 << 20), revalidate);
    std::printf("progress messages posted to the window: %ld\n", window.posts);
    fs::remove_all(work);
    return 0;
}
