#pragma once
// Finds a running game client by its command line. A client started under Wine takes a Windows
// named mutex inside Wine, which our single-instance lock never sees, so the launcher also looks
// for a process whose command line names the client's file: as a Unix path, or as the Windows
// path Wine shows (Z:\home\...\QuorlanPlus.exe, or a drive of the process's Wine prefix). Case
// and separators are not compared: Windows paths ignore case and Wine writes backslashes.

#include <sys/types.h>

#include <optional>
#include <string>

namespace nimbrel {

class GameProcessProbe {
public:
    // A process other than this one whose command line names clientPath (absolute); its id.
    [[nodiscard]] static std::optional<pid_t> findClient(const std::string& clientPath);

    // Whether one process's command line (its arguments separated by NUL, as /proc shows them)
    // names clientPath. winePrefix: the process's WINEPREFIX (empty: none set; its drives are
    // then looked up in $HOME/.wine).
    [[nodiscard]] static bool commandLineNames(const std::string& commandLine, const std::string& clientPath,
                                               const std::string& winePrefix);
};

}  // namespace nimbrel
