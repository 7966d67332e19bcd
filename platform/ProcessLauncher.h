#pragma once
// Starts a program or opens a web page without
// waiting for it, and answers in the shell's terms (a value above 32 means started; 2 means
// the file was not found; other small values are other failures) so that callers keep the
// launcher's message choices. Started programs are detached (they outlive the launcher) and
// inherit no descriptor but stdin, stdout and stderr. Windows programs (the game client) run
// through the Wine command of the player's settings.

#include <optional>
#include <string>

namespace nimbrel {

class ProcessLauncher {
public:
    enum class Show { Normal, Hidden };

    // The shell's codes that matter to the launcher.
    static constexpr int kStarted = 42;        // any value above 32
    static constexpr int kFileNotFound = 2;    // ERROR_FILE_NOT_FOUND
    static constexpr int kPathNotFound = 3;    // ERROR_PATH_NOT_FOUND
    static constexpr int kAccessDenied = 5;    // SE_ERR_ACCESSDENIED
    static constexpr int kOutOfMemory = 8;     // SE_ERR_OOM
    static constexpr int kBadFormat = 11;      // ERROR_BAD_FORMAT
    static constexpr int kNoAssociation = 31;  // SE_ERR_NOASSOC
    // Ours: a Windows program, and the Wine command to run it is not installed. A player can
    // mend that (install Wine, or name it in the settings), unlike a broken program.
    static constexpr int kWineNotFound = 32;

    static bool succeeded(int code) { return code > 32; }

    // Starts `file` with `parameters` as its one argument (none when empty). A relative file
    // name resolves in `folder` (the current folder when empty), which also becomes the
    // program's working folder. A Windows executable (first bytes "MZ") runs through the Wine
    // command (useWine()), with WINEPREFIX set when a prefix is given; kWineNotFound when that
    // command is not there. Hidden sends the program's output to /dev/null: it has no window to
    // show it in.
    static int execute(const std::string& file, const std::string& parameters, const std::string& folder, Show show);

    // The Wine command for every later execute(): a name looked up on the PATH (default "wine")
    // or a path, and the WINEPREFIX it gets (empty: the one in our environment, if any). Set
    // once at start-up, from the settings, before any program is started.
    static void useWine(const std::string& command, const std::string& prefix);

    // Whether Wine runs the Windows program at `path` (absolute) in some process. Wine shows a
    // program it runs by the program's Windows path as the first argument (Z:\games\x.exe);
    // while Wine itself starts up (a new prefix takes seconds) its processes still show the Unix
    // command line they were started with.
    [[nodiscard]] static bool windowsProgramRuns(const std::string& path);

    // Opens an address in the desktop's browser through xdg-open.
    static int openUrl(const std::string& url);

    // The full path of a program found on the PATH, if any.
    static std::optional<std::string> findOnPath(const std::string& name);
    static bool isWindowsExecutable(const std::string& path);
};

}  // namespace nimbrel
