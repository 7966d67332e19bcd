#include "engine/StartupFlags.h"

#include <string_view>

#include "engine/GameLayout.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

// Hyphens and slashes separate too, so "-sync" and "/DontConnect" are the words themselves.
constexpr const char* kSeparators = " ,-/";

}  // namespace

StartupFlags StartupFlags::fromStartup(const std::string& executablePath, const std::string& commandLine) {
    // The whole path is used: cutting it at a fixed length would look for ManualPatch.ini in
    // some parent folder of a deeply installed game.
    return forGameFolder(FileSystem::folderOf(executablePath), commandLine);
}

StartupFlags StartupFlags::forGameFolder(const std::string& gameFolder, const std::string& commandLine) {
    StartupFlags flags;
    flags.manualPatchPath = gameFolder + GameLayout::kManualPatchFileName;
    flags.manualPatch = FileSystem::fileExists(flags.manualPatchPath) ? 1 : 0;
    flags.connectToServer = flags.manualPatch ? 0 : 1;
    flags.scanCommandLine(commandLine);
    return flags;
}

void StartupFlags::scanCommandLine(const std::string& commandLine) {
    std::size_t start = commandLine.find_first_not_of(kSeparators);
    while (start != std::string::npos) {
        std::size_t end = commandLine.find_first_of(kSeparators, start);
        std::string_view token =
            std::string_view(commandLine).substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (TextCodec::equalsIgnoreCase(token, "DontConnect")) connectToServer = 0;
        if (TextCodec::equalsIgnoreCase(token, "sync")) syncRequested = 1;
        start = end == std::string::npos ? end : commandLine.find_first_not_of(kSeparators, end);
    }
}

std::string StartupFlags::joinArguments(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        if (!line.empty()) line += ' ';
        line += argument;
    }
    return line;
}

}  // namespace nimbrel
