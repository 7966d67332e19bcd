// The client version file on disk: its exact bytes, the round trip for every version, the
// token table's invariants, what a damaged or missing file does, and that a failed write keeps
// the installed version readable.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "engine/ClientVersionFile.h"
#include "engine/PatchEngine.h"
#include "engine/VersionTokenTable.h"
#include "tests/support/RecordingWindow.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

class ClientVersionFileTest : public ::testing::Test {
protected:
    ClientVersionFileTest() : engine(&window) { engine.initialize(game.path()); }

    std::string versionLine(unsigned version) {
        return std::string("CUR_VERSION") + VersionTokenTable::tokenForVersion(version);
    }

    test::TempGameFolder game;
    test::RecordingWindow window;
    PatchEngine engine;
};

TEST(VersionTokenTableTest, TokensHaveTheFixedFormAndAreAllDistinct) {
    std::set<std::string> seen;
    const std::string base64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (unsigned v = 0; v < VersionTokenTable::kCount; ++v) {
        const char* token = VersionTokenTable::tokenForVersion(v);
        ASSERT_NE(token, nullptr) << v;
        std::string text(token);
        ASSERT_EQ(text.size(), 13u) << v;
        EXPECT_EQ(text.front(), '=');
        EXPECT_EQ(text.back(), '=');
        EXPECT_EQ(text.find_first_not_of(base64, 1), 12u) << text;
        EXPECT_TRUE(seen.insert(text).second) << "duplicate token " << text;
        EXPECT_EQ(VersionTokenTable::versionFromToken(token), static_cast<int>(v));
    }
}

TEST(VersionTokenTableTest, LookupsOutsideTheTableFail) {
    EXPECT_EQ(VersionTokenTable::tokenForVersion(2000), nullptr);
    EXPECT_EQ(VersionTokenTable::tokenForVersion(static_cast<unsigned>(-1)), nullptr);
    const std::string token = VersionTokenTable::tokenForVersion(7);
    EXPECT_EQ(VersionTokenTable::versionFromToken(""), -1);
    EXPECT_EQ(VersionTokenTable::versionFromToken(token + " "), -1);
    EXPECT_EQ(VersionTokenTable::versionFromToken(" " + token), -1);
    EXPECT_EQ(VersionTokenTable::versionFromToken(token.substr(0, 12)), -1);
    EXPECT_EQ(VersionTokenTable::versionFromToken(static_cast<const char*>(nullptr)), -1);
}

TEST_F(ClientVersionFileTest, EveryVersionWritesThirtyFiveBytesAndReadsBack) {
    // The bytes of every version go through the reader; the durable replacement (two flushes
    // to disk each) is exercised on a spread of versions so that the test stays fast.
    for (int v = 0; v < 2000; ++v) {
        const std::string bytes = ClientVersionFile::contentFor(v);
        ASSERT_EQ(bytes.size(), 35u) << v;
        ASSERT_EQ(bytes, "[DEFAULT]\r\n" + versionLine(static_cast<unsigned>(v)));
        if (v % 400 == 0 || v == 1999) {
            ASSERT_EQ(ClientVersionFile(engine.context()).write(v), v);
            ASSERT_EQ(game.read("version.ini"), bytes);
        } else {
            game.write("version.ini", bytes);
        }
        ASSERT_EQ(ClientVersionFile(engine.context()).read(), v);
    }
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(ClientVersionFileTest, MissingFileShowsTheReinstallBox) {
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), -1);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "버전을 찾을수없습니다, 게임을 다시 설치해 주시기바랍니다");
    EXPECT_EQ(window.boxes()[0].caption, "Error");
}

// Files that open but hold no usable version, all refused with the "wrong version" box.
TEST_F(ClientVersionFileTest, DamagedFilesAreRejectedWithTheWrongVersionBox) {
    const std::string t5 = VersionTokenTable::tokenForVersion(5);
    const std::string t6 = VersionTokenTable::tokenForVersion(6);
    std::string lower = t5;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, t5);
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"empty file", ""},
        {"no version line", "[DEFAULT]\r\nSOMETHING=1\r\n"},
        {"key without value", "[DEFAULT]\r\nCUR_VERSION"},
        {"trailing blank", "[DEFAULT]\r\nCUR_VERSION" + t5 + " "},
        {"other letter case", "[DEFAULT]\r\nCUR_VERSION" + lower},
        {"indented key reads from the fixed column", "[DEFAULT]\r\n  CUR_VERSION" + t5},
        {"first version line counts even when invalid", "CUR_VERSION=bogus=\nCUR_VERSION" + t6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window.clear();
        game.write("version.ini", c.content);
        EXPECT_EQ(ClientVersionFile(engine.context()).read(), -1);
        ASSERT_EQ(window.boxes().size(), 1u);
        EXPECT_EQ(window.boxes()[0].text, "잘못된버전입니다, 게임을 다시 설치해 주시기바랍니다");
        EXPECT_EQ(window.boxes()[0].caption, "Error");
    }
}

TEST_F(ClientVersionFileTest, AcceptsCrLfLfAndATrailingLineEnd) {
    const std::string t = VersionTokenTable::tokenForVersion(1234);
    for (const std::string& content :
         {"[DEFAULT]\r\nCUR_VERSION" + t + "\r\n", "[DEFAULT]\nCUR_VERSION" + t, "[DEFAULT]\nCUR_VERSION" + t + "\n",
          "CUR_VERSION" + t, "[DEFAULT]\r\nCUR_VERSION" + t + "\r\nCUR_VERSION=bogus=\r\n"}) {
        game.write("version.ini", content);
        EXPECT_EQ(ClientVersionFile(engine.context()).read(), 1234) << content;
    }
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(ClientVersionFileTest, VersionBeyondTheTableWritesTheBareKeyThatNoReadAccepts) {
    EXPECT_EQ(ClientVersionFile(engine.context()).write(2000), 2000);
    EXPECT_EQ(game.read("version.ini"), "[DEFAULT]\r\nCUR_VERSION");
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), -1);
}

TEST_F(ClientVersionFileTest, StopRequestLeavesTheFileAlone) {
    game.write("version.ini", "[DEFAULT]\r\n" + versionLine(3));
    engine.stopFlag() = 1;
    EXPECT_EQ(ClientVersionFile(engine.context()).write(4), -7);
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), -7);
    engine.stopFlag() = 0;
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), 3);
    EXPECT_TRUE(window.boxes().empty());
}

TEST_F(ClientVersionFileTest, ReplacingLeavesNoTemporaryBehind) {
    ASSERT_EQ(ClientVersionFile(engine.context()).write(1), 1);
    ASSERT_EQ(ClientVersionFile(engine.context()).write(2), 2);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(game.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);  // version.ini alone
}

// A write that cannot complete must not cost the player the installed version.
TEST_F(ClientVersionFileTest, FailedWriteKeepsTheOldFileAndReportsTheCause) {
    ASSERT_EQ(ClientVersionFile(engine.context()).write(41), 41);
    const std::string before = game.read("version.ini");
    const std::string path = game.file("version.ini");

    ::chmod(path.c_str(), 0444);  // write-protected by the player
    EXPECT_EQ(ClientVersionFile(engine.context()).write(42), -1);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, "Access to " + path + " was denied.");
    EXPECT_EQ(window.boxes()[0].caption, "Error");
    EXPECT_EQ(game.read("version.ini"), before);
    ::chmod(path.c_str(), 0644);

    if (::geteuid() != 0) {  // root writes into any folder
        window.clear();
        ::chmod(game.path().c_str(), 0555);
        EXPECT_EQ(ClientVersionFile(engine.context()).write(43), -1);
        ::chmod(game.path().c_str(), 0755);
        ASSERT_EQ(window.boxes().size(), 1u);
        EXPECT_EQ(window.boxes()[0].text, "Access to " + path + " was denied.");
        EXPECT_EQ(game.read("version.ini"), before);
    }
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), 41);
}

TEST_F(ClientVersionFileTest, MissingGameFolderIsReportedAsNotFound) {
    engine.initialize(game.path() + "gone/");
    EXPECT_EQ(ClientVersionFile(engine.context()).write(1), -1);
    ASSERT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(window.boxes()[0].text, game.path() + "gone/version.ini was not found.");
}

TEST_F(ClientVersionFileTest, WriteThatFailsHalfwayKeepsTheOldFile) {
    ASSERT_EQ(ClientVersionFile(engine.context()).write(7), 7);
    const std::string before = game.read("version.ini");
    // A file-size limit below 35 bytes makes the write itself fail after the file was
    // created, like a disk that fills up while the new version goes out.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = ClientVersionFile(engine.context()).write(8);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, -1);
    EXPECT_EQ(window.boxes().size(), 1u);
    EXPECT_EQ(game.read("version.ini"), before);
    EXPECT_EQ(ClientVersionFile(engine.context()).read(), 7);
}

TEST(ClientVersionFileErrorTextTest, MapsOperatingSystemErrorsToTheFileErrorTexts) {
    const std::string p = "/game/version.ini";
    struct Case {
        int error;
        std::string text;
    } cases[] = {
        {ENOENT, p + " was not found."},
        {ENOTDIR, p + " contains an invalid path."},
        {ENAMETOOLONG, p + " contains an invalid path."},
        {EMFILE, p + " could not be opened because there are too many open files."},
        {ENFILE, p + " could not be opened because there are too many open files."},
        {EACCES, "Access to " + p + " was denied."},
        {EROFS, "Access to " + p + " was denied."},
        {EBADF, "An invalid file handle was associated with " + p + "."},
        {EMLINK, p + " could not be created because the directory is full."},
        {EIO, "A hardware I/O error was reported while accessing " + p + "."},
        {ETXTBSY, "A sharing violation occurred while accessing " + p + "."},
        {ENOLCK, "A locking violation occurred while accessing " + p + "."},
        {ENOSPC, "Disk full while accessing " + p + "."},
        {EDQUOT, "Disk full while accessing " + p + "."},
        {EPROTO, "An unknown error occurred while accessing " + p + "."},
        {0, "An unknown error occurred while accessing " + p + "."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientVersionFile::fileErrorText(c.error, p), c.text) << std::strerror(c.error);
}

}  // namespace
}  // namespace nimbrel
