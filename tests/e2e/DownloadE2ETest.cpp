// The headless patcher's downloads as a real process against a real server on 127.0.0.1:
// how far a run gets, what the player is told when a download fails, that a later run takes
// unchanged archives from the download cache, and how it copes with far, flaky, silent,
// compressing and HTTPS servers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/engine/ArchiveFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReadFile.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"
#include "tests/support/WaitUntil.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;
using test::TestHttpServer;

#ifdef NIMBREL_CLI_PATH

constexpr const char* kPrefix = "/quorlanpatch/plus_real/";

class DownloadE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        game = outer.makeFolder("game");
        home = outer.makeFolder("home");
        cacheHome = home;
        ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
        std::filesystem::create_directories(game + "update");
    }

    // Runs nimbrel-cli on the game folder with its own lock and cache folders. With
    // interruptWhen, the signal is sent once that holds.
    test::ProcessOutput cli(std::vector<std::string> arguments, const std::function<bool()>& interruptWhen = {},
                            int signalNumber = SIGINT) {
        std::vector<std::string> args{NIMBREL_CLI_PATH, "--game-dir", game};
        args.insert(args.end(), arguments.begin(), arguments.end());
        test::ChildProcess::Options options;
        options.setEnvironment = {"XDG_RUNTIME_DIR=" + home, "XDG_CACHE_HOME=" + cacheHome};
        options.setEnvironment.insert(options.setEnvironment.end(), environment.begin(), environment.end());
        options.unsetEnvironment = {"NIMBREL_PATCH_URL", "SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE"};
        options.outputFolder = outer.path();
        test::ChildProcess child(args, options);
        if (interruptWhen) {
            EXPECT_TRUE(test::waitUntil(interruptWhen));
            child.signal(signalNumber);
        }
        return child.wait();
    }

    test::ProcessOutput patch() { return cli({"--patch-url", server.url(kPrefix)}); }

    // Bytes held in the cache's partial downloads.
    std::size_t partialBytes() const {
        std::size_t total = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(cacheHome + "nimbrel", error))
            if (entry.path().extension() == ".partial")
                if (const std::uintmax_t size = entry.file_size(error); !error) total += size;
        return total;
    }

    // Made for an archive's answer while its request is out (the list bypasses the cache).
    bool cacheHoldsAPartial() const {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(cacheHome + "nimbrel", error))
            if (entry.path().extension() == ".partial") return true;
        return false;
    }

    std::string publishArchive(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string archive = outer.path() + name;
        test::writeArchive(archive, files);
        std::string content = test::readFile(archive);
        server.setFile(std::string(kPrefix) + name, content);
        return content;
    }

    std::vector<std::string> environment;

    void publishOneVersion() {
        server.setFile(std::string(kPrefix) + "version.ini",
                       "[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
        const std::string archive = outer.path() + "root_1.zip";
        test::writeArchive(archive, {{"readme.txt", "readme v1"}});
        server.setFile(std::string(kPrefix) + "root_1.zip", test::readFile(archive));
    }

    TempGameFolder outer;
    std::string game;
    std::string home;
    std::string cacheHome;
    TestHttpServer server;
};

// Players often keep their home, and so the download cache, on another disk than the game.
class CacheFolderE2ETest : public DownloadE2ETest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        DownloadE2ETest::SetUp();
        if (!GetParam()) return;
        char folder[] = "/dev/shm/nimbrel-cache-XXXXXX";
        struct stat cacheSide {}, gameSide {};
        if (::mkdtemp(folder) == nullptr) GTEST_SKIP() << "no /dev/shm here";
        elsewhere = folder;
        if (::stat(folder, &cacheSide) != 0 || ::stat(game.c_str(), &gameSide) != 0 || cacheSide.st_dev == gameSide.st_dev)
            GTEST_SKIP() << "/dev/shm is on the game's own file system here";
        cacheHome = elsewhere + "/";
    }
    void TearDown() override {
        if (!elsewhere.empty()) std::filesystem::remove_all(elsewhere);
    }
    std::string elsewhere;
};

TEST_F(DownloadE2ETest, OnlineRunDownloadsListAndArchivesAndGoesOnToApplyThem) {
    publishOneVersion();
    test::ProcessOutput run = patch();
    EXPECT_EQ(run.lastLine(), "result 1 stage 5") << run.out << run.err;
    EXPECT_EQ(test::readFile(game + "readme.txt"), "readme v1");
    auto requests = server.requests(std::string(kPrefix) + "version.ini");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].userAgent, "nimbrel-cli");
    EXPECT_EQ(requests[0].cacheControl, "no-cache");
}

TEST_P(CacheFolderE2ETest, RunAfterAFailedOneTakesFetchedArchivesFromTheCacheAndASuccessPrunesThem) {
    publishOneVersion();
    const std::string list =
        "[DEFAULT]\r\nCUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n"
        "[VERSION = 2]\r\nroot=root_2.zip\r\n";
    server.setFile(std::string(kPrefix) + "version.ini", list);
    test::ProcessOutput failed = patch();  // root_2.zip is missing
    ASSERT_EQ(failed.lastLine(), "result -4 stage 4") << failed.out << failed.err;
    EXPECT_NE(failed.err.find("root_2.zip file download failed (HTTP 404)"), std::string::npos) << failed.err;

    const std::string archive = outer.path() + "root_2.zip";
    test::writeArchive(archive, {{"readme.txt", "readme v2"}});
    server.setFile(std::string(kPrefix) + "root_2.zip", test::readFile(archive));
    test::ProcessOutput again = patch();
    EXPECT_EQ(again.lastLine(), "result 2 stage 5") << again.out << again.err;
    EXPECT_EQ(test::readFile(game + "readme.txt"), "readme v2");
    EXPECT_EQ(server.bodyCount(std::string(kPrefix) + "version.ini"), 2);
    EXPECT_EQ(server.requestCount(std::string(kPrefix) + "root_1.zip"), 2);
    EXPECT_EQ(server.bodyCount(std::string(kPrefix) + "root_1.zip"), 1);
    // Both versions are installed now: the cache keeps nothing of them, nor the update folder.
    for (const std::string& folder : {cacheHome + "nimbrel", game + "update"})
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            ADD_FAILURE() << entry.path() << " left behind";
}

INSTANTIATE_TEST_SUITE_P(, CacheFolderE2ETest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "CacheOnAnotherFileSystem" : "CacheBesideTheGame");
});

TEST_F(DownloadE2ETest, NoServerEndsAtStageOneAfterTheListBox) {
    int port = 0;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    test::ProcessOutput run = cli({"--patch-url", "http://127.0.0.1:" + std::to_string(port) + kPrefix});
    EXPECT_EQ(run.lastLine(), "result -2 stage 1") << run.out << run.err;
    EXPECT_NE(run.err.find("version.ini file download failed (connection refused)"), std::string::npos) << run.err;
}

TEST_F(DownloadE2ETest, ArchiveThatCannotBeDownloadedWholeEndsAtStageFourAndChangesNothing) {
    struct Case {
        const char* what;
        int status;
        TestHttpServer::Delivery delivery;
    };
    for (const Case& c : {Case{"missing", 404, TestHttpServer::Delivery::Normal},
                          Case{"cut short", 200, TestHttpServer::Delivery::Truncated}}) {
        publishOneVersion();
        TestHttpServer::Reply reply;
        reply.status = c.status;
        reply.content = std::string(5000, 'z');
        reply.delivery = c.delivery;
        reply.truncateAt = 1000;
        server.setReply(std::string(kPrefix) + "root_1.zip", reply);

        test::ProcessOutput run = patch();
        EXPECT_EQ(run.lastLine(), "result -4 stage 4") << c.what << run.out << run.err;
        EXPECT_NE(run.err.find("root_1.zip file download failed"), std::string::npos) << c.what << run.err;
        EXPECT_FALSE(std::filesystem::exists(game + "readme.txt")) << c.what;
        EXPECT_FALSE(std::filesystem::exists(game + "update/root_1.zip")) << c.what;
    }
}

TEST_F(DownloadE2ETest, InterruptDuringATricklingArchiveStopsTheRun) {
    publishOneVersion();
    TestHttpServer::Reply reply;
    reply.content = std::string(1 << 20, 'z');
    reply.delivery = TestHttpServer::Delivery::Slow;
    reply.slowChunk = 16;
    reply.slowInterval = std::chrono::milliseconds(200);
    server.setReply(std::string(kPrefix) + "root_1.zip", reply);

    // Interrupted once the body has begun to arrive; all of it would take hours.
    test::ProcessOutput run = cli({"--patch-url", server.url(kPrefix)}, [&] { return partialBytes() > 0; });
    EXPECT_EQ(run.lastLine(), "result -7 stage 4") << run.out << run.err;
    EXPECT_FALSE(std::filesystem::exists(game + "update/root_1.zip"));
}

TEST_F(DownloadE2ETest, InterruptBeforeTheServerAnswersLeavesNoFilesBehind) {
    server.setFile(std::string(kPrefix) + "version.ini",
                   "[DEFAULT]\r\nCUR_VERSION = 2\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n"
                   "[VERSION = 2]\r\nroot=root_2.zip\r\n");
    publishArchive("root_1.zip", {{"a.txt", "a"}});
    publishArchive("root_2.zip", {{"b.txt", "b"}});
    server.setDelay(std::chrono::milliseconds(1500));
    // The archives' requests are out once the files for their answers are made.
    test::ProcessOutput run = cli({"--patch-url", server.url(kPrefix)}, [&] { return cacheHoldsAPartial(); });
    server.setDelay(std::chrono::milliseconds(0));
    EXPECT_EQ(run.lastLine(), "result -7 stage 4") << run.out << run.err;
    // The files made for the answers while they were awaited go with the run.
    for (const std::string& folder : {home + "nimbrel", game + "update"})
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            ADD_FAILURE() << entry.path() << " left behind";
}

TEST_F(DownloadE2ETest, KilledRunIsResumedWhereItStoppedOrRestartedWhenTheServerCannot) {
    struct Case {
        const char* what;
        bool ignoreRanges;
        bool changeFile;
    };
    for (const Case& c : {Case{"range honoured", false, false}, Case{"range ignored", true, false},
                          Case{"file changed", false, true}}) {
        ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
        std::filesystem::remove_all(home + "nimbrel");
        std::filesystem::remove(game + "big.bin");
        server.clearLog();
        publishOneVersion();
        std::string big(2 << 20, '\0');
        unsigned x = 12345;
        for (char& b : big) b = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);  // incompressible
        std::string content = publishArchive("root_1.zip", {{"big.bin", big}});
        TestHttpServer::Reply slow;
        slow.content = content;
        slow.delivery = TestHttpServer::Delivery::Slow;
        slow.slowChunk = 64 * 1024;
        slow.slowInterval = std::chrono::milliseconds(100);
        server.setReply(std::string(kPrefix) + "root_1.zip", slow);

        const std::string path = std::string(kPrefix) + "root_1.zip";
        test::ProcessOutput killed = cli(
            {"--patch-url", server.url(kPrefix)}, [&] { return partialBytes() >= 256 * 1024; }, SIGKILL);
        const std::size_t held = partialBytes();
        ASSERT_GT(held, 0u) << c.what << killed.out << killed.err;

        server.setIgnoreRanges(c.ignoreRanges);
        if (c.changeFile)
            content = publishArchive("root_1.zip", {{"big.bin", big}, {"new.txt", "changed"}});
        else
            server.setFile(path, content);
        test::ProcessOutput resumed = patch();
        server.setIgnoreRanges(false);
        EXPECT_EQ(resumed.lastLine(), "result 1 stage 5") << c.what << resumed.out << resumed.err;
        EXPECT_EQ(test::readFile(game + "big.bin"), big) << c.what;
        // The held bytes count at once, and the download line says the download resumed.
        const bool rangeTaken = !c.ignoreRanges && !c.changeFile;
        EXPECT_EQ(resumed.out.find("download: resumed, ") != std::string::npos, rangeTaken) << c.what << resumed.out;

        auto requests = server.requests(path);
        ASSERT_EQ(requests.size(), 2u) << c.what;
        EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(held) + "-") << c.what;
        EXPECT_FALSE(requests[1].ifRange.empty()) << c.what;
        EXPECT_EQ(requests[1].status, c.ignoreRanges || c.changeFile ? 200 : 206) << c.what;
        EXPECT_EQ(requests[1].bodyBytes, c.ignoreRanges || c.changeFile ? content.size() : content.size() - held)
            << c.what;
    }
}

TEST_F(DownloadE2ETest, ServerThatStallsOrNeverAnswersIsDroppedAfterThreeAttempts) {
    environment = {"NIMBREL_STALL_SECONDS=1"};
    struct Case {
        const char* what;
        bool silent;  // answers nothing at all, else stops in the middle of a body
    };
    for (const Case& c : {Case{"stalled body", false}, Case{"silent", true}}) {
        publishOneVersion();
        TestHttpServer::Reply stalled;
        stalled.content = std::string(100000, 's');
        stalled.delivery = TestHttpServer::Delivery::Slow;
        stalled.slowChunk = 1;
        stalled.slowInterval = std::chrono::seconds(30);
        if (!c.silent) server.setReply(std::string(kPrefix) + "root_1.zip", stalled);
        server.setDelay(c.silent ? std::chrono::seconds(30) : std::chrono::milliseconds(0));
        server.clearLog();

        auto start = std::chrono::steady_clock::now();
        test::ProcessOutput run = patch();
        auto took = std::chrono::steady_clock::now() - start;
        server.setDelay(std::chrono::milliseconds(0));
        EXPECT_EQ(run.lastLine(), c.silent ? "result -2 stage 1" : "result -4 stage 4") << c.what << run.err;
        EXPECT_NE(run.err.find("file download failed"), std::string::npos) << c.what << run.err;
        EXPECT_NE(run.err.find("(timed out)"), std::string::npos) << c.what << run.err;
        EXPECT_LT(took, std::chrono::seconds(60))
            << c.what << " took " << std::chrono::duration_cast<std::chrono::seconds>(took).count();
    }
}

TEST_F(DownloadE2ETest, SilentServerFailsTheRunWithinTheDefaultLimits) {
    publishOneVersion();
    server.setDelay(std::chrono::seconds(200));
    auto start = std::chrono::steady_clock::now();
    test::ProcessOutput run = patch();
    auto took = std::chrono::steady_clock::now() - start;
    server.setDelay(std::chrono::milliseconds(0));
    EXPECT_EQ(run.lastLine(), "result -2 stage 1") << run.err;
    EXPECT_NE(run.err.find("version.ini file download failed (timed out)"), std::string::npos) << run.err;
    // Three stalls of 20 s and the pauses between them: the limits a player actually runs with.
    EXPECT_GT(took, std::chrono::seconds(60));
    EXPECT_LT(took, std::chrono::minutes(3));
}

TEST_F(DownloadE2ETest, MissingArchiveIsAskedForThreeTimesWithGrowingPauses) {
    publishOneVersion();
    server.remove(std::string(kPrefix) + "root_1.zip");
    test::ProcessOutput run = patch();
    EXPECT_EQ(run.lastLine(), "result -4 stage 4") << run.err;
    EXPECT_NE(run.err.find("root_1.zip file download failed (HTTP 404)"), std::string::npos) << run.err;
    auto requests = server.requests(std::string(kPrefix) + "root_1.zip");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_GE(requests[1].receivedAt - requests[0].receivedAt, std::chrono::milliseconds(750));
    EXPECT_GE(requests[2].receivedAt - requests[1].receivedAt, std::chrono::milliseconds(2300));
}

TEST_F(DownloadE2ETest, CompressedListAndArchivesAreDecodedAndAPatchUrlWithoutItsSlashWorks) {
    struct Case {
        const char* encoding;
        bool slash;
    };
    for (const Case& c : {Case{"gzip", true}, Case{"deflate", true}, Case{"", false}}) {
        ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
        std::filesystem::remove(game + "readme.txt");
        publishOneVersion();
        for (const char* name : {"version.ini", "root_1.zip"}) {
            const std::string path = std::string(kPrefix) + name;
            TestHttpServer::Reply reply;
            reply.content = test::readFile(outer.path() + "root_1.zip");
            if (std::string(name) == "version.ini")
                reply.content = "[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n";
            reply.contentEncoding = c.encoding;
            server.setReply(path, reply);
        }
        std::string url = server.url(kPrefix);
        if (!c.slash) url.pop_back();
        test::ProcessOutput run = cli({"--patch-url", url});
        EXPECT_EQ(run.lastLine(), "result 1 stage 5") << c.encoding << run.out << run.err;
        EXPECT_EQ(test::readFile(game + "readme.txt"), "readme v1") << c.encoding;
    }
}

TEST_F(DownloadE2ETest, HttpsTrustsTheAuthorityTheEnvironmentNamesAndNeverFallsBackToHttp) {
    TestHttpServer::Certificates made = TestHttpServer::makeCertificates(outer.path());
    ASSERT_FALSE(made.authority.empty()) << "openssl could not make the certificates";
    TestHttpServer secure(made.certificate, made.key);
    secure.setFile(std::string(kPrefix) + "version.ini",
                   "[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
    test::writeArchive(outer.path() + "root_1.zip", {{"readme.txt", "readme v1"}});
    secure.setFile(std::string(kPrefix) + "root_1.zip", test::readFile(outer.path() + "root_1.zip"));
    server.setFile(std::string(kPrefix) + "root_1.zip", test::readFile(outer.path() + "root_1.zip"));
    struct Case {
        const char* what;
        std::vector<std::string> environment;
        bool downgrade;
        const char* expected;
    };
    const Case cases[] = {
        {"trusted by SSL_CERT_FILE", {"SSL_CERT_FILE=" + made.authority}, false, "result 1 stage 5"},
        {"trusted by CURL_CA_BUNDLE", {"CURL_CA_BUNDLE=" + made.authority}, false, "result 1 stage 5"},
        {"unknown authority", {}, false, "(certificate not trusted)"},
        {"redirect to HTTP", {"SSL_CERT_FILE=" + made.authority}, true, "(redirect from HTTPS to HTTP refused)"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
        if (c.downgrade)
            secure.setRedirect(std::string(kPrefix) + "root_1.zip", server.url(std::string(kPrefix) + "root_1.zip"));
        environment = c.environment;
        test::ProcessOutput run = cli({"--patch-url", secure.url(kPrefix)});
        const std::string said = run.lastLine() + run.err;
        EXPECT_NE(said.find(c.expected), std::string::npos) << c.what << "\n" << run.out << run.err;
    }
    EXPECT_EQ(server.requestCount(), 0);
}

TEST_F(DownloadE2ETest, ArchivesFetchedTogetherBuildTheSameGameAsOneVersionAtATime) {
    constexpr int kVersions = 12;
    std::string list = "[DEFAULT]\r\nCUR_VERSION = " + std::to_string(kVersions) + "\r\n";
    for (int v = 1; v <= kVersions; ++v) {
        // Sizes that differ widely, so that the transfers end out of order.
        publishArchive("root_" + std::to_string(v) + ".zip",
                       {{"shared.txt", "from version " + std::to_string(v)},
                        {"v" + std::to_string(v) + ".bin", std::string((v % 3) * 300000 + 10, char('a' + v))}});
        list += "[VERSION = " + std::to_string(v) + "]\r\nroot=root_" + std::to_string(v) + ".zip\r\n";
    }
    server.setDelay(std::chrono::milliseconds(30));
    server.setFile(std::string(kPrefix) + "version.ini", list);
    ASSERT_EQ(patch().lastLine(), "result " + std::to_string(kVersions) + " stage 5");
    auto snapshot = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(game))
            if (entry.is_regular_file() && entry.path().string().find("/update/") == std::string::npos)
                files[entry.path().string()] = test::readFile(entry.path().string());
        return files;
    };
    const auto together = snapshot();

    std::filesystem::remove_all(game);
    std::filesystem::create_directories(game + "update");
    ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
    for (int v = 1; v <= kVersions; ++v) {
        std::string one = "[DEFAULT]\r\nCUR_VERSION = " + std::to_string(v) + "\r\n[VERSION = " + std::to_string(v) +
                          "]\r\nroot=root_" + std::to_string(v) + ".zip\r\n";
        server.setFile(std::string(kPrefix) + "version.ini", one);
        ASSERT_EQ(patch().lastLine(), "result " + std::to_string(v) + " stage 5");
    }
    EXPECT_EQ(snapshot(), together);
    EXPECT_EQ(together.at(game + "shared.txt"), "from version " + std::to_string(kVersions));
}

#else

TEST(DownloadE2ETest, NeedsTheHeadlessPatcher) { GTEST_SKIP() << "nimbrel-cli not built"; }

#endif

}  // namespace
}  // namespace nimbrel
