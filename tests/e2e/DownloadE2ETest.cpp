// The headless patcher's downloads as a real process against a real server on 127.0.0.1:
// how far a run gets, what the player is told when a download fails, and that a later run
// takes unchanged archives from the download cache.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/ArchiveFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;
using test::TestHttpServer;

#ifdef NIMBREL_CLI_PATH

constexpr const char* kPrefix = "/quorlanpatch/plus_real/";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class DownloadE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        game = outer.makeFolder("game");
        home = outer.makeFolder("home");
        ASSERT_EQ(cli({"version", "--write", "0"}).exitCode, 0);
        std::filesystem::create_directories(game + "update");
    }

    // Runs nimbrel-cli on the game folder with its own lock and cache folders. With
    // interruptAfter, SIGINT is sent once the server has seen a request for that path.
    test::ProcessOutput cli(std::vector<std::string> arguments, const std::string& interruptAfter = "") {
        std::vector<std::string> args{NIMBREL_CLI_PATH, "--game-dir", game};
        args.insert(args.end(), arguments.begin(), arguments.end());
        test::ChildProcess::Options options;
        options.setEnvironment = {"XDG_RUNTIME_DIR=" + home, "XDG_CACHE_HOME=" + home};
        options.unsetEnvironment = {"NIMBREL_PATCH_URL"};
        options.outputFolder = outer.path();
        test::ChildProcess child(args, options);
        if (!interruptAfter.empty()) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (server.requestCount(interruptAfter) == 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            child.signal(SIGINT);
        }
        return child.wait();
    }

    test::ProcessOutput patch() { return cli({"--patch-url", server.url(kPrefix)}); }

    void publishOneVersion() {
        server.setFile(std::string(kPrefix) + "version.ini",
                       "[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\nroot=root_1.zip\r\n");
        const std::string archive = outer.path() + "root_1.zip";
        test::writeArchive(archive, {{"readme.txt", "readme v1"}});
        server.setFile(std::string(kPrefix) + "root_1.zip", slurp(archive));
    }

    TempGameFolder outer;
    std::string game;
    std::string home;
    TestHttpServer server;
};

TEST_F(DownloadE2ETest, OnlineRunDownloadsListAndArchivesAndGoesOnToApplyThem) {
    publishOneVersion();
    test::ProcessOutput run = patch();
    EXPECT_EQ(run.lastLine(), "result 1 stage 5") << run.out << run.err;
    EXPECT_EQ(slurp(game + "readme.txt"), "readme v1");
    auto requests = server.requests(std::string(kPrefix) + "version.ini");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].userAgent, "nimbrel-cli");
    EXPECT_EQ(requests[0].cacheControl, "no-cache");
}

TEST_F(DownloadE2ETest, RunAfterAFailedOneTakesFetchedArchivesFromTheCacheAndASuccessPrunesThem) {
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
    server.setFile(std::string(kPrefix) + "root_2.zip", slurp(archive));
    test::ProcessOutput again = patch();
    EXPECT_EQ(again.lastLine(), "result 2 stage 5") << again.out << again.err;
    EXPECT_EQ(slurp(game + "readme.txt"), "readme v2");
    EXPECT_EQ(server.bodyCount(std::string(kPrefix) + "version.ini"), 2);
    EXPECT_EQ(server.requestCount(std::string(kPrefix) + "root_1.zip"), 2);
    EXPECT_EQ(server.bodyCount(std::string(kPrefix) + "root_1.zip"), 1);
    // Both versions are installed now: the cache keeps nothing of them.
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(home + "nimbrel"))
        left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << left.size() << " files left, first " << left.front();
}

TEST_F(DownloadE2ETest, NoServerEndsAtStageOneAfterTheListBox) {
    int port = 0;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    test::ProcessOutput run = cli({"--patch-url", "http://127.0.0.1:" + std::to_string(port) + kPrefix});
    EXPECT_EQ(run.lastLine(), "result -2 stage 1") << run.out << run.err;
    EXPECT_NE(run.err.find("version.ini file download failed."), std::string::npos) << run.err;
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

    auto start = std::chrono::steady_clock::now();
    test::ProcessOutput run = cli({"--patch-url", server.url(kPrefix)}, std::string(kPrefix) + "root_1.zip");
    EXPECT_EQ(run.lastLine(), "result -7 stage 4") << run.out << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    EXPECT_FALSE(std::filesystem::exists(game + "update/root_1.zip"));
}

#else

TEST(DownloadE2ETest, NeedsTheHeadlessPatcher) { GTEST_SKIP() << "nimbrel-cli not built"; }

#endif

}  // namespace
}  // namespace nimbrel
