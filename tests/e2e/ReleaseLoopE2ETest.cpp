// The release loop end to end, as a release team and its players live it: a history of release
// builds is published (base, then a signed patch per build), and one player's game folder is
// patched version by version by runs killed at random points and started again. After every
// version the folder must be that build exactly, read by an independent zip reader, and
// nimbrel-cli verify must say so; a folder damaged afterwards must be told apart, difference by
// difference.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/GameFolderView.h"
#include "tests/e2e/PatchScenario.h"
#include "tests/e2e/ReleaseLoopFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReleaseHistory.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel::test {
namespace {

namespace fs = std::filesystem;

class ReleaseLoopE2ETest : public ReleaseLoopFixture {};

unsigned linesHolding(const std::string& output, const std::string& text) {
    unsigned count = 0;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        if (std::string_view(output).substr(start, end - start).find(text) != std::string_view::npos) ++count;
    return count;
}

TEST_F(ReleaseLoopE2ETest, EveryReleaseReachesAPlayerWhoseRunsAreKilledExactlyAsBuilt) {
    const auto& builds = releases->history.builds();
    ASSERT_GE(builds.size(), 8u);
    SCOPED_TRACE("seed " + std::to_string(loopSeed()) + ", kills at lines holding \"" + killOn() + "\"");
    publish(0, server.path());
    http.serveFolder("/patch/", server.path());
    const std::string game = installFirstBuild();
    std::mt19937 random(loopSeed());
    const std::string killText = killOn();
    unsigned lines = killText.empty() ? 30 : 3;  // of the last whole run that hold killText: kills fall among them
    for (std::size_t i = 1; i < builds.size() && !HasFailure(); ++i) {
        const int version = builds[i].version;
        SCOPED_TRACE("version " + std::to_string(version));
        publish(i, server.path());
        for (unsigned kills = 1 + random() % 2;; --kills) {
            const int killAt = kills > 0 ? static_cast<int>(1 + random() % lines) : 0;
            CliRun run = launch(game, {}, killAt, killText);
            if (run.killed) {
                const int installed = installedVersion(game);
                EXPECT_TRUE(installed == version - 1 || installed == version)
                    << installed << " after a kill at line " << killAt << "\n"
                    << run.output;
                continue;
            }
            // A kill that fell after the version was written leaves nothing to do.
            EXPECT_TRUE(run.lastLine() == "result " + std::to_string(version) + " stage 5" ||
                        run.lastLine() == "result -6 stage 3")
                << run.output;
            lines = killText.empty() ? std::max(20u, linesHolding(run.output, ""))
                                     : linesHolding(run.output, killText) + 1;
            break;
        }
        EXPECT_EQ(installedVersion(game), version);
        EXPECT_EQ(GameFolderView::difference(GameFolderView::read(game, releases->packPassword),
                                             GameFolderView::expected(builds[i])),
                  "");
        CliRun verify = launch(game, {"verify"});
        EXPECT_EQ(verify.exitCode, 0) << verify.output;
        EXPECT_FALSE(verify.lastLine().starts_with("result ")) << "verify ran a patch:\n" << verify.output;
    }
}

TEST_F(ReleaseLoopE2ETest, VerifyNamesEveryWayAnInstallDiffersFromItsBuild) {
    const ReleaseHistory::Build& build = releases->history.builds()[1];
    publish(0, server.path());
    publish(1, server.path());
    http.serveFolder("/patch/", server.path());
    const std::string game = installFirstBuild();
    CliRun patched = launch(game, {});
    ASSERT_EQ(patched.lastLine(), "result " + std::to_string(build.version) + " stage 5") << patched.output;
    ASSERT_EQ(launch(game, {"verify"}).exitCode, 0);

    const std::vector<Damage> damages = damagesOf(build, game);
    for (const Damage& damage : damages) damage.apply();
    CliRun verify = launch(game, {"verify"});
    EXPECT_EQ(verify.exitCode, 1) << verify.output;
    for (const Damage& damage : damages)
        EXPECT_NE(verify.output.find(damage.named), std::string::npos)
            << damage.what << ": " << damage.named << " not named\n"
            << verify.output;
}

}  // namespace
}  // namespace nimbrel::test
