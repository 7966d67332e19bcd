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
            if (installed == -1) continue;
            break;
        }
        EXPECT_EQ(run.lastLine(), "result " + std::to_string(last().version) + " stage 5") << run.output;
        break;
    }
    expectLastBuild();
}

TEST_F(RepairE2ETest, EachDamageIsRepairedOverRangesOrWholeArchives) {
    ASSERT_NO_FATAL_FAILURE(installWhole());
    const ReleaseHistory::Build& build = last();
    auto first = [&](const std::function<bool(const std::string&, unsigned)>& fits) {
        for (const auto& [path, file] : build.files)
            if (fits(path, file.mode)) return path;
        return std::string();
    };
    const std::string loose = first([](const std::string& p, unsigned) {
        return ReleaseHistory::packedFolderOf(p).empty() && p != "QuorlanPlus.exe";
    });
    const std::string entry =
        first([](const std::string& p, unsigned) { return ReleaseHistory::packedFolderOf(p) == "item"; });
    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    const std::vector<Damage> damages{
        {"a file deleted", [&] { fs::remove(game() + loose); }},
        {"a byte flipped inside a pack entry",
         [&] {
             const std::string pack = game() + "item/item.QPAK";
             const auto [offset, length] = GameFolderView::locate(pack, entry.substr(5), releases->packPassword);
             std::fstream f(pack, std::ios::in | std::ios::out | std::ios::binary);
             f.seekg(offset + length / 2);
             const char c = static_cast<char>(f.get() ^ 0x20);
             f.seekp(offset + length / 2);
             f.put(c);
         }},
        {"a pack truncated",
         [&] { fs::resize_file(game() + "sfx/sfx.QPAK", fs::file_size(game() + "sfx/sfx.QPAK") / 2); }},
        {"a mode changed",
         [&] { ::chmod((game() + "QuorlanPlus.exe").c_str(), build.files.at("QuorlanPlus.exe").mode ^ 0111); }},
        {"a file added to a packed folder", [&] { std::ofstream(game() + "item/extra.dat") << "extra"; }},
    };
    for (const bool ignoreRanges : {false, true}) {
        http.setIgnoreRanges(ignoreRanges);
        for (const Damage& damage : damages) {
            SCOPED_TRACE(std::string(damage.what) + (ignoreRanges ? ", whole archives" : ", byte ranges"));
            damage.apply();
            CliRun repair = launch(game(), {"repair"});
            EXPECT_EQ(repair.exitCode, 0) << repair.output;
            expectLastBuild();
        }
    }
}

}  // namespace
}  // namespace nimbrel::test
