#include "platform/XdgPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace nimbrel {

std::string XdgPaths::folder(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') {
        std::string base = value;
        if (base.back() != '/') base += '/';
        return base + kProgramFolder;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] == '/')
        home = env;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    if (home.empty()) home = "/tmp";
    if (home.back() != '/') home += '/';
    return home + fallbackUnderHome + kProgramFolder;
}

std::string XdgPaths::configFolder() { return folder("XDG_CONFIG_HOME", ".config/"); }
std::string XdgPaths::cacheFolder() { return folder("XDG_CACHE_HOME", ".cache/"); }
std::string XdgPaths::stateFolder() { return folder("XDG_STATE_HOME", ".local/state/"); }

}  // namespace nimbrel
