// nimbrel-cli: the headless patcher. The same patch run as the launcher window (text table,
// ManualPatch.ini probe and command-line words, the single-instance name shared with the game
// client and the hold on the game folder, the sequence on its worker, the texts of the results), and a last output line
// "result <code> stage <stage>".

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "TerminalWindow.h"
#include "engine/ClientVersionFile.h"
#include "engine/GameFolderLocator.h"
#include "engine/InstallRepairer.h"
#include "engine/InstallVerifier.h"
#include "engine/PatchEngine.h"
#include "engine/PatchResult.h"
#include "engine/PatchRun.h"
#include "engine/StartupFlags.h"
#include "engine/TextTable.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"
#include "platform/Settings.h"
#include "platform/SingleInstanceLock.h"
#include "platform/WindowMessages.h"

using namespace nimbrel;
using nimbrel::cli::CliOptions;
using nimbrel::cli::TerminalWindow;

namespace {

using cli::kExitFailure;
using cli::kExitLocked;
using cli::kExitUsage;

std::atomic<int>* gStopFlag = nullptr;

// Ctrl-C stops the run the way closing the launcher window does: the running step returns -7
// and the sequence still finishes its packing passes and reports.
void requestStop(int) {
    if (gStopFlag) gStopFlag->store(1);
}

// Nothing was patched or written: a script must never take this for a patched game.
int refuseLocked() {
    std::fprintf(stderr, "%s\n", SingleInstanceLock::kDoubleExecutionText);
    std::printf("not patched: another launcher or the game client is running\n");
    return kExitLocked;
}

int runVersionCommand(const CliOptions& options, const std::string& gameFolder) {
    TerminalWindow window(stdout, stderr, false);
    PatchEngine engine(&window);
    engine.initialize(gameFolder);
    if (options.mode == CliOptions::Mode::WriteVersion) {
        // A patch run writes the version last; a write beside one would be overwritten or
        // would overwrite it.
        FolderLock hold;
        if (hold.acquire(gameFolder) == FolderLock::Result::Held) return refuseLocked();
        if (ClientVersionFile(engine.context()).write(options.versionToWrite) < 0) return kExitFailure;
        std::printf("%d\n", options.versionToWrite);
        return 0;
    }
    int version = ClientVersionFile(engine.context()).read();
    if (version < 0) return kExitFailure;
    std::printf("%d\n", version);
    return 0;
}

int runPatch(const CliOptions& options, const std::string& gameFolder, const TextTable& table) {
    TerminalWindow window(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    PatchRun run(window, table, StartupFlags::forGameFolder(gameFolder, StartupFlags::joinArguments(options.words)));
    switch (run.acquireLock(gameFolder)) {
        case SingleInstanceLock::Result::Acquired:
            break;
        case SingleInstanceLock::Result::AlreadyExists:
            return refuseLocked();
        case SingleInstanceLock::Result::Failed:
            std::fprintf(stderr, "warning: cannot open %s; other launchers are not kept out\n",
                         SingleInstanceLock::lockPath(SingleInstanceLock::kClientName).c_str());
            break;
    }

    run.openEngine(gameFolder);
    window.setLabelText(IDC_STATUS_LABEL, table.lineOrEmpty(TextLine::kUpdating));

    gStopFlag = run.stopFlag();
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    run.limitRate(options.maxBytesPerSecond);
    run.start(options.patchUrl);
    const TerminalWindow::Outcome outcome = window.waitForResult();
    const bool selfUpdate = run.selfUpdateRequired();
    run.finish();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    gStopFlag = nullptr;

    // A successful run's result is the version now installed; the line still showed the one
    // read before the patch.
    if (outcome.result >= PatchResult::kOk) window.setLabelText(IDC_VERSION_LABEL, std::to_string(outcome.result));
    window.setLabelText(IDC_STATUS_LABEL, run.resultText(outcome.result, outcome.stage));
    // Nothing was patched: the item line says so, not the last folder the packing passes named.
    if (outcome.result == PatchResult::kAlreadyCurrent || outcome.result == PatchResult::kNothingToFetch) {
        window.setLabelText(IDC_ITEM_LABEL, run.resultText(outcome.result, outcome.stage));
        window.setLabelText(IDC_COUNTER_LABEL, "");
    }
    window.endStatusLine();
    if (outcome.result >= PatchResult::kOk && selfUpdate) std::printf("self-update requested\n");
    std::printf("result %d stage %d\n", outcome.result, outcome.stage);
    std::fflush(stdout);
    // A game already current is ready to start: `nimbrel-cli && start-game` must start it.
    const bool ready = outcome.result >= PatchResult::kOk || outcome.result == PatchResult::kAlreadyCurrent;
    return ready ? 0 : kExitFailure;
}

// The game folder to work on: --game-dir, the folder the program lies in when it holds a game, or
// the settings' game_dir. Nothing, with the reason on stderr, when none is usable.
std::optional<std::string> chooseGameFolder(const CliOptions& options) {
    const std::string settingsPath = Settings::defaultPath();
    const GameFolderChoice choice = GameFolderLocator::choose(options.gameDir, ExecutablePath::folder(), settingsPath);
    if (choice.source == GameFolderChoice::Source::None) {
        // An installed program lies in a folder of programs: patching it would fill /usr/bin.
        if (!choice.error.empty()) std::fprintf(stderr, "nimbrel-cli: %s\n", choice.error.c_str());
        std::fprintf(stderr, "nimbrel-cli: no game beside the program in %s: give --game-dir DIR, or %s=DIR in %s\n",
                     choice.folder.c_str(), Settings::kGameDir, settingsPath.c_str());
        return std::nullopt;
    }
    // Every path built from the game folder is absolute, so that none depends on the current
    // folder of whoever reads it (the lock, the programs we start).
    const std::string& gameFolder = choice.folder;
    if (gameFolder.empty() || !FileSystem::isDirectory(gameFolder)) {
        const std::string& named = choice.source == GameFolderChoice::Source::Settings
                                       ? gameFolder + " (" + Settings::kGameDir + " in " + settingsPath + ")"
                                       : options.gameDir;
        std::fprintf(stderr, "nimbrel-cli: no such game folder: %s\n", named.c_str());
        return std::nullopt;
    }
    return gameFolder;
}

// The options of a sub-command that takes only --game-dir and --patch-url; nothing, after
// printing the usage, for any other.
std::optional<CliOptions> parseSubcommand(const std::string& name, const std::vector<std::string>& arguments,
                                          const char* usage) {
    std::string error;
    auto options = CliOptions::parse(arguments, error);
    if (!options || options->mode != CliOptions::Mode::Patch || !options->words.empty()) {
        std::fprintf(stderr, "nimbrel-cli: %s\nusage: %s\n",
                     options ? (name + " takes only --game-dir and --patch-url").c_str() : error.c_str(), usage);
        return std::nullopt;
    }
    return options;
}

// --patch-url, else $NIMBREL_PATCH_URL, else the text table's, as a patch run chooses.
std::string patchUrlOf(const CliOptions& options, const TextTable& table) {
    const char* fromEnvironment = std::getenv("NIMBREL_PATCH_URL");
    return !options.patchUrl.empty()                     ? options.patchUrl
           : fromEnvironment && *fromEnvironment != '\0' ? std::string(fromEnvironment)
                                                         : table.lineOrEmpty(TextLine::kPatchUrl);
}

// nimbrel-cli verify [--game-dir DIR] [--patch-url URL]: one line per difference from the
// release manifest of the installed version, then a summary; exit 0 when the folder is the build.
int runVerifyCommand(const std::vector<std::string>& arguments) {
    std::string error;
    const auto options = parseSubcommand("verify", arguments, "nimbrel-cli verify [--game-dir DIR] [--patch-url URL]");
    if (!options) return kExitUsage;
    const std::optional<std::string> gameFolder = chooseGameFolder(*options);
    if (!gameFolder) return kExitUsage;
    PatchEngine engine(nullptr);
    engine.initialize(*gameFolder);
    const int version = ClientVersionFile(engine.context()).read();
    if (version < 0) {
        std::fprintf(stderr, "nimbrel-cli: no installed version in %s\n", gameFolder->c_str());
        return kExitUsage;
    }
    TextTable table;
    (void)table.load();
    const std::string url = patchUrlOf(*options, table);
    std::optional<ReleaseManifest> manifest =
        InstallVerifier::fetchManifest(url, engine.context().patchPublicKey, version, error);
    if (!manifest) {
        std::fprintf(stderr, "nimbrel-cli: %s\n", error.c_str());
        std::printf("verify: version %d cannot be checked\n", version);
        return kExitFailure;
    }
    const InstallVerifier::Report report = InstallVerifier(engine.layout()).compare(*manifest);
    for (const std::string& line : report.differences) std::printf("%s\n", line.c_str());
    for (const std::string& path : report.leftAlone) std::printf("not in the build, left alone: %s\n", path.c_str());
    std::printf("verify: version %d, %zu files of the build, %zu differences, %zu files of the player's\n", version,
                report.filesChecked, report.differences.size(), report.leftAlone.size());
    return report.matches() ? 0 : kExitFailure;
}

// nimbrel-cli repair [--game-dir DIR] [--patch-url URL]: brings the folder to the build of its
// installed version; nimbrel-cli install --game-dir DIR [--patch-url URL]: installs the server's
// latest version into an empty or missing folder. Both hold the game folder as a patch run does
// and print the repair's progress and its result line; exit 0 when the folder is the build.
int runRepairCommand(bool install, const std::vector<std::string>& arguments) {
    const auto options =
        install ? parseSubcommand("install", arguments, "nimbrel-cli install --game-dir DIR [--patch-url URL]")
                : parseSubcommand("repair", arguments, "nimbrel-cli repair [--game-dir DIR] [--patch-url URL]");
    if (!options) return kExitUsage;
    if (install && options->gameDir.empty()) {
        std::fprintf(stderr, "nimbrel-cli: install needs --game-dir DIR, the folder to install into\n");
        return kExitUsage;
    }
    if (install) {
        std::error_code error;
        std::filesystem::create_directories(options->gameDir, error);
        if (error) {
            std::fprintf(stderr, "nimbrel-cli: cannot create %s (%s)\n", options->gameDir.c_str(),
                         error.message().c_str());
            return kExitUsage;
        }
    }
    const std::optional<std::string> gameFolder =
        install ? std::optional<std::string>(std::filesystem::absolute(options->gameDir).string() + "/")
                : chooseGameFolder(*options);
    if (!gameFolder) return kExitUsage;
    TextTable table;
    (void)table.load();
    TerminalWindow window(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    PatchRun hold(window, table, StartupFlags::forGameFolder(*gameFolder, ""));
    if (hold.acquireLock(*gameFolder) == SingleInstanceLock::Result::AlreadyExists) return refuseLocked();

    PatchEngine engine(&window);
    engine.initialize(*gameFolder);
    engine.setPatchBaseUrl(patchUrlOf(*options, table));
    // An install finds no version file, and must not be told to reinstall for it.
    const bool hasVersion = FileSystem::fileExists(engine.layout().clientVersionPath());
    const int installed = hasVersion ? ClientVersionFile(engine.context()).read() : -1;
    if (install && hasVersion) {
        std::fprintf(stderr, "nimbrel-cli: %s already holds a version (%d); repair it instead\n", gameFolder->c_str(),
                     installed);
        return kExitUsage;
    }
    if (!install && installed < 0) {
        std::fprintf(stderr, "nimbrel-cli: no installed version in %s; install it instead\n", gameFolder->c_str());
        return kExitUsage;
    }
    gStopFlag = &engine.stopFlag();
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    InstallRepairer repairer(engine.context());
    const int version = install ? repairer.latestVersion() : installed;
    int result = version;
    if (version >= 0) {
        window.setLabelText(IDC_STATUS_LABEL,
                            (install ? "Installing version " : "Repairing version ") + std::to_string(version));
        result = repairer.run(version, install);
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    gStopFlag = nullptr;
    window.endStatusLine();
    if (result < 0) std::fprintf(stderr, "nimbrel-cli: %s\n", repairer.failureReason().c_str());
    std::printf("%s: %s\n", install ? "install" : "repair",
                result >= 0 ? ("version " + std::to_string(result) + " is the build").c_str()
                            : ("not done: " + repairer.failureReason()).c_str());
    std::printf("result %d stage %d\n", result, PatchStage::kApply);
    return result >= 0 ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "verify")
        return runVerifyCommand(std::vector<std::string>(argv + 2, argv + argc));
    if (argc > 1 && (std::string(argv[1]) == "repair" || std::string(argv[1]) == "install"))
        return runRepairCommand(std::string(argv[1]) == "install", std::vector<std::string>(argv + 2, argv + argc));
    std::string error;
    auto options = CliOptions::parse(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fprintf(stderr, "nimbrel-cli: %s\n%s", error.c_str(), CliOptions::usage());
        return kExitUsage;
    }
    if (options->mode == CliOptions::Mode::Help) {
        std::fputs(CliOptions::help().c_str(), stdout);
        return 0;
    }

    const std::optional<std::string> gameFolder = chooseGameFolder(*options);
    if (!gameFolder) return kExitUsage;
    if (options->mode != CliOptions::Mode::Patch) return runVersionCommand(*options, *gameFolder);

    TextTable table;
    if (table.load() < 0) std::fprintf(stderr, "String not found !\n");
    return runPatch(*options, *gameFolder, table);
}
