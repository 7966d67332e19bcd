// nimbrel-cli: the headless patcher. Same start-up rules as the launcher window (text table,
// ManualPatch.ini probe and command-line words, the single-instance name shared with the game
// client), the same patch sequence on the same worker, and a last output line
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
#include "app/TextTable.h"
#include "engine/CPatchThread.h"
#include "engine/PatchEngine.h"
#include "engine/PatchSequence.h"
#include "engine/StartupFlags.h"
#include "platform/ExecutablePath.h"
#include "platform/FileSystem.h"
#include "platform/SingleInstanceLock.h"
#include "platform/WindowMessages.h"

using namespace nimbrel;
using nimbrel::cli::CliOptions;
using nimbrel::cli::TerminalWindow;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kManualPatchAheadText = "The manual patch does not begin at the next version of this client";

std::atomic<int>* gStopFlag = nullptr;

// Ctrl-C stops the run the way closing the launcher window does: the running step returns -7
// and the sequence still finishes its packing passes and reports.
void requestStop(int) {
    if (gStopFlag) gStopFlag->store(1);
}

std::string lineOrEmpty(const TextTable& table, int n) {
    return n >= 0 && static_cast<std::size_t>(n) < table.size() ? table.line(n) : std::string();
}

// The game folder as an absolute path ending in "/": the engine changes into it, after which a
// relative name would point somewhere else.
std::string resolveGameFolder(const std::string& given) {
    if (given.empty()) return ExecutablePath::folder();
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(given, error);
    if (error) return {};
    std::string text = folder.lexically_normal().string();
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

std::string statusTextFor(const TextTable& table, int result) {
    if (result >= 0) return lineOrEmpty(table, TextLine::kCompleted);
    if (result == -3 || result == -6) return lineOrEmpty(table, TextLine::kLatest);
    if (result == -7) return lineOrEmpty(table, TextLine::kStopped);
    if (result == -11) return kPackFailedText;
    if (result == -12) return kManualPatchAheadText;
    return {};
}

int runVersionCommand(const CliOptions& options, const std::string& gameFolder) {
    TerminalWindow window(stdout, stderr, false);
    PatchEngine engine(&window);
    engine.initialize(gameFolder);
    if (options.mode == CliOptions::Mode::WriteVersion) {
        if (engine.writeClientVersion(options.versionToWrite) < 0) return kExitFailure;
        std::printf("%d\n", options.versionToWrite);
        return 0;
    }
    int version = engine.readClientVersion();
    if (version < 0) return kExitFailure;
    std::printf("%d\n", version);
    return 0;
}

int runPatch(const CliOptions& options, const std::string& gameFolder, const TextTable& table) {
    StartupFlags flags = StartupFlags::forGameFolder(gameFolder, StartupFlags::joinArguments(options.words));

    SingleInstanceLock lock;
    switch (lock.acquire()) {
        case SingleInstanceLock::Result::Acquired:
            break;
        case SingleInstanceLock::Result::AlreadyExists:
            // A second launcher is not an error: it leaves quietly, as the window does.
            std::fprintf(stderr, "%s\n", SingleInstanceLock::kDoubleExecutionText);
            return 0;
        case SingleInstanceLock::Result::Failed:
            std::fprintf(stderr, "warning: cannot open %s; other launchers are not kept out\n",
                         SingleInstanceLock::lockPath(SingleInstanceLock::kClientName).c_str());
            break;
    }

    TerminalWindow window(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    PatchEngine engine(&window);
    engine.initialize(gameFolder);
    const char* urlFromEnvironment = std::getenv("NIMBREL_PATCH_URL");
    engine.patchBaseUrl = !options.patchUrl.empty()                           ? options.patchUrl
                          : urlFromEnvironment && *urlFromEnvironment != '\0' ? std::string(urlFromEnvironment)
                                                                              : lineOrEmpty(table, TextLine::kPatchUrl);
    engine.waitingText = lineOrEmpty(table, TextLine::kWaiting);
    engine.deletingText = lineOrEmpty(table, TextLine::kDeleting);
    engine.collectingText = lineOrEmpty(table, TextLine::kCollecting);
    window.setLabelText(IDC_STATUS_LABEL, lineOrEmpty(table, TextLine::kUpdating));

    gStopFlag = &engine.stopRequested;
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the process at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    TerminalWindow::Outcome outcome{};
    {
        PatchSequence sequence(engine, flags);
        // Declared after the engine and the sequence: it is stopped and joined before either goes.
        CPatchThread worker;
        worker.postThreadMessage(WM_PATCH_START, reinterpret_cast<std::intptr_t>(&sequence), 0);
        outcome = window.waitForResult();
    }
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    gStopFlag = nullptr;

    if (std::string status = statusTextFor(table, outcome.result); !status.empty())
        window.setLabelText(IDC_STATUS_LABEL, status);
    window.endStatusLine();
    if (outcome.result >= 0 && engine.selfUpdateRequired) std::printf("self-update requested\n");
    std::printf("result %d stage %d\n", outcome.result, outcome.stage);
    std::fflush(stdout);
    lock.release();
    return outcome.result >= 0 ? 0 : kExitFailure;
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
        std::fputs(CliOptions::usage(), stdout);
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
