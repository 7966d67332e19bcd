// downloadFile and downloadPatchFiles against a real HTTP server on 127.0.0.1.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "engine/FileDownloader.h"
#include "engine/PatchEngine.h"
#include "engine/TransferMeter.h"
#include "platform/DownloadCache.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/WindowMessages.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"
#include "tests/support/WaitUntil.h"

namespace nimbrel {
namespace {

using test::RecordingWindow;
using test::TempGameFolder;
using test::TestHttpServer;
using Delivery = TestHttpServer::Delivery;

constexpr const char* kPatchFolder = "/quorlanpatch/plus_real/";

// What the files directly in folder hold together (0 when there is none).
std::uintmax_t bytesUnder(const std::string& folder) {
    std::error_code error;
    std::uintmax_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (const std::uintmax_t size = entry.file_size(error); !error) total += size;
    return total;
}

std::string bytes(std::size_t size, unsigned seed = 7) {
    std::string data(size, '\0');
    unsigned x = seed;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

class FileDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_CACHE_HOME", cacheHome.path().c_str(), 1);
        game.makeFolder("update");
        engine.initialize(game.path());
        engine.setPatchBaseUrl(server.url(kPatchFolder));
    }
    void TearDown() override { ::unsetenv("XDG_CACHE_HOME"); }

    std::string path(const std::string& name) const { return std::string(kPatchFolder) + name; }
    std::string url(const std::string& name) const { return server.url(path(name)); }
    void addEntry(const std::string& name) {
        PatchListEntry entry;
        entry.fileName = name;
        entry.folderKey = "root";
        entry.targetFolder = game.path();
        entries.push_back(entry);
    }

    TempGameFolder game;
    TempGameFolder cacheHome;
    TestHttpServer server;
    RecordingWindow window;
    PatchEngine engine{&window};
    std::vector<PatchListEntry> entries;
};

// --- the early return and refused names --------------------------------------------------

TEST_F(FileDownloaderTest, PresentFileIsAcceptedWithLabelButNoRequestOrProgress) {
    game.write("update/a.zip", "already here");
    for (bool useCache : {false, true}) {
        window.clear();
        EXPECT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", useCache), 0);
        EXPECT_EQ(window.label(IDC_ITEM_LABEL), "a.zip");
        EXPECT_TRUE(window.progress().empty());
    }
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_EQ(game.read("update/a.zip"), "already here");
}

TEST_F(FileDownloaderTest, NamesLeavingTheUpdateFolderAreRefusedWithoutRequest) {
    for (const char* name :
         {"../escape.zip", "..\\escape.zip", "/etc/passwd", "sub/a.zip", "C:x.zip", "", ".nimbrel-Ab12Cd.tmp"}) {
        EXPECT_EQ(FileDownloader(engine.context()).downloadFile(name, false), -2) << name;
        EXPECT_EQ(FileDownloader(engine.context()).downloadFile(name, true), -2) << name;
    }
    addEntry("../escape.zip");
    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), -4);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "../escape.zip file download failed (refused file name)");
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_FALSE(game.exists("escape.zip"));
}

// --- failures and the three attempts -----------------------------------------------------

TEST_F(FileDownloaderTest, NotFoundThreeTimesGivesMinusTwoAfterThreeProgressResets) {
    for (bool useCache : {false, true}) {
        window.clear();
        server.clearLog();
        FileDownloader downloader(engine.context());
        EXPECT_EQ(downloader.downloadFile("missing.zip", useCache), -2);
        EXPECT_EQ(window.progress(), (std::vector<std::intptr_t>{0, 0, 0}));
        // One request per attempt, cached or not.
        EXPECT_EQ(server.requestCount(path("missing.zip")), 3);
        EXPECT_EQ(downloader.failureReason(), "HTTP 404");
        EXPECT_FALSE(game.exists("update/missing.zip"));
    }
}

TEST_F(FileDownloaderTest, ServerErrorsOnEarlierAttemptsAreRetriedUntilTheThird) {
    TestHttpServer::Reply reply;
    reply.content = "recovered";
    reply.failFirst = 2;
    reply.failStatus = 500;
    server.setReply(path("flaky.zip"), reply);
    EXPECT_EQ(FileDownloader(engine.context()).downloadFile("flaky.zip", false), 0);
    EXPECT_EQ(game.read("update/flaky.zip"), "recovered");
    EXPECT_EQ(server.requestCount(path("flaky.zip")), 3);
    EXPECT_EQ(window.progress(), (std::vector<std::intptr_t>{0, 0, 0, 100}));
}

TEST_F(FileDownloaderTest, TruncatedBodyIsNeverRenamedIntoPlaceNorCached) {
    TestHttpServer::Reply reply;
    reply.content = bytes(10000);
    reply.delivery = Delivery::Truncated;
    reply.truncateAt = 3000;
    server.setReply(path("cut.zip"), reply);
    for (bool useCache : {false, true}) {
        window.clear();
        EXPECT_EQ(FileDownloader(engine.context()).downloadFile("cut.zip", useCache), -2) << useCache;
        EXPECT_FALSE(game.exists("update/cut.zip"));
        EXPECT_FALSE(game.exists("update/tmp.tmp"));
        EXPECT_GE(window.progress().size(), 3u);
    }
    EXPECT_FALSE(FileSystem::fileExists(DownloadCache().bodyPath(url("cut.zip"))));
}

// Another attempt would meet the same folder; the server is not to blame.
TEST_F(FileDownloaderTest, UnwritableUpdateFolderEndsAtOnceAndIsNamed) {
    server.setFile(path("a.zip"), "content");
    std::filesystem::remove(game.file("update"));
    game.write("update", "a file where the update folder must be");
    FileDownloader downloader(engine.context());
    EXPECT_EQ(downloader.downloadFile("a.zip", false), -1);
    EXPECT_EQ(downloader.failureReason(), "cannot write " + game.file("update/") + " (Not a directory)");
    EXPECT_EQ(server.requestCount(path("a.zip")), 1);
    EXPECT_FALSE(game.exists("update/a.zip"));
}

// --- bodies of every shape ---------------------------------------------------------------

struct BodyCase {
    std::size_t size;
    Delivery delivery;
};

class FileDownloaderBodyTest : public FileDownloaderTest,
                               public ::testing::WithParamInterface<std::tuple<BodyCase, bool>> {};

TEST_P(FileDownloaderBodyTest, WholeBodyArrivesAndProgressClimbsToOneHundredWithoutRepeats) {
    const auto [body, useCache] = GetParam();
    TestHttpServer::Reply reply;
    reply.content = bytes(body.size);
    reply.delivery = body.delivery;
    server.setReply(path("p.zip"), reply);

    EXPECT_EQ(FileDownloader(engine.context()).downloadFile("p.zip", useCache), 0);
    EXPECT_EQ(game.read("update/p.zip"), reply.content);
    EXPECT_FALSE(game.exists("update/tmp.tmp"));
    std::vector<std::intptr_t> progress = window.progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);
    for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GT(progress[i], progress[i - 1]) << "at " << i;
}

std::string bodyCaseName(const ::testing::TestParamInfo<std::tuple<BodyCase, bool>>& info) {
    static const char* deliveries[] = {"Normal", "NoContentLength", "Chunked", "Truncated", "Slow"};
    const BodyCase& body = std::get<0>(info.param);
    return std::string(deliveries[static_cast<int>(body.delivery)]) + "_" + std::to_string(body.size) +
           (std::get<1>(info.param) ? "_Cached" : "_Direct");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, FileDownloaderBodyTest,
    ::testing::Combine(::testing::Values(BodyCase{1, Delivery::Normal}, BodyCase{1024, Delivery::Normal},
                                         BodyCase{64 * 1024, Delivery::Normal}, BodyCase{1000003, Delivery::Normal},
                                         BodyCase{3 * 1024 * 1024, Delivery::Normal},
                                         BodyCase{5000, Delivery::NoContentLength},
                                         BodyCase{4096, Delivery::NoContentLength}, BodyCase{300000, Delivery::Chunked},
                                         BodyCase{0, Delivery::Normal}),
                       ::testing::Bool()),
    bodyCaseName);

TEST_F(FileDownloaderTest, NamesNeedingEscapesReachTheServerAsNamed) {
    const std::string name = "패치 1#2%.zip";
    server.setFile(path(name), "escaped");
    EXPECT_EQ(FileDownloader(engine.context()).downloadFile(name, false), 0);
    EXPECT_EQ(game.read("update/" + name), "escaped");
}

TEST_F(FileDownloaderTest, RequestsCarryTheExecutableNameAsUserAgent) {
    server.setFile(path("a.zip"), "x");
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", false), 0);
    ASSERT_EQ(server.requests(path("a.zip")).size(), 1u);
    EXPECT_EQ(server.requests(path("a.zip"))[0].userAgent, ExecutablePath::name());
}

// --- stopping ----------------------------------------------------------------------------

TEST_F(FileDownloaderTest, StopRequestedOnEntryReturnsMinusSevenAtOnce) {
    engine.stopFlag() = 1;
    EXPECT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", false), -7);
    addEntry("a.zip");
    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), -7);
    EXPECT_EQ(server.requestCount(), 0);
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(FileDownloaderTest, StopDuringATricklingBodyEndsTheDownloadPromptly) {
    TestHttpServer::Reply reply;
    reply.content = bytes(1 << 20);
    reply.delivery = Delivery::Slow;
    reply.slowChunk = 16;
    reply.slowInterval = std::chrono::milliseconds(200);
    server.setReply(path("slow.zip"), reply);

    for (bool useCache : {false, true}) {
        engine.stopFlag() = 0;
        std::chrono::steady_clock::time_point stopAt;
        std::thread stopper([&] {
            // Stopped once the body has begun to arrive: a staged file in the update folder holds bytes.
            (void)test::waitUntil([&] { return bytesUnder(game.file("update")) > 0; });
            stopAt = std::chrono::steady_clock::now();
            engine.stopFlag() = 1;
        });
        int result = FileDownloader(engine.context()).downloadFile("slow.zip", useCache);
        auto returned = std::chrono::steady_clock::now();
        stopper.join();
        server.clearLog();
        EXPECT_EQ(result, -7) << useCache;
        // The whole body would take hours; a stop is seen within about a second.
        EXPECT_LT(returned - stopAt, std::chrono::seconds(10)) << useCache;
        EXPECT_FALSE(game.exists("update/slow.zip"));
        EXPECT_FALSE(FileSystem::fileExists(DownloadCache().bodyPath(url("slow.zip"))));
    }
}

// --- the download cache ------------------------------------------------------------------

TEST_F(FileDownloaderTest, UnchangedArchiveIsNotTransferredAgainButAChangedOneIs) {
    server.setFile(path("a.zip"), "first version");
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    ASSERT_TRUE(game.exists("update/a.zip"));

    // A later run starts with an emptied update folder.
    std::remove(game.file("update/a.zip").c_str());
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    EXPECT_EQ(game.read("update/a.zip"), "first version");
    EXPECT_EQ(server.requestCount(path("a.zip")), 2);
    EXPECT_EQ(server.bodyCount(path("a.zip")), 1);
    EXPECT_FALSE(server.requests(path("a.zip"))[1].ifNoneMatch.empty());

    server.setFile(path("a.zip"), "second version");
    std::remove(game.file("update/a.zip").c_str());
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    EXPECT_EQ(game.read("update/a.zip"), "second version");
    EXPECT_EQ(server.bodyCount(path("a.zip")), 2);
}

TEST_F(FileDownloaderTest, FetchedArchiveIsWrittenOnceAndOutlivesTheUpdateFolderInTheCache) {
    server.setFile(path("a.zip"), bytes(300000));
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    // One file under two names: the disk took the bytes once, not once more for a copy.
    struct stat inUpdate {};
    struct stat inCache {};
    const std::string body = DownloadCache().bodyPath(url("a.zip"));
    ASSERT_EQ(::stat(game.file("update/a.zip").c_str(), &inUpdate), 0);
    ASSERT_EQ(::stat(body.c_str(), &inCache), 0);
    EXPECT_EQ(inUpdate.st_ino, inCache.st_ino);
    EXPECT_EQ(inCache.st_nlink, 2u);
    for (const auto& entry : std::filesystem::directory_iterator(game.file("update")))
        EXPECT_EQ(entry.path().filename(), "a.zip");  // no temporary left beside it

    // Emptying the update folder leaves the entry whole, and it is still taken as current.
    std::remove(game.file("update/a.zip").c_str());
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    EXPECT_EQ(game.read("update/a.zip"), bytes(300000));
    EXPECT_EQ(server.bodyCount(path("a.zip")), 1);
}

TEST_F(FileDownloaderTest, DamagedCacheEntryIsNeverCopiedAndTheFileIsFetchedDirectly) {
    server.setFile(path("a.zip"), bytes(50000));
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    const std::string body = DownloadCache().bodyPath(url("a.zip"));
    {
        FILE* f = std::fopen(body.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fputs("scribbled over", f);
        std::fclose(f);
    }
    std::remove(game.file("update/a.zip").c_str());
    server.clearLog();

    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("a.zip", true), 0);
    EXPECT_EQ(game.read("update/a.zip"), bytes(50000));
    auto requests = server.requests(path("a.zip"));
    ASSERT_EQ(requests.size(), 2u);  // the revalidation that found the copy current, then a whole fetch
    EXPECT_EQ(requests[0].status, 304);
    EXPECT_EQ(requests[1].status, 200);
    EXPECT_TRUE(requests[1].ifNoneMatch.empty());
}

TEST_F(FileDownloaderTest, CachedDownloadReportsProgressThroughTheCallback) {
    server.setFile(path("big.zip"), bytes(2 * 1024 * 1024));
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("big.zip", true), 0);
    std::vector<std::intptr_t> progress = window.progress();
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);

    // Revalidated from the cache: the callback still brings the bar to 100.
    std::remove(game.file("update/big.zip").c_str());
    window.clear();
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("big.zip", true), 0);
    EXPECT_EQ(window.progress(), (std::vector<std::intptr_t>{0, 100}));
}

TEST_F(FileDownloaderTest, PatchListIsAlwaysFetchedFreshAndLeavesNoCacheEntry) {
    server.setFile(path("version.ini"), "list one");
    // A stale entry from an earlier cached fetch of the same URL.
    DownloadCache cache;
    ASSERT_EQ(FileDownloader(engine.context()).downloadFile("version.ini", true), 0);
    ASSERT_TRUE(FileSystem::fileExists(cache.bodyPath(url("version.ini"))));
    std::remove(game.file("update/version.ini").c_str());
    server.clearLog();

    for (int run = 0; run < 2; ++run) {
        std::remove(game.file("update/version.ini").c_str());
        ASSERT_EQ(FileDownloader(engine.context()).downloadFile("version.ini", false), 0);
    }
    EXPECT_EQ(game.read("update/version.ini"), "list one");
    EXPECT_EQ(server.bodyCount(path("version.ini")), 2);
    for (const auto& request : server.requests(path("version.ini"))) {
        EXPECT_TRUE(request.ifNoneMatch.empty());
        EXPECT_TRUE(request.ifModifiedSince.empty());
        EXPECT_EQ(request.cacheControl, "no-cache");
    }
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(url("version.ini"))));
}

// --- downloadPatchFiles ------------------------------------------------------------------

TEST_F(FileDownloaderTest, EmptyPatchListGivesMinusThreeWithoutBox) {
    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), -3);
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(FileDownloaderTest, AllListedFilesDownloadInOrder) {
    for (const char* name : {"p1.zip", "del1.txt", "p2.zip"}) {
        server.setFile(path(name), std::string("content of ") + name);
        addEntry(name);
    }
    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), 1);
    EXPECT_EQ(window.labelHistory(IDC_ITEM_LABEL), (std::vector<std::string>{"p1.zip", "del1.txt", "p2.zip"}));
    EXPECT_EQ(game.read("update/del1.txt"), "content of del1.txt");
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(FileDownloaderTest, FailedFileShowsItsBoxWithTheReasonAndNothingIsNamed) {
    server.setFile(path("p1.zip"), "one");
    server.setFile(path("p3.zip"), "three");
    for (const char* name : {"p1.zip", "p2.zip", "p3.zip"}) addEntry(name);

    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), -4);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "p2.zip file download failed (HTTP 404)");
    EXPECT_EQ(server.requestCount(path("p2.zip")), 3);
    // Fetched alongside, but a failed run names none of them.
    EXPECT_FALSE(game.exists("update/p1.zip"));
    EXPECT_FALSE(game.exists("update/p3.zip"));
}

// --- bytes, time left and the rate limit --------------------------------------------------

TEST_F(FileDownloaderTest, BytesFollowTheWholeDownloadFromTheSignedLengthsOrTheAnswers) {
    TestHttpServer::Reply slow;
    slow.content = bytes(768 * 1024, 3);
    slow.delivery = Delivery::Slow;
    slow.slowChunk = 32 * 1024;
    slow.slowInterval = std::chrono::milliseconds(20);
    server.setReply(path("big.zip"), slow);
    server.setFile(path("small.zip"), bytes(40 * 1024, 4));
    addEntry("small.zip");
    addEntry("big.zip");
    const std::uint64_t total = 768 * 1024 + 40 * 1024;

    // The signed lengths size the bar; a signed run also holds each body to its digest.
    const std::string digest(64, '0');
    const std::optional<PatchSignature> manifest = PatchSignature::parse(
        "nimbrel-patch-signature 2\nsignature 0123456789abcdef " + std::string(86, 'A') +
        "==\nchannel plus_real\nserial 1\nexpires 0\nlist 1 " + digest + " version.ini\nfile 40960 " +
        PatchSignature::describeBytes(bytes(40 * 1024, 4), "").sha256 + " small.zip\nfile 786432 " +
        PatchSignature::describeBytes(slow.content, "").sha256 + " big.zip\n");
    ASSERT_TRUE(manifest.has_value());

    for (bool signedLengths : {true, false}) {
        SCOPED_TRACE(signedLengths ? "signed lengths" : "lengths from the answers");
        window.clear();
        for (const char* name : {"small.zip", "big.zip"}) {
            DownloadCache().removeEntry(url(name));
            std::filesystem::remove(game.file(std::string("update/") + name));
        }
        FileDownloader downloader(engine.context());
        if (signedLengths) downloader.expectSigned(*manifest);
        ASSERT_EQ(downloader.downloadPatchFiles(entries), 1);

        const std::vector<RecordingWindow::Transfer> reports = window.transfers();
        ASSERT_GE(reports.size(), 3u);
        // Signed, the whole is known before the first byte; otherwise from the answers on.
        if (signedLengths) {
            EXPECT_EQ(reports.front().progress.total, total);
        }
        std::uint64_t done = 0;
        for (const auto& report : reports) {
            EXPECT_TRUE(report.progress.total == 0 || report.progress.total == total) << report.progress.total;
            EXPECT_GE(report.progress.done, done);
            EXPECT_LE(report.progress.done, total);
            done = report.progress.done;
        }
        EXPECT_EQ(done, total);
        const std::vector<std::intptr_t> bar = window.progress();
        EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
        EXPECT_EQ(bar.back(), 100);
        // The bar moved in steps along the slow body, not in one jump at its end.
        EXPECT_GE(bar.size(), 10u);
    }
}

TEST_F(FileDownloaderTest, ResumedBytesCountAsDoneAtOnceAndTheStatusSaysSo) {
    const std::string body = bytes(512 * 1024, 5);
    TestHttpServer::Reply slow;
    slow.content = body;
    slow.delivery = Delivery::Slow;
    slow.slowChunk = 16 * 1024;
    slow.slowInterval = std::chrono::milliseconds(100);
    server.setReply(path("big.zip"), slow);
    addEntry("big.zip");

    std::thread stopper([&] {
        (void)test::waitUntil([&] {
            const auto reports = window.transfers();
            return !reports.empty() && reports.back().progress.done >= 64 * 1024;
        });
        engine.stopFlag() = 1;
    });
    EXPECT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), -7);
    stopper.join();
    engine.stopFlag() = 0;

    server.setFile(path("big.zip"), body);
    window.clear();
    ASSERT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), 1);
    EXPECT_EQ(game.read("update/big.zip"), body);
    ASSERT_FALSE(server.requests(path("big.zip")).back().range.empty());
    const auto reports = window.transfers();
    auto first = std::find_if(reports.begin(), reports.end(), [](const auto& r) { return r.progress.done > 0; });
    ASSERT_NE(first, reports.end());
    EXPECT_GE(first->progress.resumed, 64u * 1024);
    EXPECT_EQ(first->progress.done, first->progress.resumed);
    EXPECT_EQ(TransferMeter::describe(first->progress).rfind("resumed, ", 0), 0u);
}

// A measurement, not a deadline: the limit is far below what the loopback carries, and every
// span of five seconds between two reports must carry the rate within a tenth.
TEST_F(FileDownloaderTest, RateLimitHoldsAllTransfersTogetherWithinATenthOverFiveSeconds) {
    constexpr std::uint64_t kRate = 1024 * 1024;
    constexpr std::size_t kFileSize = 1792 * 1024;
    for (const char* name : {"r1.zip", "r2.zip", "r3.zip", "r4.zip"}) {
        server.setFile(path(name), bytes(kFileSize, name[1]));
        addEntry(name);
    }
    engine.setMaxBytesPerSecond(kRate);
    ASSERT_EQ(FileDownloader(engine.context()).downloadPatchFiles(entries), 1);
    EXPECT_EQ(game.read("update/r3.zip"), bytes(kFileSize, '3'));

    const auto reports = window.transfers();
    int windows = 0;
    for (std::size_t from = 0; from < reports.size(); ++from) {
        std::size_t to = from;
        while (to + 1 < reports.size() && reports[to + 1].at - reports[from].at <= std::chrono::seconds(5)) ++to;
        const double span = std::chrono::duration<double>(reports[to].at - reports[from].at).count();
        if (span < 4.5) continue;
        const double rate = static_cast<double>(reports[to].progress.done - reports[from].progress.done) / span;
        EXPECT_NEAR(rate, kRate, kRate / 10.0) << "from " << from << " over " << span << " s";
        ++windows;
    }
    EXPECT_GT(windows, 0);
}

}  // namespace
}  // namespace nimbrel
