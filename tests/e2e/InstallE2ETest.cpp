// The programs as a player gets them: `cmake --install` into a prefix and the Debian package
// CPack makes, checked with the desktop's own validators and dpkg-deb; and the installed
// nimbrel-cli, which lies beside no game, patching the folder its settings or --game-dir name.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/ProcessLauncher.h"
#include "tests/e2e/PatchScenario.h"

namespace nimbrel::test {
namespace {

constexpr const char* kAppId = "org.quorlan.Nimbrel";

std::set<std::string> installedPrograms() {
#ifdef NIMBREL_HAVE_GUI
    return {"nimbrel", "nimbrel-cli", "nimbrel-publish", "qpak"};
#else
    return {"nimbrel-cli", "nimbrel-publish", "qpak"};
#endif
}

// Width and height from a PNG's header chunk; 0 x 0 for anything else.
std::pair<int, int> pngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto number = [&bytes](std::size_t at) {
        int value = 0;
        for (std::size_t i = at; i < at + 4; ++i) value = value * 256 + static_cast<unsigned char>(bytes[i]);
        return value;
    };
    return {number(16), number(20)};
}

class InstallE2ETest : public ::testing::Test {
protected:
    ProcessOutput run(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) const {
        ChildProcess::Options options;
        options.outputFolder = scratch.path();
        options.setEnvironment = environment;
        options.unsetEnvironment = {"NIMBREL_PATCH_URL"};
        return ChildProcess::run(argv, options);
    }

    void install() const {
        const ProcessOutput r = run({CMAKE_COMMAND_PATH, "--install", NIMBREL_BUILD_DIR, "--prefix", prefix});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    }

    TempGameFolder scratch;
    std::string prefix = scratch.makeFolder("prefix");
};

TEST_F(InstallE2ETest, InstallTreeHoldsTheProgramsAndDesktopFilesThatValidate) {
    ASSERT_NO_FATAL_FAILURE(install());
    std::set<std::string> programs;
    for (const auto& entry : fs::directory_iterator(prefix + "bin")) programs.insert(entry.path().filename().string());
    EXPECT_EQ(programs, installedPrograms());  // no test program, no demo server
#ifdef NIMBREL_HAVE_GUI
    const std::string share = prefix + "share/";
    const std::string desktop = share + "applications/" + kAppId + ".desktop";
    EXPECT_NE(readFile(desktop).find("\nExec=nimbrel\n"), std::string::npos);
    EXPECT_NE(readFile(share + "icons/hicolor/scalable/apps/" + kAppId + ".svg").find("<svg"), std::string::npos);
    for (int size : {48, 64, 128, 256}) {
        const std::string folder = std::to_string(size) + "x" + std::to_string(size);
        EXPECT_EQ(pngSize(readFile(share + "icons/hicolor/" + folder + "/apps/" + kAppId + ".png")),
                  std::make_pair(size, size))
            << folder;
    }
    const struct {
        const char* tool;
        std::vector<std::string> argv;
    } validators[] = {
        {"desktop-file-validate", {desktop}},
        {"appstreamcli", {"validate", "--no-net", "--strict", share + "metainfo/" + kAppId + ".metainfo.xml"}},
    };
    for (const auto& v : validators) {
        const auto tool = ProcessLauncher::findOnPath(v.tool);
        if (!tool) {
            ADD_FAILURE() << v.tool << " is missing: run scripts/setup-deps";
            continue;
        }
        std::vector<std::string> argv{*tool};
        argv.insert(argv.end(), v.argv.begin(), v.argv.end());
        const ProcessOutput r = run(argv);
        EXPECT_EQ(r.exitCode, 0) << v.tool << ":\n" << r.out << r.err;
    }
#endif
}

TEST_F(InstallE2ETest, DebianPackageHoldsTheInstallTreeAndDependsOnTheLibrariesItLinks) {
    const auto dpkgDeb = ProcessLauncher::findOnPath("dpkg-deb");
    if (!dpkgDeb || !ProcessLauncher::findOnPath("dpkg-shlibdeps"))
        GTEST_SKIP() << "needs dpkg-deb and dpkg-shlibdeps (Debian: dpkg-dev)";
    const std::string out = scratch.makeFolder("package");
    const ProcessOutput made = run({CPACK_COMMAND_PATH, "--config",
                                    std::string(NIMBREL_BUILD_DIR) + "/CPackConfig.cmake", "-G", "DEB", "-B", out});
    ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(out))
        if (entry.path().extension() == ".deb") deb = entry.path().string();
    ASSERT_FALSE(deb.empty()) << made.out;

    const std::string contents = run({*dpkgDeb, "-c", deb}).out;
    std::set<std::string> programs;
    for (std::size_t at = contents.find("./usr/bin/"); at != std::string::npos;
         at = contents.find("./usr/bin/", at + 1)) {
        const std::string name = contents.substr(at + 10, contents.find('\n', at) - at - 10);
        if (!name.empty()) programs.insert(name);
    }
    EXPECT_EQ(programs, installedPrograms()) << contents;
#ifdef NIMBREL_HAVE_GUI
    EXPECT_NE(contents.find(std::string("./usr/share/applications/") + kAppId + ".desktop"), std::string::npos);
    EXPECT_NE(contents.find(std::string("./usr/share/metainfo/") + kAppId + ".metainfo.xml"), std::string::npos);
    EXPECT_NE(contents.find(std::string("./usr/share/icons/hicolor/256x256/apps/") + kAppId + ".png"),
              std::string::npos);
    // The skin a folder without the game is shown with, while it is installed.
    EXPECT_NE(contents.find("./usr/share/nimbrel/skin/back.jpg"), std::string::npos);
#endif

    const std::string info = run({*dpkgDeb, "-I", deb}).out;
    EXPECT_NE(info.find("Package: nimbrel\n"), std::string::npos) << info;
    const std::size_t depends = info.find("Depends: ");
    ASSERT_NE(depends, std::string::npos) << info;
    const std::string line = info.substr(depends, info.find('\n', depends) - depends);
    // libcurl is loaded with dlopen, which no linker records: it must be named by hand.
    for (const char* library : {"libc6", "libcurl4", "libsodium", "libdeflate0", "zlib1g"})
        EXPECT_NE(line.find(library), std::string::npos) << library << " in " << line;
#ifdef NIMBREL_HAVE_GUI
    EXPECT_NE(line.find("libqt6webenginewidgets6"), std::string::npos) << line;
#endif
}

// An installed program lies in bin/, beside no game: its settings file names the folder,
// --game-dir overrides it, and without either it refuses rather than patch bin/.
TEST_F(InstallE2ETest, InstalledCliPatchesTheFolderItsSettingsOrGameDirName) {
    ASSERT_NO_FATAL_FAILURE(install());
    const std::string cli = prefix + "bin/nimbrel-cli";
    const struct {
        const char* name;
        bool settingsNameTheGame;  // else they name the decoy
        bool gameDirGiven;
    } cases[] = {
        {"settings", true, false},
        {"--game-dir over settings", false, true},
        {"--game-dir without settings", false, true},
    };
    for (const auto& c : cases) {
        PatchScenario scenario;
        scenario.installVersionZero();
        scenario.makePatches();
        scenario.publish();
        const std::string decoy = scenario.outer.makeFolder("decoy");
        const std::string decoyVersion = "[DEFAULT]\r\nCUR_VERSION=0\r\n";
        scenario.outer.write("decoy/version.ini", decoyVersion);
        const std::string config = scenario.outer.makeFolder("config");
        if (std::string(c.name) != "--game-dir without settings")
            scenario.outer.write(
                "config/nimbrel/settings.ini",
                "# written by a script\ngame_dir = " + (c.settingsNameTheGame ? scenario.game : decoy) + "\n");
        std::vector<std::string> argv{cli, "--patch-url", scenario.http.url(PatchScenario::kPrefix)};
        if (c.gameDirGiven) argv.insert(argv.end(), {"--game-dir", scenario.game});
        const ProcessOutput r = run(
            argv, {"XDG_CONFIG_HOME=" + config, "XDG_RUNTIME_DIR=" + scenario.home, "XDG_CACHE_HOME=" + scenario.home});
        EXPECT_EQ(r.lastLine(), "result 3 stage 5") << c.name << "\n" << r.out << r.err;
        // The status ends on the version now installed, not on the one read before the patch.
        EXPECT_NE(r.out.find("\nversion: 3\nstatus: "), std::string::npos) << r.out;
        EXPECT_EQ(scenario.installedVersion(), 3) << c.name;
        EXPECT_EQ(readFile(decoy + "version.ini"), decoyVersion) << c.name;
        EXPECT_FALSE(fs::exists(decoy + "update")) << c.name;
    }

    TempGameFolder config;
    const ProcessOutput refused = run({cli, "DontConnect"}, {"XDG_CONFIG_HOME=" + config.path()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find(config.path() + "nimbrel/settings.ini"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(prefix + "bin/update"));
}

}  // namespace
}  // namespace nimbrel::test
