// One version applied by the real nimbrel-cli to game folders as players have them, with
// archives as zip tools on Windows and Unix write them: names in any case (the game runs under
// Wine, which ignores case), "\" and "./" in entry names, folders that became files, modes,
// empty folders, a data folder the player linked to another disk. And the patch material that
// must be refused before the first write: archives we cannot read whole, names a pack cannot
// hold, deletion lists that are no lists. A refusal leaves every byte and mode as it was.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/PythonZip.h"

namespace nimbrel::test {
namespace {

// Version 1: the given archives (key=file) and, when not null, the deletion list del_1.txt.
void publishVersionOne(PatchScenario& s, const std::vector<std::string>& archives, const char* deletions) {
    std::string list = "[DEFAULT]\r\nCUR_VERSION = 1\r\n[VERSION = 1]\r\n";
    for (const auto& line : archives) list += line + "\r\n";
    if (deletions) {
        PatchScenario::writeText(s.server + "del_1.txt", deletions);
        // The launcher enters a deletion list when a block header follows it.
        list += "SELF_UPDATE=FALSE,DELETED=del_1.txt\r\n[VERSION = 1]\r\n";
    }
    PatchScenario::writeText(s.server + "version.ini", list);
    s.publish();
}

// The game folder as text, the version file left out: a file's content, "<folder>", a link's
// "-> target", a pack's "pack:" and its entries; a mode where asked.
std::map<std::string, std::string> treeOf(const PatchScenario& s, const std::map<std::string, unsigned>& modes) {
    std::map<std::string, std::string> tree;
    for (const auto& [path, node] : s.snapshot()) {
        if (path == "version.ini") continue;
        std::string text = node.content;
        if (path.ends_with(".QPAK")) {
            text = "pack:";
            for (const auto& [name, content] : readArchive(s.game + path)) text += " " + name + "=" + content;
        }
        if (modes.contains(path)) text += " mode " + std::to_string(node.mode);
        tree[path] = text;
    }
    return tree;
}

struct AppliedCase {
    const char* what;
    std::function<void(PatchScenario&)> prepare;  // the game at version 0 and the published patch
    std::map<std::string, std::string> expected;  // treeOf afterwards
    std::map<std::string, unsigned> modes;        // expected modes (decimal in the tree's text)
};

TEST(PatchFieldCasesE2ETest, PatchEndsAtTheNewBuildWhateverToolsAndFoldersItMeets) {
    const std::vector<AppliedCase> cases{
        {"case-only rename: one file, under the new name",
         [](PatchScenario& s) {
             s.write("Readme.txt", "readme v0");
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1"}});
             publishVersionOne(s, {"root=root_1.zip"}, "Readme.txt\r\n");
         },
         {{"readme.txt", "readme v1"}},
         {}},
        {"folders and files found whatever the case of the list and the archive",
         [](PatchScenario& s) {
             s.write("Data/Old.txt", "old v0");
             s.write("Data/Keep.txt", "keep v0");
             writePythonZip(s.server + "data_1.zip", {{"KEEP.TXT", "keep v1"}, {"New.txt", "new v1"}});
             publishVersionOne(s, {"DATA=data_1.zip"}, "DATA\\OLD.TXT\r\n");
         },
         {{"Data", "<folder>"}, {"Data/Keep.txt", "keep v1"}, {"Data/New.txt", "new v1"}},
         {}},
        {"a deletion spelt in capitals reaches the pack, and makes none",
         [](PatchScenario& s) {
             writeArchive(s.game + "item/item.QPAK", {{"Shield.dat", "shield v0"}, {"sword.dat", "sword v0"}});
             writeArchive(s.game + "sfx/sfx.QPAK", {{"boom.wav", "boom v0"}});
             publishVersionOne(s, {}, "ITEM\\SHIELD.DAT\r\nSFX\\GONE.WAV\r\nACTOR\\GONE.MDL\r\n");
         },
         {{"item", "<folder>"},
          {"item/item.QPAK", "pack: sword.dat=sword v0"},
          {"sfx", "<folder>"},
          {"sfx/sfx.QPAK", "pack: boom.wav=boom v0"}},
         {}},
        {"backslashes and a leading ./ in entry names",
         [](PatchScenario& s) {
             s.write("textures/a.dds", "a v0");
             writePythonZip(
                 s.server + "root_1.zip",
                 {{"textures\\a.dds", "a v1"}, {"New\\b.dds", "b v1"}, {"./notes.txt", "notes v1"}, {"./", ""}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         {{"textures", "<folder>"},
          {"textures/a.dds", "a v1"},
          {"New", "<folder>"},
          {"New/b.dds", "b v1"},
          {"notes.txt", "notes v1"}},
         {}},
        {"a folder that became a file",
         [](PatchScenario& s) {
             s.write("Cfg/a.txt", "a v0");
             writePythonZip(s.server + "root_1.zip", {{"Cfg", "cfg v1"}});
             publishVersionOne(s, {"root=root_1.zip"}, "Cfg\\a.txt\r\n");
         },
         {{"Cfg", "cfg v1"}},
         {}},
        {"a file that became a folder",
         [](PatchScenario& s) {
             s.write("Cfg", "cfg v0");
             writePythonZip(s.server + "cfg_1.zip", {{"a.txt", "a v1"}});
             publishVersionOne(s, {"Cfg=cfg_1.zip"}, "Cfg\r\n");
         },
         {{"Cfg", "<folder>"}, {"Cfg/a.txt", "a v1"}},
         {}},
        {"a folder the build dropped goes with its files; an empty one it keeps stays",
         [](PatchScenario& s) {
             s.write("old/sub/a.txt", "a v0");
             s.write("logs/x.log", "x v0");
             writePythonZip(s.server + "root_1.zip", {{"logs/", ""}});
             publishVersionOne(s, {"root=root_1.zip"}, "old\\sub\\a.txt\r\nlogs\\x.log\r\n");
         },
         {{"logs", "<folder>"}},
         {}},
        {"modes as recorded, mode-only changes too, permission bits only; empty folders",
         [](PatchScenario& s) {
             s.write("tool.sh", "tool");
             fs::permissions(s.game + "tool.sh", fs::perms(0644));
             s.write("keep.sh", "keep v0");
             fs::permissions(s.game + "keep.sh", fs::perms(0755));
             writePythonZip(s.server + "root_1.zip", {{"tool.sh", "tool", 0755},
                                                      {"run.sh", "run", 0755},
                                                      {"setuid.sh", "setuid", 04755},
                                                      {"keep.sh", "keep v1"},
                                                      {"empty/", ""},
                                                      {"logs/old/", ""}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         {{"tool.sh", "tool mode 493"},
          {"run.sh", "run mode 493"},
          {"setuid.sh", "setuid mode 493"},
          {"keep.sh", "keep v1 mode 493"},
          {"empty", "<folder>"},
          {"logs", "<folder>"},
          {"logs/old", "<folder>"}},
         {{"tool.sh", 0}, {"run.sh", 0}, {"setuid.sh", 0}, {"keep.sh", 0}}},
        {"data folders the player linked to another disk",
         [](PatchScenario& s) {
             const std::string outside = s.outer.makeFolder("outside");
             PatchScenario::writeText(outside + "sfx/n.wav", "n v0");
             PatchScenario::writeText(outside + "sfx/old.wav", "old v0");
             PatchScenario::writeText(outside + "music/a.ogg", "a v0");
             PatchScenario::writeText(outside + "music/old.ogg", "old v0");
             fs::create_directory_symlink("../outside/sfx", s.game + "sfx");
             fs::create_directory_symlink("../outside/music", s.game + "music");
             PatchScenario::writeText(outside + "bgm.ogg", "bgm v0");
             fs::create_symlink("../outside/bgm.ogg", s.game + "bgm.ogg");
             writePythonZip(s.server + "root_1.zip", {{"bgm.ogg", "bgm v1"}});
             writePythonZip(s.server + "sfx_1.zip", {{"n.wav", "n v1"}});
             writePythonZip(s.server + "music_1.zip", {{"a.ogg", "a v1"}, {"b.ogg", "b v1"}});
             publishVersionOne(s, {"root=root_1.zip", "sfx=sfx_1.zip", "music=music_1.zip"},
                               "sfx\\old.wav\r\nmusic\\old.ogg\r\n");
         },
         {{"sfx", "-> ../outside/sfx"}, {"music", "-> ../outside/music"}, {"bgm.ogg", "-> ../outside/bgm.ogg"}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PatchScenario s;
        s.writeVersion(0);
        c.prepare(s);
        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), "result 1 stage 5") << run.output;
        EXPECT_EQ(treeOf(s, c.modes), c.expected);
        EXPECT_EQ(s.installedVersion(), 1);
    }
    // The linked folders' files live where the links lead.
    PatchScenario s;
    s.writeVersion(0);
    cases.back().prepare(s);
    ASSERT_EQ(s.run({}).lastLine(), "result 1 stage 5");
    const std::string outside = s.outer.file("outside/");
    EXPECT_EQ(readArchive(outside + "sfx/sfx.QPAK"), (Files{{"n.wav", "n v1"}}));
    EXPECT_FALSE(fs::exists(outside + "sfx/old.wav"));
    EXPECT_FALSE(fs::exists(outside + "music/old.ogg"));
    EXPECT_EQ(readFile(outside + "music/a.ogg"), "a v1");
    EXPECT_EQ(readFile(outside + "music/b.ogg"), "b v1");
    EXPECT_EQ(readFile(outside + "bgm.ogg"), "bgm v1");
}

struct RefusedCase {
    const char* what;
    std::function<void(PatchScenario&)> prepare;  // the published patch
    std::string result;                           // the last line
    std::string message;                          // a part of the output
};

TEST(PatchFieldCasesE2ETest, MaterialThatCannotBeAppliedWholeChangesNothing) {
    const std::vector<RefusedCase> cases{
        {"bzip2 archive",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip",
                            {{"readme.txt", "readme v1"}, {"new.txt", "new v1", 0, "ZIP_BZIP2"}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         "result -4 stage 5", "unsupported patch archive root_1.zip (bzip2)"},
        {"LZMA archive",
         [](PatchScenario& s) {
             writePythonZip(s.server + "item_1.zip", {{"a.dat", "a v1", 0, "ZIP_LZMA"}});
             publishVersionOne(s, {"item=item_1.zip"}, nullptr);
         },
         "result -4 stage 5", "unsupported patch archive item_1.zip (LZMA)"},
        {"map archive with a bzip2 minimap entry",
         [](PatchScenario& s) {
             writePythonZip(s.server + "map_1.zip",
                            {{"field.map", "field v1"}, {"minimap/m1.bmp", "m1 v1", 0, "ZIP_BZIP2"}});
             publishVersionOne(s, {"map=map_1.zip"}, nullptr);
         },
         "result -4 stage 5", "unsupported patch archive map_1.zip (bzip2)"},
        {"archive encrypted by a zip tool",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1", 0, "ZIP_STORED", true}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         "result -4 stage 5", "unsupported patch archive root_1.zip (encrypted)"},
        {"damaged archive",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1"}, {"new.txt", "new v1"}});
             std::string bytes = readFile(s.server + "root_1.zip");
             bytes[0] = 'X';  // the first local header no longer is one
             PatchScenario::writeText(s.server + "root_1.zip", bytes);
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         "result -4 stage 5", "damaged patch archive root_1.zip"},
        {"subfolder in a packed folder's archive",
         [](PatchScenario& s) {
             writePythonZip(s.server + "item_1.zip", {{"a.dat", "a v1"}, {"sub\\b.dat", "b v1"}});
             publishVersionOne(s, {"item=item_1.zip"}, nullptr);
         },
         "result -4 stage 5", "item/sub/b.dat"},
        {"control character in an entry name",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1"}, {"bad\x01.txt", "bad"}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         "result -4 stage 5", "bad\\x01.txt"},
        {"empty deletion list",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1"}});
             publishVersionOne(s, {"root=root_1.zip"}, "\r\n");
         },
         "result -4 stage 5", "deletion list is empty: del_1.txt"},
        {"error page as the deletion list",
         [](PatchScenario& s) {
             writePythonZip(s.server + "root_1.zip", {{"readme.txt", "readme v1"}});
             publishVersionOne(s, {"root=root_1.zip"}, "<html><body>Not Found</body></html>\r\n");
         },
         "result -4 stage 5", "no file name: <html>"},
        {"the launcher's own files in an archive are never taken",
         [](PatchScenario& s) {
             s.write("blocker/kept.txt", "kept");  // a folder where the archive puts a file
             writePythonZip(s.server + "root_1.zip", {{"version.ini", "[DEFAULT]\r\nCUR_VERSION = 1\r\n"},
                                                      {"ManualPatch.ini", "manual"},
                                                      {"update/evil.txt", "evil"},
                                                      {"blocker", "blocker v1"}});
             publishVersionOne(s, {"root=root_1.zip"}, nullptr);
         },
         "result -8 stage 5", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PatchScenario s;
        s.writeVersion(0);
        s.write("readme.txt", "readme v0");
        fs::permissions(s.game + "readme.txt", fs::perms(0640));
        writeArchive(s.game + "item/item.QPAK", {{"sword.dat", "sword v0"}});
        s.write("data/cfg.ini", "cfg v0");
        c.prepare(s);
        const auto before = s.snapshot();
        CliRun run = s.run({});
        EXPECT_EQ(run.lastLine(), c.result) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_EQ(s.snapshot(), before);
        EXPECT_EQ(s.installedVersion(), 0);
    }
}

}  // namespace
}  // namespace nimbrel::test
