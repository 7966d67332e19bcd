#pragma once
// The release loop's set-up, shared by the tests that run a player's launcher against it: a
// seeded history of release builds written once per suite with the release team's key, its
// publication (base, then a signed patch per build) and a launcher with that key.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/GameFolderView.h"
#include "tests/e2e/PatchScenario.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReleaseHistory.h"
#include "tests/support/TempGameFolder.h"
#include "tests/support/TestHttpServer.h"

namespace nimbrel::test {

// CI runs one fixed history and fixed kill points. A soak run sets NIMBREL_RELEASE_LOOP_SEED to
// try other histories, and NIMBREL_RELEASE_LOOP_KILL_ON to kill only at lines holding that text
// ("minimap", "progress") instead of at any line.
inline unsigned loopSeed() {
    const char* seed = std::getenv("NIMBREL_RELEASE_LOOP_SEED");
    return seed && *seed ? static_cast<unsigned>(std::stoul(seed)) : 20261208u;
}

inline std::string killOn() {
    const char* text = std::getenv("NIMBREL_RELEASE_LOOP_KILL_ON");
    return text ? text : "";
}

// The history on disk, one folder per build, and the release team's key: made once.
struct Releases {
    ReleaseHistory history{{.seed = loopSeed()}};
    TempGameFolder folder;
    std::vector<std::string> builds;
    std::string secretKey = folder.file("release.key");
    std::string publicKey;
    std::string packPassword;
};

class ReleaseLoopFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        releases = new Releases;
        for (const ReleaseHistory::Build& build : releases->history.builds()) {
            releases->builds.push_back(releases->folder.makeFolder("v" + std::to_string(build.version)));
            std::string error;
            ASSERT_TRUE(build.writeTo(releases->builds.back(), QPAK_PATH, error)) << error;
        }
        releases->publicKey = tool({NIMBREL_PUBLISH_PATH, "keygen", releases->secretKey}).lastLine();
        releases->packPassword = tool({QPAK_PATH, "password"}).lastLine();
    }
    static void TearDownTestSuite() {
        delete releases;
        releases = nullptr;
    }

    static ProcessOutput tool(const std::vector<std::string>& argv) {
        ChildProcess::Options options;
        options.outputFolder = releases->folder.path();
        ProcessOutput output = ChildProcess::run(argv, options);
        EXPECT_EQ(output.exitCode, 0) << argv[0] << " " << argv[1] << "\n" << output.out << output.err;
        return output;
    }

    // Build i goes to the server: the first as its base, every later one as a signed patch.
    static void publish(std::size_t i, const std::string& server) {
        const std::string version = std::to_string(releases->history.builds()[i].version);
        if (i == 0)
            tool({NIMBREL_PUBLISH_PATH, "base", releases->builds[0], server, "--version", version, "--sign",
                  releases->secretKey, "--channel", "patch"});
        else
            tool({NIMBREL_PUBLISH_PATH, "make", releases->builds[i - 1], releases->builds[i], server, "--version",
                  version, "--sign", releases->secretKey});
    }

    // A player's launcher with the release key, killed (SIGKILL) once it has written killAtLine
    // lines when that is not 0.
    CliRun launch(const std::string& game, std::vector<std::string> words, int killAtLine = 0,
                  const std::string& killText = "") const {
        words.insert(words.end(), {"--game-dir", game, "--patch-url", http.url("/patch/")});
        words.insert(words.begin(), NIMBREL_CLI_PATH);
        return runWatched(words,
                          {"XDG_RUNTIME_DIR=" + home.path(), "XDG_CACHE_HOME=" + home.path(),
                           "NIMBREL_PATCH_PUBLIC_KEY=" + releases->publicKey},
                          killText, killAtLine);
    }

    int installedVersion(const std::string& game) const {
        CliRun r = launch(game, {"version"});
        return r.exitCode == 0 ? std::atoi(r.output.c_str()) : -1;
    }

    // A player's game folder, a copy of the first build (its version file says so).
    std::string installFirstBuild() const {
        std::filesystem::copy(releases->builds[0], client.path(), std::filesystem::copy_options::recursive);
        return client.path();
    }

    // The ways a player's installation of build gets damaged, each named by the path verify must
    // name; game ends in "/" and holds the build.
    struct Damage {
        const char* what;
        std::string named;
        std::function<void()> apply;
    };
    static std::vector<Damage> damagesOf(const ReleaseHistory::Build& build, const std::string& game) {
        namespace fs = std::filesystem;
        auto first = [&](const std::function<bool(const std::string&)>& fits) {
            for (const auto& [path, file] : build.files)
                if (fits(path)) return path;
            return std::string();
        };
        const std::string loose = first(
            [](const std::string& p) { return ReleaseHistory::packedFolderOf(p).empty() && p != "QuorlanPlus.exe"; });
        const std::string entry =
            first([](const std::string& p) { return ReleaseHistory::packedFolderOf(p) == "item"; });
        const unsigned exeMode = build.files.at("QuorlanPlus.exe").mode;
        return {
            {"a file deleted", loose, [=] { fs::remove(game + loose); }},
            {"a byte flipped inside a pack entry", entry,
             [=] {
                 const std::string pack = game + "item/item.QPAK";
                 const auto [offset, length] = GameFolderView::locate(pack, entry.substr(5), releases->packPassword);
                 std::fstream f(pack, std::ios::in | std::ios::out | std::ios::binary);
                 f.seekg(offset + length / 2);
                 const char c = static_cast<char>(f.get() ^ 0x20);
                 f.seekp(offset + length / 2);
                 f.put(c);
             }},
            {"a pack truncated", "sfx/sfx.QPAK",
             [=] { fs::resize_file(game + "sfx/sfx.QPAK", fs::file_size(game + "sfx/sfx.QPAK") / 2); }},
            {"a mode changed", "QuorlanPlus.exe", [=] { ::chmod((game + "QuorlanPlus.exe").c_str(), exeMode ^ 0111); }},
        };
    }

    static inline Releases* releases = nullptr;
    TempGameFolder server;
    TempGameFolder client;
    TempGameFolder home;
    TestHttpServer http;
};

}  // namespace nimbrel::test
