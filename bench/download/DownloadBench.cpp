// The downloads against the curl command line, figures side by side: the whole headless
// patcher fetching and applying 120 small archives from a server that answers after 50 ms
// (against curl one after another on one connection, and curl with 6 in parallel), then the
// engine's downloader fetching 200 patch-sized files and 20 files of 10 MiB on loopback.
// Run by bench/download/run.sh.
//
// usage: download-bench [ROUNDS] [WORK_FOLDER] [NIMBREL_CLI]

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

#include "engine/FileDownloader.h"
#include "engine/PatchEngine.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "platform/PatchWindow.h"
#include "tests/engine/ArchiveFiles.h"
#include "tests/support/TestHttpServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kSmallFiles = 200;
constexpr std::size_t kBigSize = 10u << 20;
constexpr int kBigRepeats = 20;
constexpr int kFarArchives = 120;
constexpr int kFarDelayMs = 50;
const std::string kFolder = "/quorlanpatch/plus_real/";

// Counts what a window would be sent, so the benchmark pays for progress like the launcher.
class CountingWindow : public nimbrel::PatchWindow {
public:
    void postProgress(int) override { ++posts; }
    void postResult(int, int) override { ++posts; }
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

// Runs a program to its end; its wall time in seconds, or a negative value when it failed.
double runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    double elapsed = seconds(Clock::now() - start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

double runCurlParallel(const std::vector<std::pair<std::string, std::string>>& fetches, const std::string& configPath) {
    {
        std::ofstream config(configPath);
        for (const auto& [url, output] : fetches) config << "url = \"" << url << "\"\noutput = \"" << output << "\"\n";
    }
    return runProgram(
        // curl 7.88 draws its parallel progress meter despite --silent.
        {"curl", "--silent", "--show-error", "--fail", "--no-progress-meter", "--parallel", "--parallel-max", "6",
         "--config", configPath},
        {});
}

void row(const char* what, double engine, const char* reference, double other, const char* target) {
    std::printf("%-44s | nimbrel %7.3f s | %-28s %7.3f s | ratio %5.2fx (target %s)\n", what, engine, reference, other,
                engine / other, target);
}

void throughputRow(const char* what, std::uint64_t bytes, double engine, double curl, const char* target) {
    double mib = static_cast<double>(bytes) / (1 << 20);
    std::printf("%-44s | nimbrel %7.1f MiB/s %6.3f s | curl %7.1f MiB/s %6.3f s | throughput ratio %.2fx (target %s)\n",
                what, mib / engine, engine, mib / curl, curl, curl / engine, target);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::string work = argc > 2 ? argv[2] : "/tmp/nimbrel-downloadbench";
    const std::string cli = argc > 3 ? argv[3] : "";
    if (work.back() != '/') work += '/';
    fs::create_directories(work + "game/update");
    fs::create_directories(work + "curl");
    const std::string update = work + "game/update/";
    const std::string curlOut = work + "curl/";
    ::setenv("XDG_CACHE_HOME", (work + "cache").c_str(), 1);

    // --- 120 small archives from a far server: the whole headless patcher ---------------
    double farCli = 1e9, farCurl = 1e9, farCurlParallel = 1e9;
    if (!cli.empty()) {
        nimbrel::test::TestHttpServer far;
        far.setDelay(std::chrono::milliseconds(kFarDelayMs));
        const std::string game = work + "far-game/";
        fs::create_directories(game + "update");
        std::string list = "[DEFAULT]\r\nCUR_VERSION = " + std::to_string(kFarArchives) + "\r\n";
        std::vector<std::pair<std::string, std::string>> fetches{{far.url(kFolder + "version.ini"), curlOut + "v"}};
        for (int v = 1; v <= kFarArchives; ++v) {
            const std::string name = "root_" + std::to_string(v) + ".zip";
            nimbrel::test::writeArchive(work + name, {{"file_" + std::to_string(v) + ".bin", content(8192, v)}});
            std::ifstream in(work + name, std::ios::binary);
            far.setFile(kFolder + name, std::string(std::istreambuf_iterator<char>(in), {}));
            list += "[VERSION = " + std::to_string(v) + "]\r\nroot=" + name + "\r\n";
            fetches.emplace_back(far.url(kFolder + name), curlOut + name);
        }
        far.setFile(kFolder + "version.ini", list);
        const std::vector<std::string> environment{"XDG_CACHE_HOME=" + work + "far-cache",
                                                   "XDG_RUNTIME_DIR=" + work + "far-cache"};
        for (int round = 0; round < rounds; ++round) {
            fs::remove_all(work + "far-cache");
            if (runProgram({cli, "--game-dir", game, "version", "--write", "0"}, environment) < 0)
                return std::fprintf(stderr, "nimbrel-cli cannot write the version\n"), 1;
            double t = runProgram({cli, "--game-dir", game, "--patch-url", far.url(kFolder)}, environment);
            if (t < 0) return std::fprintf(stderr, "nimbrel-cli failed against the far server\n"), 1;
            farCli = std::min(farCli, t);
            emptyFolder(curlOut);
            farCurl = std::min(farCurl, runCurl(fetches, work + "far.curlrc"));
            emptyFolder(curlOut);
            t = runCurlParallel(fetches, work + "far-parallel.curlrc");
            if (t < 0) return std::fprintf(stderr, "curl --parallel failed\n"), 1;
            farCurlParallel = std::min(farCurlParallel, t);
            emptyFolder(curlOut);
        }
        nimbrel::HttpClient::dropIdleConnections();
    }

    // --- loopback: 200 patch files and 20 files of 10 MiB through the engine ------------
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
    std::vector<std::string> bigNames;
    for (int i = 0; i < kBigRepeats; ++i) {
        bigNames.push_back("client_" + std::to_string(i) + ".zip");
        server.setFile(kFolder + bigNames.back(), content(kBigSize, 999 + i));
    }

    CountingWindow window;
    nimbrel::PatchEngine engine(&window);
    engine.initialize(work + "game/");
    engine.setPatchBaseUrl(server.url(kFolder));
    auto listOf = [](const std::vector<std::string>& files) {
        std::vector<nimbrel::PatchListEntry> entries;
        for (const auto& name : files) {
            nimbrel::PatchListEntry entry;
            entry.fileName = name;
            entry.folderKey = "root";
            entries.push_back(entry);
        }
        return entries;
    };

    std::vector<nimbrel::PatchListEntry> entries;
    double small = 1e9, smallCurl = 1e9, big = 1e9, bigCurl = 1e9, revalidate = 1e9;
    for (int round = 0; round < rounds; ++round) {
        entries = listOf(names);
        emptyFolder(update);
        fs::remove_all(work + "cache");
        auto start = Clock::now();
        if (nimbrel::FileDownloader(engine.context()).downloadPatchFiles(entries) !=
            nimbrel::FileDownloader::kAllFetched)
            return std::fprintf(stderr, "downloadPatchFiles failed\n"), 1;
        small = std::min(small, seconds(Clock::now() - start));
        if (folderBytes(update) != smallBytes) return std::fprintf(stderr, "engine wrote the wrong amount\n"), 1;

        // A run after a failed one: every archive is still current, the server only confirms it.
        emptyFolder(update);
        start = Clock::now();
        if (nimbrel::FileDownloader(engine.context()).downloadPatchFiles(entries) !=
            nimbrel::FileDownloader::kAllFetched)
            return std::fprintf(stderr, "downloadPatchFiles failed\n"), 1;
        revalidate = std::min(revalidate, seconds(Clock::now() - start));

        emptyFolder(curlOut);
        std::vector<std::pair<std::string, std::string>> fetches;
        for (const auto& name : names) fetches.emplace_back(server.url(kFolder + name), curlOut + name);
        smallCurl = std::min(smallCurl, runCurl(fetches, work + "small.curlrc"));
        if (folderBytes(curlOut) != smallBytes) return std::fprintf(stderr, "curl wrote the wrong amount\n"), 1;
        emptyFolder(curlOut);

        entries = listOf(bigNames);
        emptyFolder(update);
        fs::remove_all(work + "cache");
        start = Clock::now();
        if (nimbrel::FileDownloader(engine.context()).downloadPatchFiles(entries) !=
            nimbrel::FileDownloader::kAllFetched)
            return std::fprintf(stderr, "downloadPatchFiles failed on big files\n"), 1;
        big = std::min(big, seconds(Clock::now() - start));
        emptyFolder(update);
        fs::remove_all(work + "cache");

        fetches.clear();
        for (const auto& name : bigNames) fetches.emplace_back(server.url(kFolder + name), curlOut + name);
        bigCurl = std::min(bigCurl, runCurl(fetches, work + "big.curlrc"));
        emptyFolder(curlOut);
    }

    std::printf("best of %d rounds; servers: 127.0.0.1 in the benchmark process; curl: one process per list\n", rounds);
    if (!cli.empty()) {
        row("120 archives, server answers after 50 ms", farCli, "curl one after another", farCurl, "<= 0.40x");
        row("120 archives, server answers after 50 ms", farCli, "curl --parallel-max 6", farCurlParallel, "<= 1.20x");
    }
    throughputRow("200 patch files, loopback", smallBytes, small, smallCurl, ">= 0.95x");
    throughputRow("10 MiB x 20, loopback", kBigSize * kBigRepeats, big, bigCurl, ">= 0.95x");
    std::printf("%-44s | nimbrel %6.3f s for 200 revalidations, no body transferred\n",
                "200 patch files, cache current", revalidate);
    std::printf("progress messages posted to the window: %ld\n", window.posts);
    fs::remove_all(work);
    return 0;
}
