// The download cache: where it lives, when it transfers, and that no crash or failure can
// turn a partial body into an entry.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/DownloadCache.h"
#include "platform/FileSystem.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;
using test::TestHttpServer;

std::string readAll(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) {
            saved_ = value;
            had_ = true;
        }
    }
    ~EnvironmentGuard() {
        if (had_)
            ::setenv(name_, saved_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

TEST(DownloadCacheTest, FolderFollowsXdgCacheHomeElseHomeCache) {
    EnvironmentGuard xdg("XDG_CACHE_HOME");
    EnvironmentGuard home("HOME");
    ::setenv("HOME", "/home/player", 1);
    ::setenv("XDG_CACHE_HOME", "/var/cache/player", 1);
    EXPECT_EQ(DownloadCache::defaultFolder(), "/var/cache/player/nimbrel/");
    ::setenv("XDG_CACHE_HOME", "relative/ignored", 1);
    EXPECT_EQ(DownloadCache::defaultFolder(), "/home/player/.cache/nimbrel/");
    ::unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(DownloadCache::defaultFolder(), "/home/player/.cache/nimbrel/");
}

class DownloadCacheServerTest : public ::testing::Test {
protected:
    TempGameFolder home;
    TestHttpServer server;
    DownloadCache cache{home.path() + "deep/cache/nimbrel/"};
};

TEST_F(DownloadCacheServerTest, ValidatorOfEitherKindSparesTheTransfer) {
    struct Case {
        const char* what;
        bool etag;
        bool lastModified;
        int bodies;  // transfers for two downloads of an unchanged file
    };
    const Case cases[] = {{"etag", true, false, 1},
                          {"last-modified", false, true, 1},
                          {"both", true, true, 1},
                          {"none", false, false, 2}};
    for (const auto& c : cases) {
        const std::string path = std::string("/") + c.what;
        TestHttpServer::Reply reply;
        reply.content = std::string("content for ") + c.what;
        reply.sendETag = c.etag;
        reply.sendLastModified = c.lastModified;
        server.setReply(path, reply);
        for (int run = 0; run < 2; ++run) {
            DownloadCache::Result result = cache.download(server.url(path), {});
            ASSERT_TRUE(result.complete()) << c.what << ": " << result.error;
            EXPECT_EQ(readAll(result.path), reply.content) << c.what;
        }
        EXPECT_EQ(server.bodyCount(path), c.bodies) << c.what;
    }
}

TEST_F(DownloadCacheServerTest, ChangedFileReplacesTheEntry) {
    server.setFile("/f", "old");
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());
    server.setFile("/f", "new and longer");
    DownloadCache::Result result = cache.download(server.url("/f"), {});
    ASSERT_TRUE(result.complete());
    EXPECT_TRUE(result.transferred);
    EXPECT_EQ(readAll(result.path), "new and longer");
}

TEST_F(DownloadCacheServerTest, FailedRefreshKeepsTheEarlierEntryAndLeavesNoPart) {
    server.setFile("/f", "good copy");
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());

    TestHttpServer::Reply broken;
    broken.content = "a newer body that never arrives whole";
    broken.delivery = TestHttpServer::Delivery::Truncated;
    broken.truncateAt = 5;
    server.setReply("/f", broken);
    EXPECT_FALSE(cache.download(server.url("/f"), {}).complete());

    auto entries = FileSystem::listFolder(cache.folder());
    ASSERT_TRUE(entries);
    for (const auto& e : *entries) EXPECT_EQ(e.name.find(".part-"), std::string::npos) << e.name;
    EXPECT_EQ(readAll(cache.bodyPath(server.url("/f"))), "good copy");
}

TEST_F(DownloadCacheServerTest, DamagedBodyIsFetchedAgainWithoutValidators) {
    server.setFile("/f", "0123456789");
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());
    FILE* f = std::fopen(cache.bodyPath(server.url("/f")).c_str(), "wb");
    std::fputs("01234", f);  // cut short by a crash of another tool
    std::fclose(f);
    server.clearLog();
    DownloadCache::Result result = cache.download(server.url("/f"), {});
    ASSERT_TRUE(result.complete());
    EXPECT_EQ(readAll(result.path), "0123456789");
    ASSERT_EQ(server.requests("/f").size(), 1u);
    EXPECT_TRUE(server.requests("/f")[0].ifNoneMatch.empty());
}

void overwriteKeepingSize(const std::string& path) {
    std::string content = readAll(path);
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::string zeros(content.size(), '\0');  // what a power cut can leave in a file's blocks
    std::fwrite(zeros.data(), 1, zeros.size(), f);
    std::fclose(f);
}

TEST_F(DownloadCacheServerTest, CopyOutChecksTheContentAndDropsADamagedEntry) {
    server.setFile("/f", std::string(70000, 'c'));
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());
    EXPECT_EQ(cache.copyTo(server.url("/f"), home.file("good")), DownloadCache::CopyResult::Copied);
    EXPECT_EQ(readAll(home.file("good")), std::string(70000, 'c'));

    overwriteKeepingSize(cache.bodyPath(server.url("/f")));
    EXPECT_EQ(cache.copyTo(server.url("/f"), home.file("bad")), DownloadCache::CopyResult::Damaged);
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(server.url("/f"))));
    EXPECT_EQ(cache.copyTo(server.url("/f"), home.file("none")), DownloadCache::CopyResult::Failed);

    DownloadCache::Result again = cache.download(server.url("/f"), {});
    ASSERT_TRUE(again.complete());
    EXPECT_TRUE(again.transferred);
    EXPECT_EQ(server.bodyCount("/f"), 2);
}

TEST_F(DownloadCacheServerTest, ChecksumDoesNotDependOnHowTheBodyWasCutIntoPieces) {
    for (std::size_t piece : {1u, 3u, 7u, 8u, 9u, 4097u}) {
        TestHttpServer::Reply reply;
        reply.content = std::string(20000 + piece, '\0');
        for (std::size_t i = 0; i < reply.content.size(); ++i) reply.content[i] = static_cast<char>(i * 31 + piece);
        reply.delivery = TestHttpServer::Delivery::Slow;
        reply.slowChunk = piece;
        reply.slowInterval = std::chrono::milliseconds(0);
        const std::string path = "/piece" + std::to_string(piece);
        server.setReply(path, reply);
        ASSERT_TRUE(cache.download(server.url(path), {}).complete()) << piece;
        EXPECT_EQ(cache.copyTo(server.url(path), home.file("out")), DownloadCache::CopyResult::Copied) << piece;
        EXPECT_EQ(readAll(home.file("out")), reply.content) << piece;
    }
}

TEST_F(DownloadCacheServerTest, RemovedEntryIsGoneAndTransferredAgain) {
    server.setFile("/f", "x");
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());
    EXPECT_TRUE(cache.removeEntry(server.url("/f")));
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(server.url("/f"))));
    EXPECT_TRUE(cache.removeEntry(server.url("/f")));  // nothing left is fine
    ASSERT_TRUE(cache.download(server.url("/f"), {}).complete());
    EXPECT_EQ(server.bodyCount("/f"), 2);
}

TEST_F(DownloadCacheServerTest, ProgressCountsUpToTheWholeSize) {
    server.setFile("/big", std::string(1 << 20, 'b'));
    std::uint64_t last = 0, total = 0;
    bool monotonic = true;
    auto progress = [&](std::uint64_t received, std::uint64_t max) {
        monotonic = monotonic && received >= last;
        last = received;
        total = max;
    };
    ASSERT_TRUE(cache.download(server.url("/big"), progress).complete());
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(last, 1u << 20);
    EXPECT_EQ(total, 1u << 20);
}

TEST_F(DownloadCacheServerTest, UnreachableServerLeavesNoEntry) {
    int port = 0;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/f";
    EXPECT_EQ(cache.download(url, {}).outcome, HttpClient::Outcome::Failed);
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(url)));
}

TEST_F(DownloadCacheServerTest, PruneDropsInstalledVersionsThenTheLeastRecentlyUsedAboveTheCap) {
    struct Case {
        const char* what;
        int installed;
        std::uint64_t cap;
        std::vector<int> kept;  // versions whose entries remain
    };
    const Case cases[] = {
        {"installed versions go", 2, DownloadCache::kDefaultMaxBytes, {3, 4}},
        {"nothing installed, under the cap", 0, DownloadCache::kDefaultMaxBytes, {1, 2, 3, 4}},
        // Each body is 1000 bytes: a cap of 2500 holds two entries.
        {"cap keeps the most recently used", 0, 2500, {1, 4}},
        {"both", 1, 1200, {4}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(cache.folder());
        for (int v = 1; v <= 4; ++v) {
            const std::string path = "/v" + std::to_string(v);
            server.setFile(path, std::string(1000, static_cast<char>('0' + v)));
            ASSERT_TRUE(cache.download(server.url(path), {}, nullptr, v).complete()) << c.what;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // distinct times of use
        }
        // Version 1 is used again, after the others: it is now the most recent.
        const std::string destination = home.path() + "copy";
        ASSERT_EQ(cache.copyTo(server.url("/v1"), destination), DownloadCache::CopyResult::Copied);

        cache.prune(c.installed, c.cap);
        std::vector<int> kept;
        for (int v = 1; v <= 4; ++v)
            if (FileSystem::fileExists(cache.bodyPath(server.url("/v" + std::to_string(v))))) kept.push_back(v);
        EXPECT_EQ(kept, c.kept) << c.what;
    }
}

TEST_F(DownloadCacheServerTest, PartialIsContinuedOnlyWithTheValidatorItCameWith) {
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 / 5);
    TestHttpServer::Reply cut;
    cut.content = content;
    cut.delivery = TestHttpServer::Delivery::Truncated;
    cut.truncateAt = 100000;
    server.setReply("/p", cut);
    EXPECT_FALSE(cache.download(server.url("/p"), {}).complete());
    ASSERT_TRUE(FileSystem::fileExists(cache.partialPath(server.url("/p"))));

    server.setFile("/p", content);
    ASSERT_TRUE(cache.download(server.url("/p"), {}).complete());
    auto requests = server.requests("/p");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "bytes=100000-");
    EXPECT_EQ(requests[1].status, 206);
    // The resumed entry passes the same check as a whole one.
    EXPECT_EQ(cache.copyTo(server.url("/p"), home.path() + "p"), DownloadCache::CopyResult::Copied);
    EXPECT_EQ(readAll(home.path() + "p"), content);
    EXPECT_FALSE(FileSystem::fileExists(cache.partialPath(server.url("/p"))));
}

}  // namespace
}  // namespace nimbrel
