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
#include <string>
#include <vector>

#include "CliOptions.h"
#include "TerminalWindow.h"
#include "engine/ClientVersionFile.h"
#include "engine/PatchEngine.h"
#include "engine/PatchResult.h"
#include "engine/PatchRun.h"
#include "engine/StartupFlags.h"
#include "engine/TextTable.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"
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

// The game folder as an absolute path ending in "/", so that no path built from it depends on
// the current folder of whoever reads it (the lock, the programs we start).
std::string resolveGameFolder(const std::string& given) {
    if (given.empty()) return ExecutablePath::folder();
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(given, error);
    if (error) return {};
    std::string text = folder.lexically_normal().string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
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

    run.start(options.patchUrl);
    const TerminalWindow::Outcome outcome = window.waitForResult();
    const bool selfUpdate = run.selfUpdateRequired();
    run.finish();
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    gStopFlag = nullptr;

    window.setLabelText(IDC_STATUS_LABEL, run.resultText(outcome.result, outcome.stage));
    window.endStatusLine();
    if (outcome.result >= PatchResult::kOk && selfUpdate) std::printf("self-update requested\n");
    std::printf("result %d stage %d\n", outcome.result, outcome.stage);
    std::fflush(stdout);
    // A game already current is ready to start: `nimbrel-cli && start-game` must start it.
    const bool ready = outcome.result >= PatchResult::kOk || outcome.result == PatchResult::kAlreadyCurrent;
    return ready ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
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

    const std::string gameFolder = resolveGameFolder(options->gameDir);
    if (gameFolder.empty() || !FileSystem::isDirectory(gameFolder)) {
        std::fprintf(stderr, "nimbrel-cli: no such game folder: %s\n", options->gameDir.c_str());
        return kExitUsage;
    }
    if (options->mode != CliOptions::Mode::Patch) return runVersionCommand(*options, gameFolder);

    TextTable table;
    if (table.load() < 0) std::fprintf(stderr, "String not found !\n");
    return runPatch(*options, gameFolder, table);
}
