// A player's machine can lose the launcher at any instant (killed, crashed, powered off while
// packing). Whatever the instant, the folder must hold one complete, readable pack: the old one
// or the new one, never a half-written or missing one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/pack/PackArchiveTestSupport.h"
#include "tests/support/TempGameFolder.h"

#ifdef QPAK_PATH
#include "QpakRun.h"

namespace nimbrel::test {
namespace {

long long fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

constexpr double kAfterRename = 9.0;

// Starts qpak and kills it once the temporary has grown to `fraction` of `fullSize` (at once
// for a negative fraction, just after the temporary was renamed for kAfterRename); true when it
// was killed before it finished on its own.
bool killPartWay(const std::string& scratch, const std::vector<std::string>& args, const std::string& temp,
                 long long fullSize, double fraction) {
    ::unlink(temp.c_str());
    auto child = startQpak(scratch, args);
    EXPECT_TRUE(child->started());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool tempSeen = false;
    auto reached = [&] {
        long long size = fileSize(temp);
        if (fraction == kAfterRename) return (tempSeen = tempSeen || size >= 0) && size < 0;
        return size >= static_cast<long long>(fraction * static_cast<double>(fullSize));
    };
    while (fraction >= 0 && !reached()) {
        if (!child->running()) return false;
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    child->signal(SIGKILL);
    return child->wait().exitCode == 128 + SIGKILL;
}

class QpakKill : public ::testing::Test {
protected:
    void SetUp() override {
        folder = game.makeFolder("map");
        staging = game.makeFolder("update");
        // Large, incompressible entries make the rebuild long enough to be caught mid-way.
        for (int i = 0; i < 64; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "tile%02d.dat", i);
            std::string content = randomBytes(160 * 1024, i);
            game.write(std::string("map/") + name, content);
            oldEntries.emplace_back(name, content);
        }
        for (int i = 0; i < 3; ++i) {
            std::string name = "new" + std::to_string(i) + ".dat";
            std::string content = randomBytes(256 * 1024, 100 + i);
            game.write("update/" + name, content);
            addedEntries.emplace_back(name, content);
        }
    }

    TempGameFolder game;
    std::string folder;
    std::string staging;
    PackEntries oldEntries;
    PackEntries addedEntries;
};

TEST_F(QpakKill, KilledRebuildAlwaysLeavesACompleteOldOrNewPack) {
    ASSERT_EQ(runQpak(game.makeFolder("scratch"), {"build", folder}).exitCode, 0);
    const std::string pack = folder + "map.QPAK";
    ASSERT_EQ(readPack(pack), oldEntries);
    const std::string oldBytes = fileBytes(pack);
    PackEntries newEntries = oldEntries;
    newEntries.insert(newEntries.end(), addedEntries.begin(), addedEntries.end());

    std::vector<std::string> args{"add", folder, staging};
    for (const auto& entry : addedEntries) args.push_back(entry.first);
    std::map<std::string, int> outcomes;
    for (double fraction : {-1.0, 0.0, 0.1, 0.4, 0.7, 0.9, 1.0, 1.05, kAfterRename}) {
        game.write("map/map.QPAK", oldBytes);
        bool killed = killPartWay(game.makeFolder("scratch"), args, folder + "map.RPAK",
                                  static_cast<long long>(oldBytes.size()), fraction);

        PackEntries now = readPack(pack);
        bool isOld = now == oldEntries;
        bool isNew = now == newEntries;
        EXPECT_TRUE(isOld || isNew) << "killed at " << fraction << ": " << now.size() << " entries, first "
                                    << (now.empty() ? "" : now.front().first);
        outcomes[!killed ? "finished" : isNew ? "killed after the switch" : "killed before the switch"]++;
    }
    for (const auto& [what, count] : outcomes) std::printf("  %s: %d\n", what.c_str(), count);
}

TEST_F(QpakKill, KilledBuildLeavesNoPackOrACompleteOne) {
    for (const auto& entry : addedEntries) game.write("map/" + entry.first, entry.second);
    PackEntries all = oldEntries;
    all.insert(all.end(), addedEntries.begin(), addedEntries.end());
    std::sort(all.begin(), all.end());
    const long long expectedSize = 64 * 160 * 1024 + 3 * 256 * 1024;
    for (double fraction : {-1.0, 0.2, 0.6, 1.0, kAfterRename}) {
        ::unlink((folder + "map.QPAK").c_str());
        killPartWay(game.makeFolder("scratch"), {"build", folder}, folder + "map.RPAK", expectedSize, fraction);
        if (fileSize(folder + "map.QPAK") >= 0) {
            EXPECT_EQ(readPack(folder + "map.QPAK"), all) << fraction;
        }
    }
}

}  // namespace
}  // namespace nimbrel::test

#else
TEST(QpakKill, NotBuilt) { GTEST_SKIP() << "the qpak executable is not part of this build"; }
#endif
