// Packs and zip tools meet both ways: a pack that qpak built and then updated in place twice
// opens, with its password, in every common zip tool; and qpak extracts the folder trees those
// tools write.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/ZipRecords.h"
#include "tests/pack/PackArchiveTestSupport.h"
#include "tests/support/TempGameFolder.h"

#ifdef QPAK_PATH
#include "QpakRun.h"
#ifdef NIMBREL_CLI_PATH
#include "tests/e2e/PatchScenario.h"
#endif

namespace nimbrel::test {
namespace {

namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;  // relative path -> content; folders end in "/"

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The command's exit code; its output is only collected.
int shell(const std::string& command) {
    return ChildProcess::run({"/bin/sh", "-c", command}, ChildProcess::collectOutput()).exitCode;
}

bool haveTool(const std::string& name) { return shell("command -v " + name) == 0; }

Tree treeOf(const std::string& root) {
    Tree tree;
    if (!fs::is_directory(root)) return {{"<no folder>", root}};
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(item.path(), root).string();
        if (item.is_directory()) {
            if (fs::is_empty(item.path())) tree[relative + "/"] = "";
        } else {
            tree[relative] = fileBytes(item.path().string());
        }
    }
    return tree;
}

class PackInterop : public ::testing::Test {
protected:
    QpakRun qpak(const std::vector<std::string>& args) { return runQpak(scratch.path(), args); }

    // Every common zip tool, run as docs/packs.md shows it in a UTF-8 locale (as a player's
    // desktop has), extracts exactly `expected` from the pack.
    void expectEveryZipToolExtracts(const std::string& pack, const Tree& expected) {
        const std::string password = quote(PackPasswordTable::instance().password(3));
        const struct {
            const char* tool;
            std::string command;  // extracts PACK into OUT
        } tools[] = {
            {"unzip", "unzip -q -P " + password + " PACK -d OUT"},
            {"7z", "7z x -p" + password + " -oOUT PACK"},
            {"bsdtar", "bsdtar -x --passphrase " + password + " -f PACK -C OUT"},
            // Python's zipfile ignores the Unicode path field: it needs the code page named.
            {"python3",
             "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], metadata_encoding=\"cp949\")"
             ".extractall(sys.argv[2], pwd=sys.argv[3].encode())' PACK OUT " +
                 password},
        };
        for (const auto& t : tools) {
            SCOPED_TRACE(t.tool);
            if (!haveTool(t.tool)) {
                ADD_FAILURE() << t.tool << " is not installed (scripts/setup-deps installs it)";
                continue;
            }
            const std::string out = scratch.makeFolder("out" + std::to_string(extractions_++));
            std::string command = t.command;
            command.replace(command.find("PACK"), 4, quote(pack));
            command.replace(command.find("OUT"), 3, quote(out));
            EXPECT_EQ(shell("LC_ALL=C.UTF-8 " + command), 0) << command;
            EXPECT_EQ(treeOf(out), expected);
        }
    }

    TempGameFolder game;
    TempGameFolder scratch;
    int extractions_ = 0;
};

TEST_F(PackInterop, PacksUpdatedInPlaceExtractByteExactInEveryZipTool) {
    const std::string folder = game.makeFolder("item");
    const std::string staging = game.makeFolder("update");
    Tree expected{{"readme.txt", std::string(5000, 'r') + "end"},
                  {"noise.bin", randomBytes(300000, 1)},
                  {"one.dat", "1"},
                  {"sword.edp", "old sword"}};
    for (const auto& [name, content] : expected) game.write("item/" + name, content);
    ASSERT_EQ(qpak({"build", folder}).exitCode, 0);
    const std::string pack = folder + "item.QPAK";
    const std::string built = fileBytes(pack);

    // Two updates: one replaces an entry and adds one, the next adds one more.
    const std::vector<Tree> updates{{{"sword.edp", "new sword"}, {"shield.edp", randomBytes(20000, 2)}},
                                    {{"helmet.edp", "helmet"}}};
    for (const Tree& update : updates) {
        std::vector<std::string> args{"add", folder, staging};
        for (const auto& [name, content] : update) {
            game.write("update/" + name, content);
            args.push_back(name);
            expected[name] = content;
        }
        ASSERT_EQ(qpak(args).exitCode, 0) << qpak(args).err;
    }
    // The updates appended: the bytes of the built pack are all still where they were.
    ASSERT_EQ(fileBytes(pack).substr(0, built.size()), built);
    EXPECT_FALSE(game.exists("item/item.QPAK.journal"));
    EXPECT_FALSE(game.exists("item/item.RPAK"));

    expectEveryZipToolExtracts(pack, expected);
    const std::string password = PackPasswordTable::instance().password(3);
    if (haveTool("unzip")) {
        EXPECT_EQ(shell("unzip -tq -P " + quote(password) + " " + quote(pack)), 0);
    }
}

// The same pack with every Unicode path field taken out of both headers: the stored names and
// the encrypted entries stay as they are.
std::string withoutUnicodePaths(const std::string& path) {
    std::vector<zip::CentralRecord> records;
    std::vector<unsigned char> out;
    PackReader reader(path);
    reader.forEachEntry([&](PackReader& r) {
        std::vector<unsigned char> stored;
        EXPECT_EQ(r.readStoredEntry(stored), PACK_OK);
        zip::CentralRecord record = r.currentRecord();
        record.utf8Name.reset();
        record.localOffset = out.size();
        zip::appendLocalHeader(out, record);
        out.insert(out.end(), stored.begin(), stored.end());
        records.push_back(std::move(record));
        return PACK_OK;
    });
    const std::size_t directory = out.size();
    for (const auto& record : records) zip::appendCentralRecord(out, record);
    zip::appendEndRecord(out, records.size(), out.size() - directory, directory, "Quorlan Zip v3");
    return {out.begin(), out.end()};
}

// Pack names stay in the game's code page; every zip tool still extracts a Korean name as
// itself, from packs built, updated in place, rewritten from headers without the UTF-8 name,
// and split.
TEST_F(PackInterop, KoreanNamesExtractUnderTheirOwnNameInEveryZipTool) {
    const std::string effect = "\xed\x9a\xa8\xea\xb3\xbc\xec\x9d\x8c.wav";  // hyogwaeum
    const std::string background = "\xeb\xb0\xb0\xea\xb2\xbd.wav";          // baegyeong
    // Large enough that an update leaves little dead space: it appends unless it must not.
    const Tree base{{effect, randomBytes(100000, 4)}, {"plain.txt", "plain"}};
    Tree updated = base;
    updated[background] = "background";
    const std::string staging = game.makeFolder("update");
    game.write("update/" + background, "background");
    auto build = [&](const std::string& name) {
        const std::string folder = game.makeFolder(name);
        for (const auto& [file, content] : base) game.write(name + "/" + file, content);
        EXPECT_EQ(qpak({"build", folder}).exitCode, 0);
        return folder;
    };

    const std::string inPlace = build("sfx");
    const std::string built = fileBytes(inPlace + "sfx.QPAK");
    ASSERT_EQ(qpak({"add", inPlace, staging, background}).exitCode, 0);
    EXPECT_EQ(fileBytes(inPlace + "sfx.QPAK").substr(0, built.size()), built) << "not updated in place";

    const std::string bare = build("etc");
    game.write("etc/etc.QPAK", withoutUnicodePaths(bare + "etc.QPAK"));
    ASSERT_EQ(qpak({"add", bare, staging, background}).exitCode, 0);

    const std::string maps = game.makeFolder("map");
    ASSERT_TRUE(writePack(maps + "source.zip", {{"minimap/" + effect, "mini"}, {background, "map"}}));
    ASSERT_EQ(qpak({"split", maps, "source.zip", "first.zip", "second.zip"}).exitCode, 0);

    const struct {
        const char* what;
        std::string pack;
        Tree expected;
    } packs[] = {
        {"built, then updated in place", inPlace + "sfx.QPAK", updated},
        {"headers without the UTF-8 name, then updated", bare + "etc.QPAK", updated},
        {"split, first part", maps + "first.zip", {{background, "map"}}},
        {"split, second part", maps + "second.zip", {{effect, "mini"}}},
    };
    for (const auto& p : packs) {
        SCOPED_TRACE(p.what);
        expectEveryZipToolExtracts(p.pack, p.expected);
    }
}

#ifdef NIMBREL_CLI_PATH
// Zip tools can write a name twice; a patch archive that does leaves one entry in the pack,
// its last copy.
TEST_F(PackInterop, APatchArchiveHoldingANameTwiceLeavesOneEntryInThePack) {
    PatchScenario s;
    s.installVersionZero();
    s.makePatches();
    writeArchive(s.server + "item_3.zip", {{"axe.dat", "axe early"}, {"axe.dat", "axe v3"}});
    s.placeInUpdateFolder();
    CliRun run = s.run({"DontConnect"});
    ASSERT_EQ(run.lastLine(), "result 3 stage 5") << run.output;
    std::optional<Files> item = tryReadArchive(s.game + "item/item.QPAK");
    ASSERT_TRUE(item);
    std::sort(item->begin(), item->end());
    EXPECT_EQ(*item, (Files{{"axe.dat", "axe v3"}, {"sword.dat", "sword v1"}}));
}
#endif

TEST_F(PackInterop, ExtractTakesWholeFolderTreesFromOtherZipTools) {
    // A tree with an empty folder, a deep file and a name of 250 bytes: its temporary must not
    // be named after it, or it would not fit a file name.
    const std::string longName = std::string(246, 'n') + ".dat";
    const Tree tree{{"a.txt", "top"},
                    {"sub/b.bin", randomBytes(70000, 3)},
                    {"sub/deeper/c.txt", std::string(3000, 'c')},
                    {"sub/" + longName, "long"},
                    {"empty/", ""}};
    const std::string source = scratch.makeFolder("source");
    for (const auto& [path, content] : tree) {
        if (path.ends_with('/'))
            fs::create_directories(source + path);
        else
            scratch.write("source/" + path, content);
    }
    const struct {
        const char* what;
        const char* tool;
        std::string command;  // run inside the source folder; writes ARCHIVE
    } makers[] = {
        {"Info-ZIP -r", "zip", "zip -q -r ARCHIVE ."},
        {"Info-ZIP to a pipe", "zip", "zip -q -r - . | cat > ARCHIVE"},
        {"Info-ZIP -fz", "zip", "zip -q -r -fz ARCHIVE ."},
        {"Info-ZIP -0", "zip", "zip -q -r -0 ARCHIVE ."},
        {"7-Zip", "7z", "7z a -tzip ARCHIVE ."},
        {"Python", "python3",
         "python3 -c 'import shutil, sys; shutil.make_archive(sys.argv[1][:-4], \"zip\", \".\")' ARCHIVE"},
    };
    int index = 0;
    for (const auto& m : makers) {
        SCOPED_TRACE(m.what);
        if (!haveTool(m.tool)) {
            ADD_FAILURE() << m.tool << " is not installed (scripts/setup-deps installs it)";
            continue;
        }
        const std::string archive = scratch.file("tree" + std::to_string(index++) + ".zip");
        std::string command = m.command;
        command.replace(command.find("ARCHIVE"), 7, quote(archive));
        ASSERT_EQ(shell("cd " + quote(source) + " && " + command), 0) << command;
        const std::string out = scratch.file("out" + std::to_string(index));
        QpakRun run = qpak({"extract", archive, out});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(treeOf(out), tree);
    }
}

TEST_F(PackInterop, ExtractRefusesNamesThatWouldLeaveTheFolder) {
    const std::string archive = scratch.file("evil.zip");
    const std::string out = scratch.makeFolder("out");
    for (const char* name : {"../escaped.txt", "/tmp/absolute.txt", "sub/../../escaped.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(shell("python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1], \"w\").writestr(sys.argv[2], "
                        "\"x\")' " +
                        quote(archive) + " " + quote(name)),
                  0);
        EXPECT_EQ(qpak({"extract", archive, out}).exitCode, 1);
        EXPECT_TRUE(treeOf(scratch.path() + "out").empty());
        EXPECT_FALSE(scratch.exists("escaped.txt"));
    }
}

}  // namespace
}  // namespace nimbrel::test

#else
TEST(PackInterop, NotBuilt) { GTEST_SKIP() << "the qpak executable is not part of this build"; }
#endif
