// The qpak tool as the release team runs it: every command, its output and its exit code
// (0 done, 1 failed, 2 wrong command line).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "pack/DeflateCodec.h"
#include "pack/PackArchive.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "tests/pack/PackArchiveTestSupport.h"
#include "tests/support/TempGameFolder.h"

#ifdef QPAK_PATH
#include "QpakRun.h"

namespace nimbrel::test {
namespace {

class QpakTool : public ::testing::Test {
protected:
    QpakRun qpak(const std::vector<std::string>& args) { return runQpak(scratch.path(), args); }

    TempGameFolder game;
    TempGameFolder scratch;
};

TEST_F(QpakTool, PasswordPrintsTheDerivedPasswordOfAVersion) {
    const PackPasswordTable& table = PackPasswordTable::instance();
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string out;
    } cases[] = {
        {{"password"}, 0, std::string(table.password(3)) + "\n"},
        {{"password", "0"}, 0, std::string(table.password(0)) + "\n"},
        {{"password", "999"}, 0, std::string(table.password(999)) + "\n"},
        {{"password", "1000"}, 2, ""},
        {{"password", "-1"}, 2, ""},
        {{"password", "3x"}, 2, ""},
    };
    for (const auto& c : cases) {
        QpakRun run = qpak(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.back();
        EXPECT_EQ(run.out, c.out) << c.args.back();
    }
}

TEST_F(QpakTool, BuildListVerifyAndExtractRoundTrip) {
    std::string folder = game.makeFolder("actor");
    std::string big = randomBytes(300000, 1);
    game.write("actor/hero.dat", big);
    game.write("actor/cape.txt", "red cape");

    QpakRun build = qpak({"build", game.file("actor")});
    ASSERT_EQ(build.exitCode, 0) << build.err;
    EXPECT_EQ(build.out, folder + "actor.QPAK\n");

    QpakRun list = qpak({"list", folder + "actor.QPAK"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("format version 3, 2 entries"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("300000"), std::string::npos) << list.out;
    EXPECT_LT(list.out.find("cape.txt"), list.out.find("hero.dat")) << list.out;

    QpakRun verify = qpak({"verify", folder + "actor.QPAK"});
    EXPECT_EQ(verify.exitCode, 0) << verify.err;

    ASSERT_EQ(qpak({"extract", folder + "actor.QPAK", game.file("all")}).exitCode, 0);
    EXPECT_EQ(game.read("all/hero.dat"), big);
    EXPECT_EQ(game.read("all/cape.txt"), "red cape");

    ASSERT_EQ(qpak({"extract", folder + "actor.QPAK", game.file("one"), "cape.txt"}).exitCode, 0);
    EXPECT_EQ(game.read("one/cape.txt"), "red cape");
    EXPECT_FALSE(game.exists("one/hero.dat"));

    QpakRun missing = qpak({"extract", folder + "actor.QPAK", game.file("none"), "CAPE.TXT"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no entry named \"CAPE.TXT\""), std::string::npos) << missing.err;
}

TEST_F(QpakTool, AFolderOfOnlySubfoldersGivesAnEmptyPackThatListsAndVerifies) {
    std::string folder = game.makeFolder("wear");
    game.makeFolder("wear/inner");

    ASSERT_EQ(qpak({"build", folder}).exitCode, 0);
    QpakRun list = qpak({"list", folder + "wear.QPAK"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_NE(list.out.find("format version 3, 0 entries"), std::string::npos) << list.out;
    EXPECT_EQ(qpak({"verify", folder + "wear.QPAK"}).exitCode, 0);
    EXPECT_EQ(qpak({"extract", folder + "wear.QPAK", game.file("out")}).exitCode, 0);
}

TEST_F(QpakTool, AddBuildsAMissingPackAndRebuildsAnExistingOne) {
    std::string folder = game.makeFolder("sfx");
    std::string staging = game.makeFolder("update");
    game.write("update/boom.wav", "boom");

    ASSERT_EQ(qpak({"add", folder, staging, "boom.wav"}).exitCode, 0);
    EXPECT_EQ(readPack(folder + "sfx.QPAK"), (PackEntries{{"boom.wav", "boom"}}));

    game.write("update/boom.wav", "louder");
    game.write("update/hiss.wav", "hiss");
    ASSERT_EQ(qpak({"add", folder, staging, "hiss.wav", "boom.wav"}).exitCode, 0);
    EXPECT_EQ(readPack(folder + "sfx.QPAK"), (PackEntries{{"hiss.wav", "hiss"}, {"boom.wav", "louder"}}));

    QpakRun vanished = qpak({"add", folder, staging, "gone.wav"});
    EXPECT_EQ(vanished.exitCode, 1);
    EXPECT_NE(vanished.err.find("the pack is unchanged"), std::string::npos) << vanished.err;
    EXPECT_EQ(readPack(folder + "sfx.QPAK"), (PackEntries{{"hiss.wav", "hiss"}, {"boom.wav", "louder"}}));

    EXPECT_EQ(qpak({"add", folder, staging, "../boom.wav"}).exitCode, 1);
}

// What a reader finds in a pack, in the order it finds it: each live entry's local header and
// its stream decrypted (the random bytes of the encryption headers are the one part of a pack
// that changes from one build to the next), then the directory and end record.
std::string readableBytes(const std::string& pack) {
    const std::string bytes = fileBytes(pack);
    std::string readable;
    PackReader reader(pack);
    int walk = reader.forEachEntry([&](PackReader& r) {
        std::uint64_t begin = 0, end = 0;
        std::unique_ptr<EntryChain> chain;
        std::vector<unsigned char> stream;
        if (int rc = r.entryExtent(begin, end); rc != PACK_OK) return rc;
        if (int rc = r.openEntry(EntryChain::Stage::Compressed, chain); rc != PACK_OK) return rc;
        if (int rc = EntryChain::readAll(chain->source(), stream); rc != PACK_OK) return rc;
        readable += bytes.substr(begin, end - r.currentInfo().compressedSize - begin);
        readable.append(stream.begin(), stream.end());
        return PACK_OK;
    });
    EXPECT_EQ(walk, PACK_OK);
    return readable + bytes.substr(reader.directoryBegin());
}

// The game reads our packs: one whose names are all plain ASCII is byte for byte what it has
// always been. A fixed folder at a fixed time, built, updated in place and then rewritten,
// gives packs of these sizes and these CRC-32s of what a reader finds in them.
TEST_F(QpakTool, AsciiPacksStayByteForByteWhatTheGameReads) {
    const std::string folder = game.makeFolder("item");
    const std::string staging = game.makeFolder("update");
    auto put = [&](const std::string& path, const std::string& content) {
        game.write(path, content);
        const struct timespec times[2] = {{1614834368, 0}, {1614834368, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, game.file(path).c_str(), times, 0), 0);
    };
    std::string text;
    for (int i = 0; i < 400; ++i) text += "line " + std::to_string(i) + " of the readme\n";
    put("item/readme.txt", text);
    put("item/noise.bin", randomBytes(20000, 11));
    put("item/Sword.EDP", "old sword");
    put("update/Sword.EDP", "new sword");
    put("update/helmet.edp", "helmet");
    put("update/noise.bin", randomBytes(20000, 12));
    const struct {
        std::vector<std::string> args;
        std::size_t size;
        std::uint32_t crc;
    } steps[] = {
        {{"build", folder}, 21083, 3761192550u},
        {{"add", folder, staging, "Sword.EDP", "helmet.edp"}, 21469, 1563237651u},  // appended
        {{"add", folder, staging, "noise.bin"}, 21202, 1016123342u},                // most of the pack dead: rewritten
    };
    ChildProcess::Options options;
    options.outputFolder = scratch.path();
    options.setEnvironment = {"TZ=UTC"};  // entry dates are local times
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args.front() + " " + step.args.back());
        std::vector<std::string> argv{QPAK_PATH};
        argv.insert(argv.end(), step.args.begin(), step.args.end());
        ASSERT_EQ(ChildProcess::run(argv, options).exitCode, 0);
        const std::string readable = readableBytes(folder + "item.QPAK");
        EXPECT_EQ(fileBytes(folder + "item.QPAK").size(), step.size);
        EXPECT_EQ(DeflateCodec::crc32(reinterpret_cast<const unsigned char*>(readable.data()), readable.size()),
                  step.crc);
    }
}

TEST_F(QpakTool, BuildOverAnExistingPackFailsAndSaysWhereTheNewOneIs) {
    std::string folder = game.makeFolder("map");
    game.write("map/m.dat", "m");
    ASSERT_EQ(qpak({"build", folder}).exitCode, 0);

    QpakRun again = qpak({"build", folder});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find(folder + "map.RPAK"), std::string::npos) << again.err;
    EXPECT_EQ(qpak({"build", game.file("nowhere")}).exitCode, 1);
}

TEST_F(QpakTool, VerifyFailsOnDamagedEntriesAndNamesThem) {
    std::string pack = game.file("p.QPAK");
    ASSERT_TRUE(writePack(pack, {{"good.dat", "fine"}, {"bad.dat", randomBytes(100000, 9)}}));
    std::string bytes = fileBytes(pack);
    bytes[bytes.size() / 2] ^= 0x10;
    game.write("p.QPAK", bytes);

    QpakRun verify = qpak({"verify", pack});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.err.find("bad.dat"), std::string::npos) << verify.err;
    EXPECT_EQ(verify.err.find("good.dat"), std::string::npos) << verify.err;

    game.write("truncated.QPAK", bytes.substr(0, bytes.size() - 30));
    EXPECT_EQ(qpak({"verify", game.file("truncated.QPAK")}).exitCode, 1);
    EXPECT_EQ(qpak({"list", game.file("truncated.QPAK")}).exitCode, 1);
    EXPECT_EQ(qpak({"verify", game.file("absent.QPAK")}).exitCode, 1);
}

// The game takes names without regard to case: whatever holds a name twice (a folder on a
// case-sensitive disk, the names to add), the pack gets one entry, the last copy.
TEST_F(QpakTool, NamesGivenTwiceLeaveOneEntryHoldingTheLastCopy) {
    const std::string staging = game.makeFolder("update");
    game.write("update/X.DAT", "upper");
    game.write("update/x.dat", "lower");
    const struct {
        PackEntries existing;            // empty: the folder holds X.DAT and x.dat, and no pack
        std::vector<std::string> names;  // to add; none: build
        PackEntries expected;
    } cases[] = {
        {{}, {}, {{"x.dat", "lower"}}},
        {{}, {"x.dat", "X.DAT"}, {{"X.DAT", "upper"}}},
        {{{"old.dat", "old"}, {"x.dat", "older"}},
         {"X.DAT", "x.dat", "x.dat"},
         {{"old.dat", "old"}, {"x.dat", "lower"}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const std::string folder = game.makeFolder("f" + std::to_string(i)), pack = PackArchive::packPath(folder);
        if (cases[i].existing.empty()) {
            game.write("f" + std::to_string(i) + "/X.DAT", "upper");
            game.write("f" + std::to_string(i) + "/x.dat", "lower");
        }
        ASSERT_TRUE(cases[i].existing.empty() || writePack(pack, cases[i].existing));
        std::vector<std::string> args{"build", folder};
        if (!cases[i].names.empty()) args = {"add", folder, staging};
        args.insert(args.end(), cases[i].names.begin(), cases[i].names.end());
        ASSERT_EQ(qpak(args).exitCode, 0);
        EXPECT_EQ(readPack(pack), cases[i].expected);
        EXPECT_EQ(qpak({"verify", pack}).exitCode, 0);
    }
}

TEST_F(QpakTool, VerifyNamesEntriesThatShareANameWithALaterOne) {
    const std::string pack = game.file("dup.QPAK");
    ASSERT_TRUE(writePack(pack, {{"a.dat", "first"}, {"b.dat", "b"}, {"A.DAT", "second"}}));
    QpakRun verify = qpak({"verify", pack});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.err.find("a.dat: the pack holds this name more than once"), std::string::npos) << verify.err;
    EXPECT_EQ(verify.err.find("b.dat"), std::string::npos) << verify.err;
}

TEST_F(QpakTool, SplitSendsMinimapEntriesToTheSecondArchiveByDefault) {
    std::string folder = game.makeFolder("update");
    ASSERT_TRUE(writePack(folder + "map_0.5_s.zip", {{"minimap/m.bmp", "M"}, {"map/t.bmp", "T"}}));

    ASSERT_EQ(qpak({"split", folder, "map_0.5_s.zip", "map.zip", "minimap.zip"}).exitCode, 0);
    EXPECT_EQ(readPack(folder + "map.zip"), (PackEntries{{"map/t.bmp", "T"}}));
    EXPECT_EQ(readPack(folder + "minimap.zip"), (PackEntries{{"m.bmp", "M"}}));

    ASSERT_EQ(qpak({"split", folder, "map_0.5_s.zip", "a.zip", "b.zip", "map/t"}).exitCode, 0);
    EXPECT_EQ(readPack(folder + "b.zip"), (PackEntries{{"t.bmp", "T"}}));
    EXPECT_EQ(qpak({"split", folder, "absent.zip", "a.zip", "b.zip"}).exitCode, 1);

    // Two minimap entries that end in one name: the part holds the last.
    ASSERT_TRUE(writePack(folder + "twice.zip", {{"minimap/a/m.bmp", "1"}, {"minimap/m.bmp", "2"}}));
    ASSERT_EQ(qpak({"split", folder, "twice.zip", "a.zip", "b.zip"}).exitCode, 0);
    EXPECT_EQ(readPack(folder + "b.zip"), (PackEntries{{"m.bmp", "2"}}));
}

TEST_F(QpakTool, WrongCommandLinesExitTwoWithUsage) {
    const std::vector<std::vector<std::string>> lines = {
        {}, {"frobnicate"}, {"build"}, {"add", "a/", "b/"}, {"split", "d/", "s.zip"}, {"list", "a", "b"},
    };
    for (const auto& args : lines) {
        QpakRun run = qpak(args);
        EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(run.err.find("usage: qpak"), std::string::npos);
    }
}

}  // namespace
}  // namespace nimbrel::test

#else
TEST(QpakTool, NotBuilt) { GTEST_SKIP() << "the qpak executable is not part of this build"; }
#endif
