#pragma once
// The command line of the headless patcher:
//   nimbrel-cli [--game-dir DIR] [--patch-url URL] [--max-rate RATE] [word...]
//                                                                  patch (words: "DontConnect", "sync")
//   nimbrel-cli [--game-dir DIR] version                           print the installed version
//   nimbrel-cli [--game-dir DIR] version --write N                 write the version file for N
//   nimbrel-cli verify|repair [--game-dir DIR] [--patch-url URL]   compare with / bring back to the build
//   nimbrel-cli install --game-dir DIR [--patch-url URL]           install the latest version

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::cli {

// Exit codes of the program.
constexpr int kExitFailure = 1;  // the run failed: see the result line
constexpr int kExitUsage = 2;    // bad command line or no such game folder
constexpr int kExitLocked = 3;   // another launcher or the game client holds the name: nothing patched

struct CliOptions {
    enum class Mode { Patch, ReadVersion, WriteVersion, Help };

    Mode mode = Mode::Patch;
    std::string gameDir;   // as given; empty: the executable's folder or the settings' game_dir
    std::string patchUrl;  // as given; empty: $NIMBREL_PATCH_URL, else text line 4
    int versionToWrite = 0;
    std::uint64_t maxBytesPerSecond = 0;  // --max-rate; 0: no limit
    std::vector<std::string> words;  // handed to the start-up command-line scan

    // The options, or nothing with a reason in error.
    static std::optional<CliOptions> parse(const std::vector<std::string>& arguments, std::string& error);
    static const char* usage();
    // The usage, the exit codes and every result and stage code of the result line.
    static std::string help();
};

}  // namespace nimbrel::cli
