// The patch channel under attack, end to end: nimbrel-publish signs releases for the channel
// "plus_real", the test server serves them (or what an attacker made of them) at a patch address
// ending in plus_real/, and nimbrel-cli with the release key must refuse every list and file it
// should not take before the game folder changes. Then a release key replaced across launchers
// that know the old key, the new one, or both.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/VersionTokenTable.h"
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

    test::ProcessOutput patch(const std::string& game, const std::string& server, const std::string& publicKeys) {
        const std::string name = fs::path(server).parent_path().filename().string();
        return run({NIMBREL_CLI_PATH, "--game-dir", game, "--patch-url", http.url("/" + name + "/plus_real/")},
                   {"NIMBREL_PATCH_PUBLIC_KEY=" + publicKeys});
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

}  // namespace
}  // namespace nimbrel
