// The one crash-safe write: nothing appears under the target's name until commit, a failed or
// abandoned write leaves no temporary, and a no-replace commit never clobbers.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using Commit = AtomicFile::Commit;

int fileCount(const std::string& folder) {
    auto entries = FileSystem::listFolder(folder);
    return entries ? static_cast<int>(entries->size()) - 2 : -1;  // less "." and ".."
}

TEST(AtomicFileTest, CommitOutcomesAgainstAnExistingTarget) {
    struct Case {
        bool targetExists;
        Commit mode;
        bool committed;
        const char* content;
    };
    for (const Case& c : {Case{false, Commit::Replace, true, "new"}, Case{true, Commit::Replace, true, "new"},
                          Case{false, Commit::NoReplace, true, "new"}, Case{true, Commit::NoReplace, false, "old"}}) {
        test::TempGameFolder game;
        if (c.targetExists) game.write("a.dat", "old");
        AtomicFile file;
        ASSERT_TRUE(file.open(game.file("a.dat")));
        ASSERT_TRUE(file.write("new", 3));
        EXPECT_EQ(game.read("a.dat"), c.targetExists ? "old" : "");  // nothing visible before commit
        EXPECT_EQ(file.commit(c.mode), c.committed);
        EXPECT_EQ(game.read("a.dat"), c.content);
        EXPECT_EQ(fileCount(game.path()), 1) << "no temporary may stay behind";
    }
}

TEST(AtomicFileTest, AbandonedWriteLeavesNothingAndLongTargetNamesFit) {
    test::TempGameFolder game;
    std::string longName(255, 'n');  // the longest name a folder entry can have
    {
        AtomicFile file;
        ASSERT_TRUE(file.open(game.file(longName)));
        ASSERT_TRUE(file.write("x", 1));
        EXPECT_TRUE(AtomicFile::isTemporaryName(FileSystem::nameOf(file.temporaryPath())));
    }
    EXPECT_EQ(fileCount(game.path()), 0);
    AtomicFile file;
    ASSERT_TRUE(file.open(game.file(longName), 0755));
    ASSERT_TRUE(file.commit());
    struct stat st {};
    ASSERT_EQ(::stat(game.file(longName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0100, 0100u) << "the requested execute bit";
}

TEST(AtomicFileTest, CreateDirectoriesMakesEveryLevel) {
    test::TempGameFolder game;
    EXPECT_TRUE(FileSystem::createDirectories(game.file("a/b/c/")));
    EXPECT_TRUE(FileSystem::isDirectory(game.file("a/b/c")));
    game.write("f", "x");
    EXPECT_FALSE(FileSystem::createDirectories(game.file("f/g")));
}

}  // namespace
}  // namespace nimbrel
