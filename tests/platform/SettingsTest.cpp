// The settings file as a script or a player writes it, and the XDG folders the launcher
// writes into.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Settings.h"
#include "platform/XdgPaths.h"
#include "tests/support/TempGameFolder.h"

using nimbrel::Settings;
using nimbrel::XdgPaths;
using nimbrel::test::TempGameFolder;

namespace {

class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

TEST(Settings, ReadsHandWrittenFilesAndKeepsWhatItDoesNotKnow) {
    const struct {
        const char* text;
        const char* gameDir;
        const char* wine;
    } cases[] = {
        {"game_dir=/games/q\nwine=wine-stable\n", "/games/q", "wine-stable"},
        {"  game_dir =  /games/with space  \r\n", "/games/with space", ""},
        {"# game_dir=/commented\n; wine=x\n[section]\n=nokey\n", "", ""},
        {"game_dir=/a=b\nwine=/w=1\ngame_dir=/later\n", "/later", "/w=1"},  // the last line counts
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const Settings settings = Settings::parse(c.text);
        EXPECT_EQ(settings.value(Settings::kGameDir), c.gameDir) << c.text;
        EXPECT_EQ(settings.value(Settings::kWine), c.wine) << c.text;
    }

    TempGameFolder home;
    const std::string path = home.path() + "config/nimbrel/settings.ini";
    Settings settings = Settings::parse("# by the release team\nchannel=beta\ngame_dir=/old\n");
    settings.set(Settings::kGameDir, "/new");
    settings.set(Settings::kWinePrefix, "/p");
    std::string error;
    ASSERT_TRUE(settings.save(path, error)) << error;
    EXPECT_EQ(home.read("config/nimbrel/settings.ini"),
              "# by the release team\nchannel=beta\ngame_dir=/new\nwineprefix=/p\n");

    const auto missing = Settings::load(home.path() + "none.ini", error);
    ASSERT_TRUE(missing.has_value()) << error;
    EXPECT_EQ(missing->text(), "");
    home.makeFolder("folder.ini");
    EXPECT_FALSE(Settings::load(home.path() + "folder.ini", error).has_value());
    EXPECT_FALSE(settings.save(home.path() + "folder.ini", error));
    EXPECT_NE(error.find("folder.ini"), std::string::npos) << error;
}

TEST(XdgPaths, FollowTheBaseDirectoryRules) {
    ScopedEnvironment home("HOME", "/home/p");
    const struct {
        const char* variable;
        const char* value;
        std::string (*folder)();
        const char* expected;
    } cases[] = {
        {"XDG_CONFIG_HOME", "/cfg", XdgPaths::configFolder, "/cfg/nimbrel/"},
        {"XDG_CONFIG_HOME", nullptr, XdgPaths::configFolder, "/home/p/.config/nimbrel/"},
        {"XDG_CONFIG_HOME", "relative", XdgPaths::configFolder, "/home/p/.config/nimbrel/"},
        {"XDG_CACHE_HOME", "/c/", XdgPaths::cacheFolder, "/c/nimbrel/"},
        {"XDG_CACHE_HOME", "", XdgPaths::cacheFolder, "/home/p/.cache/nimbrel/"},
        {"XDG_STATE_HOME", "/s", XdgPaths::stateFolder, "/s/nimbrel/"},
        {"XDG_STATE_HOME", nullptr, XdgPaths::stateFolder, "/home/p/.local/state/nimbrel/"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment variable(c.variable, c.value);
        EXPECT_EQ(c.folder(), c.expected) << c.variable << "=" << (c.value ? c.value : "(unset)");
    }
}
