#include "CliOptions.h"

#include <charconv>
#include <cstdio>

#include "engine/PatchResult.h"
#include "engine/VersionTokenTable.h"
#include "platform/TokenBucket.h"

namespace nimbrel::cli {

namespace {

// "--name value" or "--name=value"; advances i past what it used.
bool takeValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name, std::string& value,
               std::string& error, bool& matched) {
    const std::string& argument = arguments[i];
    matched = false;
    if (argument == name) {
        matched = true;
        if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
            error = name + " needs a value";
            return false;
        }
        value = arguments[++i];
        return true;
    }
    if (argument.rfind(name + "=", 0) == 0) {
        matched = true;
        value = argument.substr(name.size() + 1);
        if (value.empty()) {
            error = name + " needs a value";
            return false;
        }
    }
    return true;
}

bool isStartupWord(const std::string& word) {
    std::string lower;
    for (char c : word) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "dontconnect" || lower == "sync";
}

}  // namespace

std::optional<CliOptions> CliOptions::parse(const std::vector<std::string>& arguments, std::string& error) {
    CliOptions options;
    bool versionSeen = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        bool matched = false;
        if (!takeValue(arguments, i, "--game-dir", options.gameDir, error, matched)) return std::nullopt;
        if (matched) continue;
        if (!takeValue(arguments, i, "--patch-url", options.patchUrl, error, matched)) return std::nullopt;
        if (matched) continue;
        std::string rate;
        if (!takeValue(arguments, i, "--max-rate", rate, error, matched)) return std::nullopt;
        if (matched) {
            const std::optional<std::uint64_t> bytes = TokenBucket::parseRate(rate);
            if (!bytes) {
                error = "--max-rate needs bytes a second, such as 2M, 500K or 100000: " + rate;
                return std::nullopt;
            }
            options.maxBytesPerSecond = *bytes;
            continue;
        }
        std::string number;
        if (versionSeen && !takeValue(arguments, i, "--write", number, error, matched)) return std::nullopt;
        if (matched) {
            int version = -1;
            auto [end, failure] = std::from_chars(number.data(), number.data() + number.size(), version);
            if (failure != std::errc() || end != number.data() + number.size() || version < 0 ||
                version >= static_cast<int>(VersionTokenTable::kCount)) {
                error = "--write needs a version number from 0 to " + std::to_string(VersionTokenTable::kCount - 1);
                return std::nullopt;
            }
            options.mode = Mode::WriteVersion;
            options.versionToWrite = version;
            continue;
        }
        if (argument == "--help" || argument == "-h") {
            options.mode = Mode::Help;
            return options;
        }
        // The word is a sub-command only in front of every start-up word, so that a start-up
        // word can never be mistaken for it.
        if (argument == "version" && options.words.empty() && !versionSeen) {
            versionSeen = true;
            options.mode = Mode::ReadVersion;
            continue;
        }
        if (versionSeen) {
            error = "unexpected argument after version: " + argument;
            return std::nullopt;
        }
        // "--sync" is the word "sync" to the start-up scan, but any other unknown option is far
        // more likely a mistyped one, and patching the wrong folder can't be undone.
        if (argument.rfind("--", 0) == 0 && !isStartupWord(argument.substr(2))) {
            error = "unknown option " + argument;
            return std::nullopt;
        }
        options.words.push_back(argument);
    }
    return options;
}

const char* CliOptions::usage() {
    return "usage: nimbrel-cli [--game-dir DIR] [--patch-url URL] [--max-rate RATE] [DontConnect] [sync]\n"
           "       nimbrel-cli [--game-dir DIR] version [--write N]\n"
           "       nimbrel-cli verify|repair [--game-dir DIR] [--patch-url URL]\n"
           "       nimbrel-cli install --game-dir DIR [--patch-url URL]\n"
           "Patches the game folder like the launcher does. Default: the folder of this program when\n"
           "it holds the game, else the game_dir= line of $XDG_CONFIG_HOME/nimbrel/settings.ini.\n"
           "NIMBREL_PATCH_URL overrides the built-in patch server address like --patch-url.\n"
           "--max-rate holds all downloads together to RATE bytes a second (2M, 500K, 100000;\n"
           "K and M are 1024 and 1024*1024).\n";
}

}  // namespace nimbrel::cli

namespace nimbrel::cli {

std::string CliOptions::help() {
    std::string text = usage();
    text += "\nThe last line of a patch run is \"result <code> stage <stage>\".\n";
    text +=
        "Exit status: 0 success or already current (-6), 1 the run failed, 2 bad command line\n"
        "or game folder, 3 not patched: another launcher or the game client is running (last line says so).\n";
    auto table = [&text](const char* title, std::span<const PatchCodeInfo> codes) {
        text += title;
        for (const PatchCodeInfo& info : codes) {
            char line[160];
            std::snprintf(line, sizeof line, "  %4d  %-21s %s\n", info.code, info.name, info.meaning);
            text += line;
        }
    };
    table("Result codes (0 and above: success, the version now installed):\n", patchResultCodes());
    table("Stages (the last one the run reached):\n", patchStageCodes());
    return text;
}

}  // namespace nimbrel::cli
