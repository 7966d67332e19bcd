// The patch channel under attack, end to end: nimbrel-publish signs releases for the channel
// "plus_real", the test server serves them (or what an attacker made of them) at a patch address
// ending in plus_real/, and nimbrel-cli with the release key must refuse every list and file it
// should not take before the game folder changes. Then a release key replaced across launchers
// that know the old key, the new one, or both. And answers without bound (longer than signed,
// compressed, endless, dripping) and a poisoned cached copy, against the download cache too.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/VersionTokenTable.h"
#include "platform/DownloadCache.h"
#include "platform/HttpClient.h"
#include "tests/e2e/ReleaseToolRun.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;

using Files = std::map<std::string, std::string>;

// Every file of a game folder with its content, but the launcher's own: the download folder and
// the serial of the newest list it verified, which a list refused later for its files has set.
Files gameFiles(const std::string& folder) {
    Files files;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(folder).generic_string();
        if (relative == "update") it.disable_recursion_pending();
        if (relative == "version.serial") continue;
        if (!it->is_regular_file()) continue;
        std::ifstream in(it->path(), std::ios::binary);
        files[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

void flipByte(const std::string& path, std::streamoff at) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(at);
    char c = static_cast<char>(f.get() ^ 1);
    f.seekp(at);
    f.put(c);
}

class ChannelAttackE2ETest : public ::testing::Test {
protected:
    test::ProcessOutput run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        return test::runReleaseTool(argv, runtime.path(), env);
    }

    test::ProcessOutput publish(std::vector<std::string> arguments, int expectedExit = 0) {
        arguments.insert(arguments.begin(), NIMBREL_PUBLISH_PATH);
        test::ProcessOutput r = run(arguments);
        EXPECT_EQ(r.exitCode, expectedExit) << arguments[1] << "\n" << r.out << r.err;
        return r;
    }

    std::string keygen(const std::string& name, std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"keygen", runtime.file(name)});
        return publish(options).lastLine();
    }
    std::string key(const std::string& name) { return runtime.file(name); }

    std::string build(int version) {
        const std::string n = std::to_string(version);
        builds.write("v" + n + "/readme.txt", "readme " + n);
        builds.write("v" + n + "/news_" + n + ".txt", "news " + n);
        return builds.file("v" + n);
    }

    // A copy of a server folder, served at a patch address of its own that ends in plus_real/.
    std::string copyServer(const std::string& from) {
        const std::string name = "server" + std::to_string(copies++);
        const std::string folder = builds.makeFolder(name);
        fs::copy(from, folder, fs::copy_options::recursive);
        http.serveFolder("/" + name + "/plus_real/", folder);
        return folder;
    }

    // A copy of the server whose list the release key signed again with these options.
    std::function<std::string()> resigned(std::vector<std::string> options) {
        return [this, options] {
            const std::string s = copyServer(server);
            std::vector<std::string> arguments{"resign", s, "--sign", key("a.key")};
            arguments.insert(arguments.end(), options.begin(), options.end());
            publish(arguments);
            return s;
        };
    }

    // The address a server folder's file is served at.
    std::string pathOf(const std::string& server, const std::string& file) {
        return "/" + fs::path(server).parent_path().filename().string() + "/plus_real/" + file;
    }

    test::ProcessOutput patch(const std::string& game, const std::string& server, const std::string& publicKeys,
                              std::vector<std::string> env = {}) {
        env.push_back("NIMBREL_PATCH_PUBLIC_KEY=" + publicKeys);
        return run({NIMBREL_CLI_PATH, "--game-dir", game, "--patch-url", http.url(pathOf(server, ""))}, env);
    }

    std::string installedVersion(const std::string& game) {
        return run({NIMBREL_CLI_PATH, "--game-dir", game, "version"}).lastLine();
    }

    // The client at version 1 from a list signed twice (it holds the second serial); the server
    // at version 2; stale, the server as it was before the second signature.
    void SetUp() override {
        keyA = keygen("a.key");
        // The new key is sealed with a passphrase, which every command that signs with it reads.
        runtime.write("passphrase", "correct horse\n");
        keyB = keygen("b.key", {"--passphrase-file", runtime.file("passphrase")});
        fs::copy(build(0), client.path(), fs::copy_options::recursive);
        client.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(0));
        server = builds.makeFolder("origin");
        publish({"make", build(0), build(1), server, "--sign", key("a.key"), "--channel", "plus_real"});
        stale = copyServer(server);
        publish({"resign", server, "--sign", key("a.key")});
        test::ProcessOutput r = patch(client.path(), copyServer(server), keyA);
        ASSERT_EQ(installedVersion(client.path()), "1") << r.out << r.err;
        publish({"make", build(1), build(2), server, "--sign", key("a.key")});
    }

    test::TempGameFolder runtime, builds, client;
    test::TestHttpServer http;
    std::string keyA, keyB, server, stale;
    int copies = 0;
};

TEST_F(ChannelAttackE2ETest, EveryTurnedListOrFileIsRefusedBeforeTheGameFolderChanges) {
    struct Case {
        const char* name;
        std::function<std::string()> serve;  // the server folder the launcher is pointed at
        bool newKeyOnly;                     // a launcher that knows only key B
        const char* message;
    };
    const std::vector<Case> cases{
        {"a tampered archive",
         [&] {
             const std::string s = copyServer(server);
             flipByte(s + "root_2.zip", 40);
             return s;
         },
         false, "root_2.zip: The patch could not be verified."},
        {"a tampered list",
         [&] {
             const std::string s = copyServer(server);
             std::ofstream(s + "version.ini", std::ios::app) << "[VERSION = 3]\r\n";
             return s;
         },
         false, "The patch could not be verified."},
        {"an older signed list replayed", [&] { return stale; }, false,
         "older than one this game folder has already used"},
        {"an expired list", resigned({"--expires", "0"}), false, "The patch server's list is out of date"},
        {"another channel's list", resigned({"--channel", "plus_test"}), false,
         "for the channel \"plus_test\", not this launcher's \"plus_real\""},
        {"a list signed by a key the launcher does not know", [&] { return copyServer(server); }, true,
         "signed with a key this launcher does not know. Please update the launcher."},
        {"a server tampered before the next release",
         [&] {
             const std::string s = copyServer(server);
             flipByte(s + "root_2.zip", 40);
             EXPECT_NE(publish({"make", build(2), build(3), s, "--sign", key("a.key")}, 1)
                           .err.find("root_2.zip: differs from the server's signature"),
                       std::string::npos);
             EXPECT_NE(publish({"verify", s, "--key", keyA}, 1).err.find("root_2.zip: differs"), std::string::npos);
             return s;
         },
         false, "root_2.zip: The patch could not be verified."},
    };
    const Files before = gameFiles(client.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ProcessOutput r = patch(client.path(), c.serve(), c.newKeyOnly ? keyB : keyA);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.out << r.err;
        EXPECT_EQ(gameFiles(client.path()), before);
    }
}

TEST_F(ChannelAttackE2ETest, AReplacedKeyReachesLaunchersOfTheOldKeyUntilTheSwitch) {
    // The release that announces the new key carries both signatures.
    publish({"make", build(2), build(3), server, "--sign", key("a.key"), "--rotate", key("b.key"), "--passphrase-file",
             key("passphrase")});
    publish({"verify", server, "--key", keyB});
    test::TempGameFolder oldLauncher, newLauncher;
    fs::copy(client.path(), oldLauncher.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy(client.path(), newLauncher.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    const std::string rotated = copyServer(server);
    patch(oldLauncher.path(), rotated, keyA);
    patch(newLauncher.path(), rotated, keyB);
    EXPECT_EQ(installedVersion(oldLauncher.path()), "3");
    EXPECT_EQ(installedVersion(newLauncher.path()), "3");

    // From then on the new key signs alone; a third key is refused by the publisher.
    keygen("c.key");
    EXPECT_NE(publish({"make", build(3), build(4), server, "--sign", key("c.key")}, 1).err.find("another key"),
              std::string::npos);
    EXPECT_NE(
        publish({"make", build(3), build(4), server, "--sign", key("b.key")}, 1).err.find("sealed with a passphrase"),
        std::string::npos);
    publish({"make", build(3), build(4), server, "--sign", key("b.key"), "--passphrase-file", key("passphrase")});
    const std::string switched = copyServer(server);
    patch(newLauncher.path(), switched, keyA + "," + keyB);
    EXPECT_EQ(installedVersion(newLauncher.path()), "4");
    const Files before = gameFiles(oldLauncher.path());
    test::ProcessOutput r = patch(oldLauncher.path(), switched, keyA);
    EXPECT_NE(r.err.find("Please update the launcher."), std::string::npos) << r.err;
    EXPECT_EQ(gameFiles(oldLauncher.path()), before);
}

// Each answer is cut off at its bound (the signed length, or the list's cap unsigned), refused
// before the game folder changes, and leaves none of its body in the download cache.
TEST_F(ChannelAttackE2ETest, AnAnswerWithoutBoundIsCutOffAndLeavesNothingInTheCache) {
    using Reply = test::TestHttpServer::Reply;
    using Delivery = test::TestHttpServer::Delivery;
    // The honest file's bytes, shaped into the attacker's reply.
    auto reply = [](std::function<void(Reply&)> shape) {
        return [shape](const std::string& honest) {
            Reply r;
            r.content = honest;
            shape(r);
            return r;
        };
    };
    constexpr std::uint64_t kHuge = 1ull << 30;
    constexpr std::uint64_t kSignedLength = 1;  // a bound: the honest file's length
    struct Case {
        const char* name;
        const char* file;  // the file the reply replaces
        std::function<Reply(const std::string& honest)> reply;
        bool signedRun;
        std::uint64_t bound;  // what the reply may send, besides what sockets hold; 0: not measured
        const char* message;
        std::vector<std::string> env;
    };
    const std::vector<Case> cases{
        {"an archive that announces more than signed", "root_2.zip", reply([&](Reply& r) { r.repeatTo = kHuge; }),
         true, kSignedLength, "root_2.zip: The patch could not be verified.", {}},
        {"an archive that runs on past its signed length", "root_2.zip",
         reply([&](Reply& r) {
             r.delivery = Delivery::NoContentLength;
             r.repeatTo = kHuge;
         }),
         true, kSignedLength, "root_2.zip: The patch could not be verified.", {}},
        {"a gzip bomb", "root_2.zip",
         reply([](Reply& r) {
             r.content += std::string(64u << 20, '\0');
             r.contentEncoding = "gzip";
         }),
         true, 0, "root_2.zip: The patch could not be verified.", {}},
        {"an endless unsigned list", "version.ini",
         reply([&](Reply& r) {
             r.content = "; the list goes on\r\n";
             r.delivery = Delivery::NoContentLength;
             r.repeatTo = kHuge;
         }),
         false, 16u << 20, "version.ini file download failed (larger than expected)", {}},
        {"an archive that drips", "root_2.zip",
         reply([](Reply& r) {
             r.delivery = Delivery::Slow;
             r.slowChunk = 2;
             r.slowInterval = std::chrono::milliseconds(1000);
         }),
         true, 0, "root_2.zip file download failed (timed out)", {"NIMBREL_SLOW_TRANSFER_SECONDS=2"}},
    };
    const std::string cacheHome = runtime.makeFolder("cache");
    DownloadCache cache(cacheHome + "nimbrel/");
    const Files before = gameFiles(client.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string s = copyServer(server);
        const std::string path = pathOf(s, c.file);
        std::ifstream in(s + c.file, std::ios::binary);
        const std::string honest(std::istreambuf_iterator<char>(in), {});
        http.setReply(path, c.reply(honest));
        std::vector<std::string> env = c.env;
        env.push_back("XDG_CACHE_HOME=" + cacheHome);
        test::ProcessOutput r = patch(client.path(), s, c.signedRun ? keyA : "", env);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.out << r.err;
        EXPECT_EQ(gameFiles(client.path()), before);
        // What the client's socket buffers take before it hangs up, at most a few MiB.
        if (c.bound > 0) {
            EXPECT_LT(http.mostSent(path), (c.bound == kSignedLength ? honest.size() : c.bound) + (16u << 20));
        }
        EXPECT_FALSE(fs::exists(cache.bodyPath(http.url(path))));
        EXPECT_FALSE(fs::exists(cache.partialPath(http.url(path))));
    }
}

// A copy in the cache that is not the signed file, which the honest server would confirm by its
// validator (304), is dropped: the run fetches the archive afresh and succeeds.
TEST_F(ChannelAttackE2ETest, APoisonedCachedCopyIsFetchedAfreshThoughTheServerWouldConfirmIt) {
    const std::string s = copyServer(server);
    const std::string path = pathOf(s, "root_2.zip");
    const std::string cacheHome = runtime.makeFolder("cache");
    DownloadCache cache(cacheHome + "nimbrel/");
    HttpClient::Request request;
    request.url = http.url(path);
    const HttpClient::Result honest = HttpClient().get(request, {});
    ASSERT_FALSE(honest.response.etag.empty());
    // An attacker's body under the honest validator, as a cache on the way would have kept it.
    test::TestHttpServer::Reply poisoned;
    poisoned.content = "not the archive";
    poisoned.sendETag = poisoned.sendLastModified = false;
    poisoned.headers = {{"ETag", honest.response.etag}};
    http.setReply(path, poisoned);
    {
        DownloadCache::Transfer transfer(cache, http.url(path), 2, {});
        ASSERT_TRUE(transfer.finish(HttpClient().get(transfer.request, transfer.handlers)).complete());
    }
    http.remove(path);
    http.clearLog();

    test::ProcessOutput r = patch(client.path(), s, keyA, {"XDG_CACHE_HOME=" + cacheHome});
    EXPECT_EQ(installedVersion(client.path()), "2") << r.out << r.err;
    const std::vector<test::TestHttpServer::Request> asked = http.requests(path);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].status, 200);
    EXPECT_TRUE(asked[0].ifNoneMatch.empty());
}

}  // namespace
}  // namespace nimbrel
