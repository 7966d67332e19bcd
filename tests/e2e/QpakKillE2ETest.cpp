// A player's machine can lose the launcher at any instant (killed, crashed, powered off while
// packing). Whatever the instant, the folder must hold one complete, readable pack: the old one
// or the new one, never a half-written or missing one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pack/PackPasswordTable.h"
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

// Info-ZIP's own test of every entry, with the pack password.
bool unzipFindsItWhole(const std::string& pack) {
    const std::string password = PackPasswordTable::instance().password(3);
    return ChildProcess::run({"/usr/bin/unzip", "-tqq", "-P", password, pack}, ChildProcess::collectOutput())
               .exitCode == 0;
}

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

TEST_F(QpakKill, KilledCompactionAlwaysLeavesACompleteOldOrNewPack) {
    const std::string scratch = game.makeFolder("scratch");
    ASSERT_EQ(runQpak(scratch, {"build", folder}).exitCode, 0);
    const std::string pack = folder + "map.QPAK";
    ASSERT_EQ(readPack(pack), oldEntries);
    const std::string oldBytes = fileBytes(pack);
    // Replacing half of the tiles leaves more than a quarter of the pack dead: the update writes
    // the pack afresh through its temporary.
    PackEntries newEntries(oldEntries.begin() + 32, oldEntries.end());
    std::vector<std::string> args{"add", folder, staging};
    for (int i = 0; i < 32; ++i) {
        std::string content = randomBytes(160 * 1024, 500 + i);
        game.write("update/" + oldEntries[i].first, content);
        args.push_back(oldEntries[i].first);
        newEntries.emplace_back(oldEntries[i].first, content);
    }
    std::map<std::string, int> outcomes;
    for (double fraction : {-1.0, 0.0, 0.1, 0.4, 0.7, 0.9, 1.0, 1.05, kAfterRename}) {
        game.write("map/map.QPAK", oldBytes);
        bool killed =
            killPartWay(scratch, args, folder + "map.RPAK", static_cast<long long>(oldBytes.size()), fraction);

        PackEntries now = readPack(pack);
        bool isOld = now == oldEntries;
        bool isNew = now == newEntries;
        EXPECT_TRUE(isOld || isNew) << "killed at " << fraction << ": " << now.size() << " entries, first "
                                    << (now.empty() ? "" : now.front().first);
        outcomes[!killed ? "finished" : isNew ? "killed after the switch" : "killed before the switch"]++;
    }
    for (const auto& [what, count] : outcomes) std::printf("  %s: %d\n", what.c_str(), count);
}

// An update in place only appends. Cut off anywhere between its journal and the removal of
// the journal, the next opening gives the old pack back, to our reader and to unzip alike.
TEST_F(QpakKill, CutOffInPlaceUpdateRollsBackAtEveryWritePoint) {
    // A small pack, so that the cut can fall on every byte of the new directory and end record.
    const std::string scratch = game.makeFolder("scratch");
    const std::string folder = game.makeFolder("sfx");
    PackEntries oldEntries, newEntries;
    for (int i = 0; i < 8; ++i) {
        oldEntries.emplace_back("s" + std::to_string(i) + ".wav", randomBytes(8 * 1024, 300 + i));
        game.write("sfx/" + oldEntries.back().first, oldEntries.back().second);
    }
    std::vector<std::string> args{"add", folder, staging};
    newEntries = oldEntries;
    for (int i = 0; i < 3; ++i) {
        newEntries.emplace_back("n" + std::to_string(i) + ".wav", randomBytes(8 * 1024, 400 + i));
        game.write("update/" + newEntries.back().first, newEntries.back().second);
        args.push_back(newEntries.back().first);
    }
    ASSERT_EQ(runQpak(scratch, {"build", folder}).exitCode, 0);
    const std::string pack = folder + "sfx.QPAK";
    const std::string journal = pack + ".journal";
    const std::string oldBytes = fileBytes(pack);

    // A real journal: the one a killed update leaves.
    std::string journalBytes;
    for (int attempt = 0; attempt < 20 && journalBytes.empty(); ++attempt) {
        game.write("sfx/sfx.QPAK", oldBytes);
        auto child = startQpak(scratch, args);
        while (fileSize(journal) <= 0 && child->running()) std::this_thread::yield();
        child->signal(SIGKILL);
        child->wait();
        journalBytes = fileBytes(journal);
    }
    ASSERT_FALSE(journalBytes.empty()) << "the update never showed its journal";

    ASSERT_EQ(runQpak(scratch, args).exitCode, 0);
    const std::string newBytes = fileBytes(pack);
    ASSERT_EQ(newBytes.substr(0, oldBytes.size()), oldBytes) << "the update did not only append";
    ASSERT_EQ(readPack(pack), newEntries);

    // Every length the pack can have while the journal is there: nothing appended yet, entries
    // part-way, the directory and end record part-way (byte by byte), all written.
    std::vector<std::size_t> cuts;
    const std::size_t tail = 400;
    for (std::size_t cut = oldBytes.size(); cut + tail < newBytes.size(); cut += 1024) cuts.push_back(cut);
    for (std::size_t cut = newBytes.size() - tail; cut <= newBytes.size(); ++cut) cuts.push_back(cut);
    for (std::size_t i = 0; i < cuts.size(); ++i) {
        SCOPED_TRACE(cuts[i]);
        game.write("sfx/sfx.QPAK", newBytes.substr(0, cuts[i]));
        game.write("sfx/sfx.QPAK.journal", journalBytes);
        // Any opening by our programs rolls back; the pack is then the old one to the byte.
        ASSERT_EQ(runQpak(scratch, {"list", pack}).exitCode, 0);
        EXPECT_EQ(fileBytes(pack), oldBytes);
        EXPECT_FALSE(game.exists("sfx/sfx.QPAK.journal"));
        if (i % 40 == 0) {
            EXPECT_TRUE(unzipFindsItWhole(pack));
        }
    }
    // And the update run again finishes.
    ASSERT_EQ(runQpak(scratch, args).exitCode, 0);
    EXPECT_EQ(readPack(pack), newEntries);
}

TEST_F(QpakKill, KilledInPlaceUpdateLeavesTheOldOrTheNewPackAndARerunFinishes) {
    const std::string scratch = game.makeFolder("scratch");
    ASSERT_EQ(runQpak(scratch, {"build", folder}).exitCode, 0);
    const std::string pack = folder + "map.QPAK";
    const std::string oldBytes = fileBytes(pack);
    std::vector<std::string> args{"add", folder, staging};
    for (const auto& entry : addedEntries) args.push_back(entry.first);
    PackEntries newEntries = oldEntries;
    newEntries.insert(newEntries.end(), addedEntries.begin(), addedEntries.end());
    const long long grown = 3 * 256 * 1024;

    std::map<std::string, int> outcomes;
    for (double fraction : {0.0, 0.3, 0.6, 0.9, 1.0}) {
        game.write("map/map.QPAK", oldBytes);
        auto child = startQpak(scratch, args);
        const long long target = static_cast<long long>(oldBytes.size()) + static_cast<long long>(fraction * grown);
        bool finished = false;
        while (fileSize(pack) < target || (fraction == 0.0 && fileSize(pack + ".journal") < 0)) {
            if (!child->running()) {
                finished = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        if (!finished) child->signal(SIGKILL);
        child->wait();
        PackEntries now = readPack(pack);
        EXPECT_TRUE(now == oldEntries || now == newEntries) << "killed at " << fraction;
        EXPECT_TRUE(unzipFindsItWhole(pack));
        outcomes[finished ? "finished" : now == newEntries ? "killed after the switch" : "killed before"]++;
        ASSERT_EQ(runQpak(scratch, args).exitCode, 0);
        EXPECT_EQ(readPack(pack), newEntries);
    }
    for (const auto& [what, count] : outcomes) std::printf("  %s: %d\n", what.c_str(), count);
}

// A stop request (the launcher closing, Ctrl-C) ends an update between entries: the old pack
// stays, and neither a temporary nor a journal is left.
TEST_F(QpakKill, StoppedUpdateAndBuildLeaveTheOldStateAndNoTemporary) {
    const std::string scratch = game.makeFolder("scratch");
    ASSERT_EQ(runQpak(scratch, {"build", folder}).exitCode, 0);
    const std::string pack = folder + "map.QPAK";
    const std::string oldBytes = fileBytes(pack);
    std::vector<std::string> args{"add", folder, staging};
    for (int i = 0; i < 40; ++i) {
        std::string name = "more" + std::to_string(i) + ".dat";
        game.write("update/" + name, randomBytes(512 * 1024, 900 + i));
        args.push_back(name);
    }
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string watched;  // signalled once this file grows
        bool packBefore;
    };
    const Case cases[] = {{"update in place", args, pack, true},
                          {"build", {"build", folder}, folder + "map.RPAK", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.packBefore)
            game.write("map/map.QPAK", oldBytes);
        else
            ::unlink(pack.c_str());
        const long long start = fileSize(c.watched);
        auto child = startQpak(scratch, c.args);
        bool finished = false;
        while (fileSize(c.watched) <= std::max(start, 0LL) + 256 * 1024) {
            if (!child->running()) {
                finished = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        if (finished) {
            ADD_FAILURE() << "finished before it could be stopped";
            continue;
        }
        child->signal(SIGTERM);
        ProcessOutput output = child->wait();
        EXPECT_EQ(output.exitCode, 1);
        EXPECT_NE(output.err.find("stopped"), std::string::npos) << output.err;
        if (c.packBefore) {
            EXPECT_EQ(fileBytes(pack), oldBytes);
        } else {
            EXPECT_FALSE(game.exists("map/map.QPAK"));
        }
        EXPECT_FALSE(game.exists("map/map.RPAK"));
        EXPECT_FALSE(game.exists("map/map.QPAK.journal"));
    }
}

TEST_F(QpakKill, KilledBuildLeavesNoPackOrACompleteOne) {
    const std::string scratch = game.makeFolder("scratch");
    for (const auto& entry : addedEntries) game.write("map/" + entry.first, entry.second);
    PackEntries all = oldEntries;
    all.insert(all.end(), addedEntries.begin(), addedEntries.end());
    std::sort(all.begin(), all.end());
    const long long expectedSize = 64 * 160 * 1024 + 3 * 256 * 1024;
    for (double fraction : {-1.0, 0.2, 0.6, 1.0, kAfterRename}) {
        ::unlink((folder + "map.QPAK").c_str());
        killPartWay(scratch, {"build", folder}, folder + "map.RPAK", expectedSize, fraction);
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
