#include "platform/XdgPaths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace nimbrel {

namespace {

bool isAbsoluteVariable(const char* variable) {
    const char* value = std::getenv(variable);
    return value && value[0] == '/';
}

// $HOME, else the password database's; empty when neither names one.
std::string homeFolder() {
    if (const char* env = std::getenv("HOME"); env && env[0] == '/') return env;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/') return pw->pw_dir;
    return {};
}

}  // namespace

std::string XdgPaths::folder(const char* variable, const char* fallbackUnderHome) {
    if (isAbsoluteVariable(variable)) {
        std::string base = std::getenv(variable);
        if (base.back() != '/') base += '/';
        return base + kProgramFolder;
    }
    std::string home = homeFolder();
    if (home.empty()) home = "/tmp";
    if (home.back() != '/') home += '/';
    return home + fallbackUnderHome + kProgramFolder;
}

std::string XdgPaths::configFolder() { return folder("XDG_CONFIG_HOME", ".config/"); }
std::string XdgPaths::cacheFolder() {
    if (!isAbsoluteVariable("XDG_CACHE_HOME") && homeFolder().empty()) return {};
    return folder("XDG_CACHE_HOME", ".cache/");
}
std::string XdgPaths::stateFolder() { return folder("XDG_STATE_HOME", ".local/state/"); }

}  // namespace nimbrel
