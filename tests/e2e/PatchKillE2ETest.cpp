// nimbrel-cli killed (SIGKILL) at many points of a patch run, then run again: at every kill
// each pack is complete and readable and the version is either the old or the new one; the
// next run finishes the patch and leaves the same game as a run that was never interrupted.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

constexpr int kBulkFiles = 150;

using Tree = std::map<std::string, std::string>;  // relative path (pack path + "!" + entry) -> content

// Loose files and pack entries of a game folder, the update folder left out.
Tree snapshot(const PatchScenario& s) {
    Tree tree;
    for (const auto& entry : fs::recursive_directory_iterator(s.game)) {
        if (!entry.is_regular_file()) continue;
        const std::string relative = entry.path().string().substr(s.game.size());
        if (relative.starts_with("update/") || relative == "version.ini") continue;
        if (entry.path().extension() == ".QPAK") {
            for (const auto& [name, content] : readArchive(entry.path().string()))
                tree[relative + "!" + name] = content;
        } else {
            tree[relative] = readFile(entry.path().string());
        }
    }
    return tree;
}

// A loose file the reference does not have is acceptable only as an exact copy of the entry
// its folder's pack holds: a kill between building a pack and clearing the packed loose
// copies leaves such duplicates, which change nothing the game reads.
void expectSameGame(const Tree& actual, const Tree& reference, const std::string& when) {
    for (const auto& [path, content] : reference) {
        auto it = actual.find(path);
        ASSERT_NE(it, actual.end()) << path << " missing " << when;
        EXPECT_TRUE(it->second == content) << path << " differs " << when;
    }
    for (const auto& [path, content] : actual) {
        if (reference.count(path)) continue;
        // The version file's own temporary, when the kill fell into its replacement: litter
        // that the version file's writer leaves, not game data.
        if (path.starts_with("version.ini.")) continue;
        const std::string folder = path.substr(0, path.rfind('/') + 1);
        const std::string name = path.substr(folder.size());
        const std::string key = folder == "map/minimap/" ? "minimap" : folder.substr(0, folder.size() - 1);
        auto packed = reference.find(folder + key + ".QPAK!" + name);
        EXPECT_TRUE(packed != reference.end() && packed->second == content) << path << " is extra " << when;
    }
}

struct KillPoint {
    const char* line;
    int occurrence;
};

class PatchKillE2ETest : public ::testing::TestWithParam<KillPoint> {
protected:
    // The game as a run that was never interrupted leaves it, made once for all kill points.
    static void SetUpTestSuite() {
        PatchScenario reference;
        reference.bulkFiles = kBulkFiles;
        reference.installVersionZero();
        reference.makePatches();
        reference.publish();
        CliRun run = reference.run({});
        ASSERT_EQ(run.lastLine(), "result 3 stage 5") << run.output;
        expected = new Tree(snapshot(reference));
    }
    static void TearDownTestSuite() {
        delete expected;
        expected = nullptr;
    }
    static Tree* expected;
};

Tree* PatchKillE2ETest::expected = nullptr;

TEST_P(PatchKillE2ETest, KilledRunLeavesCompletePacksAndTheNextRunFinishesThePatch) {
    const KillPoint point = GetParam();
    const std::string when = std::string("after kill at \"") + point.line + "\" #" + std::to_string(point.occurrence);

    ASSERT_NE(expected, nullptr);
    PatchScenario s;
    s.bulkFiles = kBulkFiles;
    s.installVersionZero();
    s.makePatches();
    s.publish();
    CliRun killed = s.run({}, point.line, point.occurrence);
    ASSERT_TRUE(killed.killed) << "never saw the line " << when << "\n" << killed.output;
    s.expectEveryPackReadable(when);
    const int version = s.installedVersion();
    EXPECT_TRUE(version == 0 || version == 3) << version << " " << when;

    CliRun again = s.run({});
    EXPECT_TRUE(again.lastLine() == "result 3 stage 5" || (version == 3 && again.lastLine() == "result -6 stage 3"))
        << when << "\n"
        << again.output;
    EXPECT_EQ(s.installedVersion(), 3);
    s.expectEveryPackReadable(when + ", then run again");
    expectSameGame(snapshot(s), *expected, when + ", then run again");
}

INSTANTIATE_TEST_SUITE_P(Points, PatchKillE2ETest,
                         ::testing::Values(KillPoint{"status: Being depressed...", 1},
                                           KillPoint{"status: Collecting files", 1},
                                           KillPoint{"status: Collecting files", 3}, KillPoint{"progress:", 12},
                                           KillPoint{"progress:", 25}, KillPoint{"progress:", 40},
                                           KillPoint{"progress:", 50}, KillPoint{"status: Deleting files", 1},
                                           KillPoint{"counter: 1/5", 1}),
                         [](const auto& info) { return "Point" + std::to_string(info.index); });

}  // namespace
}  // namespace nimbrel::test
