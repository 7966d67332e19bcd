#include "engine/StartupFlags.h"

namespace nimbrel {

StartupFlags StartupFlags::fromStartup(const std::string&, const std::string& commandLine) {
    StartupFlags flags;
    flags.scanCommandLine(commandLine);
    return flags;
}

StartupFlags StartupFlags::forGameFolder(const std::string&, const std::string& commandLine) {
    StartupFlags flags;
    flags.scanCommandLine(commandLine);
    return flags;
}

void StartupFlags::scanCommandLine(const std::string&) {}

std::string StartupFlags::joinArguments(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& a : arguments) line += (line.empty() ? "" : " ") + a;
    return line;
}

}  // namespace nimbrel
