#pragma once
// The launcher's settings file, $XDG_CONFIG_HOME/nimbrel/settings.ini: one "key=value" a line
// (spaces around either side are dropped; of two lines with one key the last counts), "#" or
// ";" starting a comment line. A release team's script may write it by hand, so lines we do not
// know are kept as they are when we save.
//   game_dir=/home/player/Games/Quorlan    the game folder, for a launcher not inside one
//   wine=wine                              the command that runs the game client
//   wineprefix=/home/player/.wine-quorlan  WINEPREFIX for it; empty: Wine's own default
//   max_rate=2M                            the window's downloads together, bytes a second
//                                          (K, M: 1024, 1024*1024; empty or 0: no limit)

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nimbrel {

class Settings {
public:
    static constexpr const char* kGameDir = "game_dir";
    static constexpr const char* kWine = "wine";
    static constexpr const char* kWinePrefix = "wineprefix";
    static constexpr const char* kMaxRate = "max_rate";

    static std::string defaultPath();  // configFolder() + "settings.ini"

    // The settings in the file; empty ones when it does not exist. Nothing, with the reason
    // in error, when it exists but cannot be read.
    [[nodiscard]] static std::optional<Settings> load(const std::string& path, std::string& error);
    static Settings parse(const std::string& text);

    // The value of a key, empty when it is not set.
    std::string value(const std::string& key) const;
    void set(const std::string& key, const std::string& value);
    std::string text() const;

    // Replaces the file atomically, creating its folder; false with the reason in error.
    [[nodiscard]] bool save(const std::string& path, std::string& error) const;

private:
    // Every line in order: a key and its value, or a line kept verbatim (empty key).
    std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace nimbrel
