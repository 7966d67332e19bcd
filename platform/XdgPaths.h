#pragma once
// Where the launcher keeps what it writes outside the game folder, by the XDG base-directory
// rules: settings under $XDG_CONFIG_HOME (else ~/.config), the download cache under
// $XDG_CACHE_HOME (else ~/.cache), logs and other state under $XDG_STATE_HOME (else
// ~/.local/state), each in a folder "nimbrel/". A variable that is unset, empty or relative is
// ignored, as the rules say. The folders are named, not created. Without a home folder the
// cache has no folder at all (empty): one shared by every user of the machine, as under /tmp,
// could be filled by any of them.

#include <string>

namespace nimbrel {

class XdgPaths {
public:
    static constexpr const char* kProgramFolder = "nimbrel/";

    // Each ends in "/" (the cache's may be empty, above).
    static std::string configFolder();
    static std::string cacheFolder();
    static std::string stateFolder();

private:
    static std::string folder(const char* variable, const char* fallbackUnderHome);
};

}  // namespace nimbrel
