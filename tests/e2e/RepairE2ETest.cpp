// nimbrel-cli install and repair end to end on the release loop's history, published whole: a
// folder installed from nothing (by runs killed at random points and started again) is the last
// build; a damaged folder is brought back by repair, over byte ranges or, from a server that
// does not answer ranges, over whole archives; verify accepts each result.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/GameFolderView.h"
#include "tests/e2e/ReleaseLoopFixture.h"

namespace nimbrel::test {
namespace {

namespace fs = std::filesystem;

class RepairE2ETest : public ReleaseLoopFixture {
protected:
    void SetUp() override {
        for (std::size_t i = 0; i < releases->history.builds().size(); ++i) publish(i, server.path());
        http.serveFolder("/patch/", server.path());
    }

    const ReleaseHistory::Build& last() const { return releases->history.builds().back(); }
    std::string game() const { return client.path() + "game/"; }

    // The folder is the last build, verify says so, and the version is the last.
    void expectLastBuild() {
        EXPECT_EQ(GameFolderView::difference(GameFolderView::read(game(), releases->packPassword),
                                             GameFolderView::expected(last())),
                  "");
        CliRun verify = launch(game(), {"verify"});
        EXPECT_EQ(verify.exitCode, 0) << verify.output;
        EXPECT_EQ(installedVersion(game()), last().version);
    }

    void installWhole() {
        CliRun run = launch(game(), {"install"});
        ASSERT_EQ(run.exitCode, 0) << run.output;
    }
};

TEST_F(RepairE2ETest, AnInstallFromNothingKilledAtRandomPointsEndsAsTheLastBuild) {
    // A whole install first: the build, and the number of lines among which the kills fall.
    CliRun whole = launch(game(), {"install"});
    EXPECT_EQ(whole.lastLine(), "result " + std::to_string(last().version) + " stage 5") << whole.output;
    expectLastBuild();
    EXPECT_TRUE(fs::exists(game() + "version.serial"));
    // Each file's current bytes are fetched by ranges: no archive travels whole.
    for (const TestHttpServer::Request& request : http.requests())
        if (request.path.ends_with(".zip")) {
            EXPECT_FALSE(request.range.empty()) << request.path;
        }
    const auto lines = static_cast<unsigned>(std::count(whole.output.begin(), whole.output.end(), '\n'));

    fs::remove_all(game());
    std::mt19937 random(loopSeed());
    for (int kills = 4;; --kills) {
        CliRun run = launch(game(), {"install"}, kills > 0 ? static_cast<int>(1 + random() % lines) : 0);
        if (run.killed) {
            // A kill before the version was written leaves no version; one after, the last.
            const int installed = installedVersion(game());
            EXPECT_TRUE(installed == -1 || installed == last().version) << installed << "\n" << run.output;
            // The list's serial comes with the version, never before it.
            if (installed == -1) {
                EXPECT_FALSE(fs::exists(game() + "version.serial"));
                continue;
            }
            break;
        }
        EXPECT_EQ(run.lastLine(), "result " + std::to_string(last().version) + " stage 5") << run.output;
        break;
    }
    expectLastBuild();
}

TEST_F(RepairE2ETest, EachDamageIsRepairedOverRangesOrWholeArchives) {
    ASSERT_NO_FATAL_FAILURE(installWhole());
    std::vector<Damage> damages = damagesOf(last(), game());
    damages.push_back({"a file added to a packed folder", "item/extra.dat",
                       [this] { std::ofstream(game() + "item/extra.dat") << "extra"; }});
    for (const bool ignoreRanges : {false, true}) {
        http.setIgnoreRanges(ignoreRanges);
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(damage.what) + (ignoreRanges ? ", whole archives" : ", byte ranges"));
            damage.apply();
            http.clearLog();
            CliRun repair = launch(game(), {"repair"});
            EXPECT_EQ(repair.exitCode, 0) << repair.output;
            for (const TestHttpServer::Request& request : http.requests())
                if (request.path.ends_with(".zip")) {
                    EXPECT_EQ(request.status, ignoreRanges ? 200 : 206) << request.path << " " << request.range;
                }
            expectLastBuild();
        }
    }
}

TEST_F(RepairE2ETest, ARepairKilledAtRandomPointsIsFinishedByTheNextRun) {
    ASSERT_NO_FATAL_FAILURE(installWhole());
    auto damageAll = [this] {
        for (const Damage& damage : damagesOf(last(), game())) damage.apply();
    };
    damageAll();
    CliRun whole = launch(game(), {"repair"});
    ASSERT_EQ(whole.exitCode, 0) << whole.output;
    const auto lines = static_cast<unsigned>(std::count(whole.output.begin(), whole.output.end(), '\n'));
    std::mt19937 random(loopSeed());
    for (int round = 0; round < 3; ++round) {
        damageAll();
        for (int kills = 2; kills > 0; --kills)
            (void)launch(game(), {"repair"}, static_cast<int>(1 + random() % lines));
        CliRun repair = launch(game(), {"repair"});
        EXPECT_EQ(repair.exitCode, 0) << repair.output;
        expectLastBuild();
    }
}

}  // namespace
}  // namespace nimbrel::test
