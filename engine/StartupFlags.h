#pragma once
// The start-up decision between online, offline and manual patching: the ManualPatch.ini
// probe next to the executable and the command-line words "DontConnect" and "sync".

#include <string>
#include <vector>

namespace nimbrel {

struct StartupFlags {
    int connectToServer = 1;
    int manualPatch = 0;
    std::string manualPatchPath;
    int syncRequested = 0;

    // Probe for ManualPatch.ini in the folder of executablePath, then scan the command line.
    static StartupFlags fromStartup(const std::string& executablePath, const std::string& commandLine);
    // Probe for ManualPatch.ini in a given game folder (ends in "/"), then scan.
    static StartupFlags forGameFolder(const std::string& gameFolder, const std::string& commandLine);
    // Splits at runs of " ,-/" and applies "DontConnect" and "sync" (whole tokens, any case).
    void scanCommandLine(const std::string& commandLine);
    // Joins argv[1..] with blanks: the one command-line string the start-up scan reads.
    static std::string joinArguments(const std::vector<std::string>& arguments);
};

}  // namespace nimbrel
