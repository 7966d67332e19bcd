// `nimbrel-cli verify` end to end: a server started with `nimbrel-publish base` and patched with
// `make`, both signed and served over HTTP, and a player's game folder that is the newest build.
// Each way the folder can be damaged is named in the output and fails the check; the player's
// own files are reported and left alone; verify changes nothing in the folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "pack/PackReader.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;

// Every file below a folder with its bytes and mode, to show verify wrote nothing.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        std::string& entry = files[item.path().string()];
        entry = std::to_string(static_cast<int>(item.status().permissions()));
        if (item.is_directory()) continue;
        std::ifstream in(item.path(), std::ios::binary);
        entry += " " + std::string(std::istreambuf_iterator<char>(in), {});
    }
    return files;
}

class VerifyE2ETest : public ::testing::Test {
protected:
    test::ProcessOutput run(const std::vector<std::string>& argv, const std::string& key = {}) {
        test::ChildProcess::Options options;
        options.setEnvironment = {"XDG_RUNTIME_DIR=" + runtime.path(), "NIMBREL_PATCH_PUBLIC_KEY=" + key};
        options.unsetEnvironment = {"NIMBREL_PATCH_URL"};
        options.outputFolder = runtime.path();
        return test::ChildProcess::run(argv, options);
    }

    // v1, then v2 with a changed packed file, an executable and an empty folder.
    void makeBuild(const std::string& name, int version) {
        const std::string folder = builds.makeFolder(name);
        builds.write(name + "/readme.txt", "readme " + std::to_string(version));
        builds.write(name + "/version.ini", "the team's own");
        builds.write(name + "/item/a.dat", "item a " + std::to_string(version));
        builds.write(name + "/item/b.dat", std::string(70000, 'b'));
        builds.write(name + "/data/my notes.txt", "notes");
        if (version == 2) {
            builds.write(name + "/run.sh", "#!/bin/sh\n");
            fs::permissions(folder + "run.sh", fs::perms::owner_exec, fs::perm_options::add);
            fs::create_directories(folder + "logs");
        }
        ASSERT_EQ(run({QPAK_PATH, "build", folder + "item/"}).exitCode, 0);
        fs::remove(folder + "item/a.dat");
        fs::remove(folder + "item/b.dat");
    }

    void SetUp() override {
        makeBuild("v1", 1);
        makeBuild("v2", 2);
        publicKey = run({NIMBREL_PUBLISH_PATH, "keygen", runtime.file("release.key")}).lastLine();
        const std::string key = runtime.file("release.key");
        test::ProcessOutput r =
            run({NIMBREL_PUBLISH_PATH, "base", builds.file("v1"), server.path(), "--sign", key, "--channel", "patch"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        r = run({NIMBREL_PUBLISH_PATH, "make", builds.file("v1"), builds.file("v2"), server.path(), "--sign", key});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        http.serveFolder("/patch/", server.path());
    }

    // A fresh copy of build v2 installed at version 2.
    void installNewest() {
        fs::remove_all(client.path());
        fs::copy(builds.file("v2"), client.path(), fs::copy_options::recursive);
        ASSERT_EQ(run({NIMBREL_CLI_PATH, "--game-dir", client.path(), "version", "--write", "2"}).exitCode, 0);
    }

    test::ProcessOutput verify() {
        return run({NIMBREL_CLI_PATH, "verify", "--game-dir", client.path(), "--patch-url", http.url("/patch/")},
                   publicKey);
    }

    test::TempGameFolder runtime, builds, server, client;
    test::TestHttpServer http;
    std::string publicKey;
};

void flipLastByteOfEntry(const std::string& pack, const std::string& name) {
    std::uint64_t begin = 0, end = 0;
    {
        PackReader reader(pack);
        for (int status = reader.goToFirstEntry(); status == 0; status = reader.goToNextEntry())
            if (reader.readEntryInfo() == 0 && reader.currentName() == name) {
                ASSERT_EQ(reader.entryExtent(begin, end), 0);
            }
    }
    ASSERT_GT(end, begin);
    std::fstream f(pack, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(end - 1));
    char c = static_cast<char>(f.get() ^ 0x40);
    f.seekp(static_cast<std::streamoff>(end - 1));
    f.put(c);
}

TEST_F(VerifyE2ETest, EachDamageIsNamedAndThePlayersOwnFilesAreLeftAlone) {
    struct Case {
        const char* name;
        std::function<void(const test::TempGameFolder&)> damage;
        int exitCode;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {"the newest build", [](const test::TempGameFolder&) {}, 0, {"0 differences"}},
        {"a file deleted",
         [](const test::TempGameFolder& c) { fs::remove(c.file("data/my notes.txt")); },
         1,
         {"missing data/my notes.txt"}},
        {"a byte flipped inside a pack entry",
         [](const test::TempGameFolder& c) { flipLastByteOfEntry(c.file("item/item.QPAK"), "a.dat"); },
         1,
         {"item/a.dat (in item's pack)"}},
        {"a pack truncated",
         [](const test::TempGameFolder& c) { fs::resize_file(c.file("item/item.QPAK"), 100); },
         1,
         {"damaged pack item/item.QPAK", "2 files of the build"}},
        {"a mode changed",
         [](const test::TempGameFolder& c) { fs::permissions(c.file("run.sh"), fs::perms(0644)); },
         1,
         {"mode run.sh: 0644, the build has 0744"}},
        {"an empty folder gone",
         [](const test::TempGameFolder& c) { fs::remove(c.file("logs")); },
         1,
         {"missing folder logs"}},
        {"a file added to a packed folder",
         [](const test::TempGameFolder& c) { c.write("item/c.dat", "c"); },
         1,
         {"extra item/c.dat"}},
        {"the player's own files",
         [](const test::TempGameFolder& c) { c.write("shots/1.png", "png"); },
         0,
         {"left alone: shots/1.png"}},
        {"a folder moved to another disk and linked back",
         [this](const test::TempGameFolder& c) {
             fs::remove_all(runtime.file("moved"));
             fs::rename(c.file("item"), runtime.file("moved"));
             fs::create_directory_symlink(runtime.file("moved"), c.file("item"));
         },
         0,
         {"0 differences"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        installNewest();
        c.damage(client);
        const auto before = snapshot(client.path());
        test::ProcessOutput r = verify();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        for (const std::string& line : c.lines) EXPECT_NE(r.out.find(line), std::string::npos) << r.out << r.err;
        EXPECT_EQ(snapshot(client.path()), before);
    }
}

TEST_F(VerifyE2ETest, AFreshInstallPatchedFromABaseIsTheBuild) {
    test::TempGameFolder freshServer;
    const std::string key = runtime.file("release.key");
    ASSERT_EQ(
        run({NIMBREL_PUBLISH_PATH, "base", builds.file("v1"), freshServer.path(), "--sign", key, "--channel", "fresh"})
            .exitCode,
        0);
    http.serveFolder("/fresh/", freshServer.path());
    ASSERT_EQ(run({NIMBREL_CLI_PATH, "--game-dir", client.path(), "version", "--write", "0"}).exitCode, 0);
    const std::vector<std::string> where{"--game-dir", client.path(), "--patch-url", http.url("/fresh/")};
    std::vector<std::string> patch{NIMBREL_CLI_PATH}, check{NIMBREL_CLI_PATH, "verify"};
    patch.insert(patch.end(), where.begin(), where.end());
    check.insert(check.end(), where.begin(), where.end());
    test::ProcessOutput r = run(patch, publicKey);
    EXPECT_EQ(r.lastLine(), "result 1 stage 5") << r.out << r.err;
    r = run(check, publicKey);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(VerifyE2ETest, TheServersManifestsGuardVerifyAndTheNextRelease) {
    // An unchanged file is still fetched from the base's archive.
    EXPECT_NE(server.read("manifest_2.txt").find(" item_1.zip b.dat item b.dat\n"), std::string::npos);
    // A patch from a build other than the one published last is refused.
    builds.write("v3/readme.txt", "readme 3");
    const std::string key = runtime.file("release.key");
    test::ProcessOutput r =
        run({NIMBREL_PUBLISH_PATH, "make", builds.file("v1"), builds.file("v3"), server.path(), "--sign", key});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is not version 2"), std::string::npos) << r.err;

    installNewest();
    server.write("manifest_2.txt", server.read("manifest_2.txt") + "\n");
    r = verify();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("manifest_2.txt: The patch could not be verified."), std::string::npos) << r.err;
    r = run({NIMBREL_PUBLISH_PATH, "make", builds.file("v2"), builds.file("v3"), server.path(), "--sign", key});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not covered by the server's signature"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace nimbrel
