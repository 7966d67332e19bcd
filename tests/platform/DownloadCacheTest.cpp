// The download cache: where it lives, when it transfers, and that no crash or failure can
// turn a partial body into an entry.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/DownloadCache.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "tests/support/ReadFile.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;
using test::TestHttpServer;

using test::readFile;

// The downloader's way through the cache: a transfer run among HttpTransfers, then finished.
DownloadCache::Result download(DownloadCache& cache, const std::string& url, DownloadCache::Progress progress = {},
                               int version = 0) {
    DownloadCache::Transfer transfer(cache, url, version, std::move(progress));
    HttpTransfers transfers;
    const int id = transfers.start(transfer.request, transfer.handlers);
    for (;;)
        for (auto& [ended, result] : transfers.run(100))
            if (ended == id) return transfer.finish(result);
}

// Copies the entry out as the downloader does for one from an earlier run: checked first.
DownloadCache::CopyResult copyOut(DownloadCache& cache, const std::string& url, const std::string& path) {
    FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.get() < 0) return DownloadCache::CopyResult::Failed;
    return cache.copyInto(url, out.get(), true);
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

// The cache is used only in a folder of this user's that nobody else may enter; a folder of
// another user's (made by someone who got there first) is refused, and the run goes without.
TEST(DownloadCacheTest, OnlyAFolderOfThisUsersClosedToOthersIsUsed) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> prepare;
        bool usable;
    };
    const std::vector<Case> cases{
        {"made afresh, with the folders above it", [](const std::string&) {}, true},
        {"ours, open to others", [](const std::string& f) { std::filesystem::create_directories(f); }, true},
        {"another user's",
         [](const std::string& f) {
             std::filesystem::create_directories(f);
             ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Only root can give a folder away.
        if (!c.usable && ::geteuid() != 0) continue;
        TempGameFolder home;
        const std::string folder = home.path() + "cache/nimbrel/";
        c.prepare(folder);
        EXPECT_EQ(DownloadCache(folder).ownFolder(), c.usable);
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        if (c.usable) {
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
    }
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
            DownloadCache::Result result = download(cache, server.url(path));
            ASSERT_TRUE(result.complete()) << c.what << ": " << result.error;
            EXPECT_EQ(readFile(result.path), reply.content) << c.what;
        }
        EXPECT_EQ(server.bodyCount(path), c.bodies) << c.what;
    }
}

TEST_F(DownloadCacheServerTest, ChangedFileReplacesTheEntry) {
    server.setFile("/f", "old");
    ASSERT_TRUE(download(cache, server.url("/f")).complete());
    server.setFile("/f", "new and longer");
    DownloadCache::Result result = download(cache, server.url("/f"));
    ASSERT_TRUE(result.complete());
    EXPECT_TRUE(result.transferred);
    EXPECT_EQ(readFile(result.path), "new and longer");
}

TEST_F(DownloadCacheServerTest, FailedRefreshKeepsTheEarlierEntryAndLeavesNoPart) {
    server.setFile("/f", "good copy");
    ASSERT_TRUE(download(cache, server.url("/f")).complete());

    TestHttpServer::Reply broken;
    broken.content = "a newer body that never arrives whole";
    broken.delivery = TestHttpServer::Delivery::Truncated;
    broken.truncateAt = 5;
    server.setReply("/f", broken);
    EXPECT_FALSE(download(cache, server.url("/f")).complete());

    auto entries = FileSystem::listFolder(cache.folder());
    ASSERT_TRUE(entries);
    for (const auto& e : *entries) EXPECT_EQ(e.name.find(".part-"), std::string::npos) << e.name;
    EXPECT_EQ(readFile(cache.bodyPath(server.url("/f"))), "good copy");
}

TEST_F(DownloadCacheServerTest, DamagedBodyIsFetchedAgainWithoutValidators) {
    server.setFile("/f", "0123456789");
    ASSERT_TRUE(download(cache, server.url("/f")).complete());
    FILE* f = std::fopen(cache.bodyPath(server.url("/f")).c_str(), "wb");
    std::fputs("01234", f);  // cut short by a crash of another tool
    std::fclose(f);
    server.clearLog();
    DownloadCache::Result result = download(cache, server.url("/f"));
    ASSERT_TRUE(result.complete());
    EXPECT_EQ(readFile(result.path), "0123456789");
    ASSERT_EQ(server.requests("/f").size(), 1u);
    EXPECT_TRUE(server.requests("/f")[0].ifNoneMatch.empty());
}

void overwriteKeepingSize(const std::string& path) {
    std::string content = readFile(path);
    FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::string zeros(content.size(), '\0');  // what a power cut can leave in a file's blocks
    std::fwrite(zeros.data(), 1, zeros.size(), f);
    std::fclose(f);
}

TEST_F(DownloadCacheServerTest, CopyOutChecksTheContentAndDropsADamagedEntry) {
    server.setFile("/f", std::string(70000, 'c'));
    ASSERT_TRUE(download(cache, server.url("/f")).complete());
    EXPECT_EQ(copyOut(cache, server.url("/f"), home.file("good")), DownloadCache::CopyResult::Copied);
    EXPECT_EQ(readFile(home.file("good")), std::string(70000, 'c'));

    overwriteKeepingSize(cache.bodyPath(server.url("/f")));
    EXPECT_EQ(copyOut(cache, server.url("/f"), home.file("bad")), DownloadCache::CopyResult::Damaged);
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(server.url("/f"))));
    EXPECT_EQ(copyOut(cache, server.url("/f"), home.file("none")), DownloadCache::CopyResult::Failed);

    DownloadCache::Result again = download(cache, server.url("/f"));
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
        ASSERT_TRUE(download(cache, server.url(path)).complete()) << piece;
        EXPECT_EQ(copyOut(cache, server.url(path), home.file("out")), DownloadCache::CopyResult::Copied) << piece;
        EXPECT_EQ(readFile(home.file("out")), reply.content) << piece;
    }
}

TEST_F(DownloadCacheServerTest, RemovedEntryIsGoneAndTransferredAgain) {
    server.setFile("/f", "x");
    ASSERT_TRUE(download(cache, server.url("/f")).complete());
    EXPECT_TRUE(cache.removeEntry(server.url("/f")));
    EXPECT_FALSE(FileSystem::fileExists(cache.bodyPath(server.url("/f"))));
    EXPECT_TRUE(cache.removeEntry(server.url("/f")));  // nothing left is fine
    ASSERT_TRUE(download(cache, server.url("/f")).complete());
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
    ASSERT_TRUE(download(cache, server.url("/big"), progress).complete());
    EXPECT_TRUE(monotonic);
    EXPECT_EQ(last, 1u << 20);
    EXPECT_EQ(total, 1u << 20);
}

// The downloader stages each body for the update folder: a fresh one is written once and is
// both the staged file and the entry; a confirmed one is copied out of the entry instead.
TEST_F(DownloadCacheServerTest, StagedBodyIsWrittenOnceAndServesTheEntryToo) {
    const std::string content(200000, 's');
    server.setFile("/s", content);
    const std::string target = home.file("update/s");
    ASSERT_TRUE(FileSystem::createDirectories(home.file("update/")));
    struct Case {
        const char* what;
        bool staged;
        bool transferred;
    };
    const Case cases[] = {{"fresh", true, true}, {"confirmed", false, false}};
    for (const Case& c : cases) {
        AtomicFile file;
        DownloadCache::Transfer transfer(cache, server.url("/s"), 0, {});
        transfer.stageInto(file, target);
        HttpTransfers transfers;
        const int id = transfers.start(transfer.request, transfer.handlers);
        std::optional<DownloadCache::Result> ended;
        while (!ended)
            for (auto& [which, fetched] : transfers.run(100))
                if (which == id) ended = transfer.finish(fetched);
        const DownloadCache::Result& result = *ended;
        ASSERT_TRUE(result.complete()) << c.what << ": " << result.error;
        EXPECT_EQ(result.staged, c.staged) << c.what;
        EXPECT_EQ(result.transferred, c.transferred) << c.what;
        if (!result.staged) {
            ASSERT_TRUE(file.open(target)) << c.what;
            ASSERT_EQ(cache.copyInto(server.url("/s"), file.fd(), true), DownloadCache::CopyResult::Copied) << c.what;
        }
        ASSERT_TRUE(file.commit()) << c.what;
        EXPECT_EQ(readFile(target), content) << c.what;
        EXPECT_EQ(readFile(cache.bodyPath(server.url("/s"))), content) << c.what;
        ASSERT_EQ(::unlink(target.c_str()), 0);
    }
    EXPECT_EQ(server.bodyCount("/s"), 1);
}

TEST_F(DownloadCacheServerTest, UnreachableServerLeavesNoEntry) {
    int port = 0;
    {
        TestHttpServer gone;
        port = gone.port();
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/f";
    EXPECT_EQ(download(cache, url).outcome, HttpClient::Outcome::Failed);
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
            ASSERT_TRUE(download(cache, server.url(path), {}, v).complete()) << c.what;
            // Distinct times of use, in the order of the versions, all long past.
            const timespec usedAt[2] = {{1000000000 + v, 0}, {1000000000 + v, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, cache.bodyPath(server.url(path)).c_str(), usedAt, 0), 0);
        }
        // Version 1 is used again, after the others: it is now the most recent.
        const std::string destination = home.path() + "copy";
        ASSERT_EQ(copyOut(cache, server.url("/v1"), destination), DownloadCache::CopyResult::Copied);

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
    EXPECT_FALSE(download(cache, server.url("/p")).complete());
    ASSERT_TRUE(FileSystem::fileExists(cache.partialPath(server.url("/p"))));

    server.setFile("/p", content);
    ASSERT_TRUE(download(cache, server.url("/p")).complete());
    auto requests = server.requests("/p");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "bytes=100000-");
    EXPECT_EQ(requests[1].status, 206);
    // The resumed entry passes the same check as a whole one.
    EXPECT_EQ(copyOut(cache, server.url("/p"), home.path() + "p"), DownloadCache::CopyResult::Copied);
    EXPECT_EQ(readFile(home.path() + "p"), content);
    EXPECT_FALSE(FileSystem::fileExists(cache.partialPath(server.url("/p"))));
}

}  // namespace
}  // namespace nimbrel
