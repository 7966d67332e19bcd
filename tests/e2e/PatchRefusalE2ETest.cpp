// Runs of the real nimbrel-cli that must refuse: patch lists that are no lists or that name
// unsafe paths or impossible versions, patch material that reaches outside the game folder
// (a link the player made in it is followed, never a name that climbs out), and folders that
// are no installation. Each refusal leaves
// the game folder exactly as it was, modes included, and the version where it was. Also: the
// etc folder comes out the same whichever way its pack was first built.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

// A version-0 installation whose data folders are all packed, so that the packing pass after
// a run finds nothing to do and any change to the folder would come from the run itself.
void installPackedVersionZero(PatchScenario& s) {
    s.installVersionZero();
    s.write("QuorlanPlus.exe", "client");
    fs::permissions(s.game + "QuorlanPlus.exe", fs::perms(0755));
    fs::permissions(s.game + "data/cfg.ini", fs::perms(0600));
    fs::permissions(s.game + "readme.txt", fs::perms(0444));
    s.http.setFile(std::string(PatchScenario::kPrefix) + "version.ini", "CUR_VERSION = 0\r\n");
    CliRun pack = s.run({});
    ASSERT_EQ(pack.lastLine(), "result -6 stage 3") << pack.output;
    s.makePatches();
    s.publish();
}

std::string withLineInBlockThree(const std::string& list, const std::string& line) { return list + line + "\r\n"; }

struct ListCase {
    const char* what;
    std::string list;
    std::string message;  // a part of the refusal's message box
};

TEST(PatchRefusalE2ETest, ListThatIsNoUsableListIsRefusedWhereItIsRead) {
    const std::string good = PatchScenario().patchListText();
    const std::string longName(260, 'n');
    // Sized by the array, not by hand: the embedded zero bytes hide the literal's end.
    static constexpr char kUtf16List[] =
        "\xFF\xFE"
        "C\0U\0R\0_\0V\0E\0R\0S\0I\0O\0N\0 \0=\0 \0"
        "3\0";
    const std::vector<ListCase> cases{
        {"maintenance page", "<html><body><h1>Server maintenance</h1></body></html>\r\n", "sent no patch list"},
        {"empty body", "", "sent no patch list"},
        {"list saved as UTF-16", std::string(kUtf16List, sizeof kUtf16List - 1), "sent no patch list"},
        {"blocks before any CUR_VERSION", "[VERSION = 1]\r\nroot=root_1.zip\r\nCUR_VERSION = 3\r\n",
         "sent no patch list"},
        {"CUR_VERSION the version file cannot hold", "CUR_VERSION = 2000\r\n[VERSION = 2000]\r\nroot=root_1.zip\r\n",
         "versions 0 to 1999, not 2000"},
        {"block number the version file cannot hold", "CUR_VERSION = 3\r\n[VERSION = 5000]\r\nroot=root_1.zip\r\n",
         "not 5000"},
        {"absolute file name", withLineInBlockThree(good, "root=/etc/passwd"), "/etc/passwd"},
        {"key climbing out", withLineInBlockThree(good, "../x=item_3.zip"), "../x"},
        {"separator in a file name", withLineInBlockThree(good, "root=sub\\root_1.zip"), "sub\\root_1.zip"},
        {"file name over 259 characters", withLineInBlockThree(good, "root=" + longName), longName},
        {"unsafe deletion list name", withLineInBlockThree(good, "SELF_UPDATE=TRUE,DELETED=../del_2.txt"),
         "../del_2.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PatchScenario s;
        installPackedVersionZero(s);
        s.http.setFile(std::string(PatchScenario::kPrefix) + "version.ini", c.list);
        const auto before = s.snapshot();
        const int requestsBefore = s.http.requestCount();
        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), "result -1 stage 3") << run.output;
        EXPECT_NE(run.exitCode, 0);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(run.saw("self-update requested"));
        EXPECT_EQ(s.http.requestCount() - requestsBefore, 1) << "only the list itself is fetched";
        EXPECT_EQ(s.snapshot(), before);
        EXPECT_EQ(s.installedVersion(), 0);
    }
}

struct MaterialCase {
    const char* what;
    std::function<void(PatchScenario&)> spoil;  // turns the good patches into hostile ones
    std::string offending;                      // named in the refusal
};

TEST(PatchRefusalE2ETest, UnsafePatchMaterialFailsThePlanBeforeTheFirstFileChanges) {
    const std::vector<MaterialCase> cases{
        {"archive entry climbing out",
         [](PatchScenario& s) {
             writeArchive(s.server + "actor_3.zip", {{"hero.mdl", "hero v3"}, {"../../escaped.txt", "evil"}});
         },
         "actor/../../escaped.txt"},
        {"absolute archive entry",
         [](PatchScenario& s) {
             writeArchive(s.server + "root_1.zip", {{"readme.txt", "v1"}, {"/abs.txt", "evil"}});
         },
         "/abs.txt"},
        {"deletion line climbing out",
         [](PatchScenario& s) { PatchScenario::writeText(s.server + "del_1.txt", "old.txt\r\n..\\victim.txt\r\n"); },
         "..\\victim.txt"},
        {"deletion line over 259 characters",
         [](PatchScenario& s) { PatchScenario::writeText(s.server + "del_1.txt", std::string(300, 'a') + "\r\n"); },
         std::string(300, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PatchScenario s;
        const std::string outside = s.outer.makeFolder("outside");
        PatchScenario::writeText(outside + "x.dat", "outside x");
        PatchScenario::writeText(s.outer.file("victim.txt"), "outside victim");
        installPackedVersionZero(s);
        fs::create_directory_symlink("../outside", s.game + "link");
        c.spoil(s);
        s.publish();
        const auto before = s.snapshot();
        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), "result -4 stage 5") << run.output;
        EXPECT_NE(run.output.find(c.offending), std::string::npos) << run.output;
        EXPECT_EQ(s.snapshot(), before);
        EXPECT_EQ(s.installedVersion(), 0);
        EXPECT_EQ(readFile(outside + "x.dat"), "outside x");
        EXPECT_EQ(readFile(s.outer.file("victim.txt")), "outside victim");
        EXPECT_FALSE(fs::exists(s.outer.file("escaped.txt")));
        EXPECT_FALSE(fs::exists("/abs.txt"));
    }
}

struct FolderCase {
    const char* what;
    bool gameClient;
    const char* versionFile;  // null: none
    bool packed;              // whether the packing pass may run
};

TEST(PatchRefusalE2ETest, FolderWithoutReadableVersionIsPackedOnlyWhenItHoldsTheGameClient) {
    const std::vector<FolderCase> cases{
        {"any folder", false, nullptr, false},
        {"any folder with a foreign version.ini", false, "[Settings]\r\nCUR_VERSION=7\r\n", false},
        {"installation with a damaged version file", true, "[DEFAULT]\r\nCUR_VERSION damaged", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PatchScenario s;
        s.write("map/holiday.jpg", "a holiday picture");
        s.write("etc/app.conf", "setting=1");
        fs::permissions(s.game + "etc/app.conf", fs::perms(0600));
        if (c.gameClient) s.write("QuorlanPlus.exe", "client");
        if (c.versionFile) s.write("version.ini", c.versionFile);
        const auto before = s.snapshot(true);
        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), "result -1 stage 0") << run.output;
        EXPECT_EQ(fs::exists(s.game + "map/map.QPAK"), c.packed);
        if (!c.packed) {
            EXPECT_NE(run.output.find("not a game installation"), std::string::npos) << run.output;
            EXPECT_EQ(s.snapshot(true), before);
        }
    }
}

// The game writes item.edp and usercontroll.edt itself and reads them loose. A first run that
// builds the etc pack in the update step, and one that fails first (so that the packing pass
// builds it) and then succeeds, must leave the same etc folder.
TEST(PatchRefusalE2ETest, EtcFolderIsTheSameWhicheverStepBuiltItsPack) {
    std::map<std::string, std::map<std::string, std::string>> etcByHistory;
    for (const bool firstRunFails : {false, true}) {
        SCOPED_TRACE(firstRunFails ? "first run fails" : "clean first run");
        PatchScenario s;
        s.writeVersion(0);
        s.write("QuorlanPlus.exe", "client");
        s.write("etc/item.edp", "items v0");
        s.write("etc/usercontroll.edt", "keys v0");
        s.write("etc/table.dat", "table v0");
        writeArchive(s.server + "etc_1.zip", {{"item.edp", "items v1"},
                                              {"usercontroll.edt", "keys v1"},
                                              {"table.dat", "table v1"},
                                              {"more.dat", "more v1"}});
        PatchScenario::writeText(s.server + "version.ini", "CUR_VERSION = 1\r\n[VERSION = 1]\r\netc=etc_1.zip\r\n");
        s.publish();
        if (firstRunFails) {
            s.http.remove(std::string(PatchScenario::kPrefix) + "etc_1.zip");
            CliRun failed = s.run({});
            ASSERT_EQ(failed.lastLine(), "result -4 stage 4") << failed.output;
            s.publish();
        }
        CliRun run = s.run({});
        ASSERT_EQ(run.lastLine(), "result 1 stage 5") << run.output;
        auto& etc = etcByHistory[firstRunFails ? "failed first" : "clean"];
        for (const auto& entry : fs::directory_iterator(s.game + "etc"))
            if (entry.path().filename() != "etc.QPAK")
                etc["loose " + entry.path().filename().string()] = readFile(entry.path().string());
        for (const auto& [name, content] : readArchive(s.game + "etc/etc.QPAK")) etc["packed " + name] = content;
    }
    const std::map<std::string, std::string> expected{{"loose item.edp", "items v1"},
                                                      {"loose usercontroll.edt", "keys v1"},
                                                      {"packed table.dat", "table v1"},
                                                      {"packed more.dat", "more v1"}};
    EXPECT_EQ(etcByHistory["clean"], expected);
    EXPECT_EQ(etcByHistory["failed first"], expected);
}

}  // namespace
}  // namespace nimbrel::test
