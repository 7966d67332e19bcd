// The release workflow end to end: nimbrel-publish makes signed patches from release builds,
// the real HTTP server serves them, and nimbrel-cli with the public key patches a client. Then
// the ways a patch can be tampered with on the way, each of which must leave the client as it
// was, and the releases nimbrel-publish must refuse without touching the server folder.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/VersionTokenTable.h"
#include "pack/PackReader.h"
#include "tests/e2e/ReleaseToolRun.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel {
namespace {

namespace fs = std::filesystem;

using Tree = std::map<std::string, std::string>;  // path below the folder -> content

// Every file below a folder as the game sees it: loose files and the entries of each folder's
// own pack; update/, the client version file and the serial of the list last accepted are the
// patcher's, not the game's.
Tree gameFiles(const std::string& folder, bool withModes = false) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        std::string relative = it->path().lexically_relative(folder).generic_string();
        if (relative == "update" || relative == "version.ini" || relative == "version.serial") {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file()) continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        if (withModes) {
            tree[relative + " mode"] = std::to_string(static_cast<int>(it->status().permissions()));
            tree[relative] = content;
            continue;
        }
        const std::string parent = it->path().parent_path().filename().string();
        if (it->path().filename() != parent + ".QPAK") {
            EXPECT_TRUE(!tree.count(relative) || tree[relative] == content) << relative << " differs loose and packed";
            tree[relative] = content;
            continue;
        }
        PackReader pack(it->path().string());
        const std::string prefix = it->path().parent_path().lexically_relative(folder).generic_string() + "/";
        for (int status = pack.goToFirstEntry(); status == 0; status = pack.goToNextEntry()) {
            EXPECT_EQ(pack.readEntryInfo(), 0);
            std::string data(pack.currentInfo().uncompressedSize, '\0');
            PackEntryDate date;
            EXPECT_EQ(pack.readEntryToBuffer(reinterpret_cast<unsigned char*>(data.data()), date), 0);
            const std::string path = prefix + pack.currentName();
            EXPECT_TRUE(!tree.count(path) || tree[path] == data) << path << " differs loose and packed";
            tree[path] = data;
        }
    }
    return tree;
}

class PublishE2ETest : public ::testing::Test {
protected:
    test::ProcessOutput run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
        return test::runReleaseTool(argv, runtime.path(), env);
    }

    test::ProcessOutput publish(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{NIMBREL_PUBLISH_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run(argv);
    }

    std::string keygen(const std::string& name) {
        test::ProcessOutput r = publish({"keygen", runtime.file(name)});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.lastLine();
    }

    // A build: files given as path -> content; a folder listed in packed holds them in its pack.
    std::string makeBuild(const std::string& name, const Tree& files, const std::vector<std::string>& packed) {
        const std::string folder = builds.makeFolder(name);
        for (const auto& [path, content] : files) builds.write(name + "/" + path, content);
        for (const std::string& key : packed) {
            test::ProcessOutput r = run({QPAK_PATH, "build", folder + key + "/"});
            EXPECT_EQ(r.exitCode, 0) << r.err;
            for (const auto& entry : fs::directory_iterator(folder + key))
                if (entry.is_regular_file() && entry.path().extension() != ".QPAK") fs::remove(entry.path());
        }
        return folder;
    }

    // v0 -> v1 -> v2 touch root, a packed folder with its pack, map and map/minimap, etc (with
    // its two loose files), a plain folder and a packed folder the client has no pack for yet.
    void makeReleases() {
        Tree v0{{"readme.txt", "readme 0"},           {"old_notice.txt", "old notice"},
                {"item/a.dat", "item a 0"},           {"item/b.dat", "item b 0"},
                {"item/gone.dat", "item gone"},       {"map/field01.map", "field 1"},
                {"map/minimap/f00.mmp", "minimap 0"}, {"map/minimap/f01.mmp", "minimap 1"},
                {"etc/config.dat", "config"},         {"etc/item.edp", "edp 0"},
                {"data/tips.txt", "tips 0"}};
        Tree v1 = v0;
        v1["readme.txt"] = "readme 1";
        v1["notice.txt"] = "notice";
        v1.erase("old_notice.txt");
        v1["item/a.dat"] = "item a 1";
        v1["item/c.dat"] = "item c";
        v1.erase("item/gone.dat");
        v1["map/field02.map"] = "field 2";
        v1["map/minimap/f02.mmp"] = "minimap 2";
        v1.erase("map/minimap/f00.mmp");
        v1["etc/item.edp"] = "edp 1";
        v1["etc/emotes.dat"] = "emotes";
        Tree v2 = v1;
        v2["readme.txt"] = "readme 2";
        v2["data/tips.txt"] = "tips 2";
        v2.erase("etc/config.dat");
        v2["map/minimap/f01.mmp"] = "minimap 1, second edition";  // the minimap alone
        v2.erase("item/b.dat");
        v2["sfx/hit.wav"] = std::string(70000, 'w');
        v0Build = makeBuild("v0", v0, {"item"});
        v1Build = makeBuild("v1", v1, {"item", "map"});
        v2Build = makeBuild("v2", v2, {"item"});
        client.makeFolder("update");
        fs::copy(v0Build, client.path(), fs::copy_options::recursive);
        client.write("version.ini", std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(0));
        // A client that has run the launcher before: its packing pass has packed the data folders.
        run({NIMBREL_CLI_PATH, "--game-dir", client.path(), "--patch-url", http.url("/nowhere/")});
        publicKey = keygen("release.key");
        for (auto [from, to] : {std::pair{v0Build, v1Build}, std::pair{v1Build, v2Build}}) {
            test::ProcessOutput r =
                publish({"make", from, to, server.path(), "--sign", runtime.file("release.key"), "--channel", "patch"});
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        http.serveFolder("/patch/", server.path());
    }

    test::ProcessOutput patchClient(const std::string& key) {
        return run({NIMBREL_CLI_PATH, "--game-dir", client.path(), "--patch-url", http.url("/patch/")},
                   {"NIMBREL_PATCH_PUBLIC_KEY=" + key});
    }

    test::TempGameFolder runtime;
    test::TempGameFolder builds;
    test::TempGameFolder server;
    test::TempGameFolder client;
    test::TestHttpServer http;
    std::string v0Build, v1Build, v2Build, publicKey;
};

TEST_F(PublishE2ETest, SignedReleasesBringAVersionZeroClientToExactlyTheNewestBuild) {
    makeReleases();
    test::ProcessOutput r = patchClient(publicKey);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.lastLine(), "result 2 stage 5");
    EXPECT_EQ(gameFiles(client.path()), gameFiles(v2Build));
    EXPECT_EQ(run({NIMBREL_CLI_PATH, "--game-dir", client.path(), "version"}).lastLine(), "2");
    // The files the client reads stay packed where they were packed.
    EXPECT_TRUE(client.exists("item/item.QPAK"));
    EXPECT_FALSE(client.exists("item/a.dat"));
    EXPECT_TRUE(client.exists("etc/item.edp"));
    // The manifest the release wrote says the same.
    r = run({NIMBREL_CLI_PATH, "verify", "--game-dir", client.path(), "--patch-url", http.url("/patch/")},
            {"NIMBREL_PATCH_PUBLIC_KEY=" + publicKey});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(PublishE2ETest, ASignedManualPatchIsAppliedOfflineAndGoesWithItsSignature) {
    makeReleases();
    // Offline, a list past its expiry still counts: a manual patch may wait on a disk for months.
    ASSERT_EQ(publish({"resign", server.path(), "--sign", runtime.file("release.key"), "--expires", "0"}).exitCode, 0);
    for (const auto& file : fs::directory_iterator(server.path()))
        fs::copy_file(file.path(), client.file("update/" + file.path().filename().string()));
    fs::rename(client.file("update/version.ini"), client.file("ManualPatch.ini"));
    fs::rename(client.file("update/version.ini.sig"), client.file("ManualPatch.ini.sig"));
    // Offline the launcher's channel is its built-in patch folder's; this one names the test's.
    test::ProcessOutput r = run({NIMBREL_CLI_PATH, "--game-dir", client.path()},
                                {"NIMBREL_PATCH_PUBLIC_KEY=" + publicKey, "NIMBREL_PATCH_CHANNEL=patch"});
    EXPECT_EQ(r.lastLine(), "result 2 stage 5") << r.err;
    EXPECT_EQ(gameFiles(client.path()), gameFiles(v2Build));
    EXPECT_FALSE(client.exists("ManualPatch.ini"));
    EXPECT_FALSE(client.exists("ManualPatch.ini.sig"));
}

TEST_F(PublishE2ETest, TamperedOrUnsignedPatchesAreRefusedAndTheClientStaysAsItWas) {
    makeReleases();
    struct Case {
        const char* name;
        std::function<void(const test::TempGameFolder& server)> tamper;
        bool otherKey;
        const char* result;
    };
    const std::vector<Case> cases{
        {"one byte of an archive",
         [](const test::TempGameFolder& server) {
             std::fstream f(server.file("item_1.zip"), std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(40);
             char c = 0;
             f.read(&c, 1);
             f.seekp(40);
             c = static_cast<char>(c ^ 1);
             f.write(&c, 1);
         },
         false, "result -4 stage 4"},
        {"a line of the list",
         [](const test::TempGameFolder& server) {
             std::string list = server.read("version.ini");
             list.replace(list.find("item=item_1.zip"), 15, "item=item_2.zip");
             server.write("version.ini", list);
         },
         false, "result -1 stage 2"},
        {"no signature", [](const test::TempGameFolder& server) { fs::remove(server.file("version.ini.sig")); }, false,
         "result -1 stage 2"},
        {"signed by another key", [](const test::TempGameFolder&) {}, true, "result -1 stage 2"},
    };
    const std::string pristine = builds.makeFolder("pristine-server");
    fs::copy(server.path(), pristine, fs::copy_options::recursive);
    const Tree before = gameFiles(client.path(), true);
    const std::string version = client.read("version.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(server.path());
        fs::copy(pristine, server.path(), fs::copy_options::recursive);
        c.tamper(server);
        test::ProcessOutput r = patchClient(c.otherKey ? keygen(std::string("other-") + c.name) : publicKey);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_EQ(r.lastLine(), c.result) << r.err;
        EXPECT_NE(r.err.find(c.otherKey ? "Please update the launcher." : "could not be verified"), std::string::npos)
            << r.err;
        EXPECT_EQ(gameFiles(client.path(), true), before);
        EXPECT_EQ(client.read("version.ini"), version);
    }
}

// What one release publishes, read by Python's zipfile (not our reader): "ARCHIVE ENTRY MODE"
// for every archive entry and "delete LINE" for every deletion line, sorted.
constexpr const char* kListRelease = R"(
import glob, os, sys, zipfile
lines = []
for path in glob.glob(os.path.join(sys.argv[1], "*.zip")):
    for info in zipfile.ZipFile(path).infolist():
        lines.append("%s %s %o" % (os.path.basename(path), info.filename, info.external_attr >> 16))
for path in glob.glob(os.path.join(sys.argv[1], "delete_*.txt")):
    lines += ["delete " + line for line in open(path, newline="").read().split("\r\n") if line]
print("\n".join(sorted(lines)))
)";

TEST_F(PublishE2ETest, AReleaseCarriesModesFoldersRenamesAndSwapsButNeverTheLaunchersOwnFiles) {
    struct Case {
        const char* name;
        Tree oldFiles, newFiles;
        std::map<std::string, fs::perms> newModes;
        std::vector<std::string> newEmptyFolders;
        const char* published;
    };
    const auto exec = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec;
    const std::vector<Case> cases{
        {"the launcher's own files stay home",
         {{"readme.txt", "0"}},
         {{"readme.txt", "1"},
          {"version.ini", "built"},
          {"version.ini.sig", "s"},
          {"ManualPatch.ini", "m"},
          {"update/root_9.zip", "z"}},
         {},
         {},
         "root_1.zip readme.txt 100644"},
        {"a folder that became a file",
         {{"Cfg/a.txt", "a"}},
         {{"Cfg", "now a file"}},
         {},
         {},
         "delete Cfg\ndelete Cfg\\a.txt\nroot_1.zip Cfg 100644"},
        {"a file that became a folder",
         {{"Cfg", "a file"}},
         {{"Cfg/a.txt", "a"}},
         {},
         {},
         "Cfg_1.zip a.txt 100644\ndelete Cfg"},
        {"execute bits, a mode alone and empty folders",
         {{"run.sh", "run"}, {"tool.sh", "tool"}, {"data/keep.txt", "k"}},
         {{"run.sh", "run"}, {"tool.sh", "tool"}, {"new.sh", "new"}, {"data/keep.txt", "k"}},
         {{"run.sh", exec}, {"new.sh", exec}},
         {"logs", "data/cache/shaders"},
         "root_1.zip data/cache/shaders/ 40755\nroot_1.zip logs/ 40755\nroot_1.zip new.sh 100755\n"
         "root_1.zip run.sh 100755"},
        {"a rename of the case alone",
         {{"Readme.txt", "r"}},
         {{"readme.txt", "r"}},
         {},
         {},
         "delete Readme.txt\nroot_1.zip readme.txt 100644"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = std::to_string(n++);
        const std::string oldBuild = makeBuild("old" + id, c.oldFiles, {});
        const std::string newBuild = makeBuild("new" + id, c.newFiles, {});
        for (const auto& [path, mode] : c.newModes) fs::permissions(newBuild + path, mode);
        for (const std::string& folder : c.newEmptyFolders) fs::create_directories(newBuild + folder);
        const std::string serverFolder = builds.makeFolder("server" + id);
        test::ProcessOutput r = publish({"make", oldBuild, newBuild, serverFolder});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        test::ProcessOutput listing = run({"/usr/bin/env", "python3", "-c", kListRelease, serverFolder});
        EXPECT_EQ(listing.out, std::string(c.published) + "\n") << listing.err;
    }
}

TEST_F(PublishE2ETest, ReleasesThePatchListCannotCarryAreRefusedWithTheServerFolderUntouched) {
    const std::string v0 = makeBuild("v0", {{"readme.txt", "0"}}, {});
    struct Case {
        const char* name;
        Tree newFiles;
        std::vector<std::string> extra;
        const char* message;
    };
    const std::vector<Case> cases{
        {"a name over 259 bytes", {{"data/" + std::string(250, 'n') + "/x.txt", "x"}}, {}, "longer than 259 bytes"},
        {"a name outside code page 949", {{"data/\xF0\x9F\x98\x80.txt", "x"}}, {}, "code page (949)"},
        {"an empty file for a pack", {{"item/empty.dat", ""}}, {}, "packed folder"},
        {"a folder the list reads as its base folder", {{"root/x.txt", "x"}}, {}, "meaning of its own"},
        {"two names that differ only in case", {{"data/Tips.txt", "x"}, {"data/tips.txt", "y"}}, {}, "only in case"},
        {"a name Windows cannot hold", {{"data/why?.txt", "x"}}, {}, "no Windows file name"},
        {"a version not above the list's", {{"readme.txt", "1"}}, {"--version", "3"}, "must be above"},
        {"a key file that is not a key",
         {{"readme.txt", "1"}},
         {"--sign", runtime.file("not.key")},
         "not a secret key"},
        {"a key file others can read", {{"readme.txt", "1"}}, {"--sign", runtime.file("open.key")}, "others can read"},
        {"a sealed key with the wrong passphrase",
         {{"readme.txt", "1"}},
         {"--sign", runtime.file("sealed.key"), "--passphrase-file", runtime.file("not.key")},
         "does not open"},
        {"a new key without the one that signs now",
         {{"readme.txt", "1"}},
         {"--rotate", runtime.file("not.key")},
         "give that one with --sign"},
    };
    runtime.write("not.key", "not a key\n");
    runtime.write("passphrase", "correct horse\n");
    fs::permissions(runtime.file("not.key"), fs::perms::owner_read | fs::perms::owner_write);
    keygen("open.key");
    ASSERT_EQ(publish({"keygen", runtime.file("sealed.key"), "--passphrase-file", runtime.file("passphrase")}).exitCode,
              0);
    fs::permissions(runtime.file("open.key"), fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
    server.write("version.ini", "CUR_VERSION = 3\r\n[VERSION = 3]\r\nroot=root_3.zip\r\n");
    server.write("root_3.zip", "published before");
    const Tree before = gameFiles(server.path(), true);
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string build = makeBuild("new" + std::to_string(n++), c.newFiles, {});
        std::vector<std::string> argv{"make", v0, build, server.path()};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        test::ProcessOutput r = publish(argv);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(gameFiles(server.path(), true), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(server.path()), fs::directory_iterator()), 2);
    }
    // A secret key is never overwritten.
    keygen("release.key");
    EXPECT_EQ(publish({"keygen", runtime.file("release.key")}).exitCode, 1);
}

}  // namespace
}  // namespace nimbrel
