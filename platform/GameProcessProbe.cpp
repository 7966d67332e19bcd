#include "platform/GameProcessProbe.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/FileSystem.h"

namespace nimbrel {

namespace {

namespace fs = std::filesystem;

// Lower case, "/" for "\", runs of separators as one: the form in which two names of one
// file compare equal whether Wine or a shell wrote them.
std::string normalized(const std::string& path) {
    std::string text;
    text.reserve(path.size());
    for (char c : path) {
        if (c == '\\') c = '/';
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '/' && !text.empty() && text.back() == '/') continue;
        text += c;
    }
    return text;
}

// The characters around a path in a command line: the ends of an argument, a blank between
// words of one Windows command line, or a quote.
bool isBoundary(char c) { return c == '\0' || c == ' ' || c == '"' || c == '\''; }

bool containsAsWord(const std::string& text, const std::string& word) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const std::size_t end = at + word.size();
        if ((at == 0 || isBoundary(text[at - 1])) && (end == text.size() || isBoundary(text[end]))) return true;
    }
    return false;
}

std::string readWhole(const std::string& path) { return FileSystem::readWholeFile(path).value_or(std::string()); }

// WINEPREFIX in a process's environment; empty when unset or not readable.
std::string winePrefixOf(const std::string& procFolder) {
    const std::string environment = readWhole(procFolder + "environ");
    static const std::string key = "WINEPREFIX=";
    for (std::size_t at = 0; at < environment.size();) {
        std::size_t end = environment.find('\0', at);
        if (end == std::string::npos) end = environment.size();
        if (environment.compare(at, key.size(), key) == 0)
            return environment.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return {};
}

// Every normalized name the client may have in a command line: its Unix paths (as given and
// with links resolved) and the same under each Wine drive that holds it.
std::vector<std::string> namesOf(const std::string& clientPath, const std::string& winePrefix) {
    std::error_code error;
    std::vector<std::string> unixNames{normalized(clientPath)};
    const fs::path canonical = fs::weakly_canonical(clientPath, error);
    if (!error && normalized(canonical.string()) != unixNames.front())
        unixNames.push_back(normalized(canonical.string()));

    std::vector<std::string> names = unixNames;
    // Wine's default drive Z: is the root, also in a prefix we cannot read.
    for (const auto& name : unixNames) names.push_back("z:" + name);

    std::string prefix = winePrefix;
    if (prefix.empty())
        if (const char* home = std::getenv("HOME")) prefix = std::string(home) + "/.wine";
    if (prefix.empty()) return names;
    for (const auto& entry : fs::directory_iterator(prefix + "/dosdevices", error)) {
        const std::string drive = normalized(entry.path().filename().string());
        if (drive.size() != 2 || drive[1] != ':') continue;
        std::error_code linkError;
        std::string root = normalized(fs::weakly_canonical(entry.path(), linkError).string());
        if (linkError) continue;
        if (!root.empty() && root.back() == '/') root.pop_back();
        for (const auto& name : unixNames)
            if (name.compare(0, root.size() + 1, root + "/") == 0) names.push_back(drive + name.substr(root.size()));
    }
    return names;
}

}  // namespace

bool GameProcessProbe::commandLineNames(const std::string& commandLine, const std::string& clientPath,
                                        const std::string& winePrefix) {
    const std::string line = normalized(commandLine);
    const std::string fileName = normalized(fs::path(clientPath).filename().string());
    if (fileName.empty() || line.find(fileName) == std::string::npos) return false;
    for (const auto& name : namesOf(clientPath, winePrefix))
        if (containsAsWord(line, name)) return true;
    return false;
}

std::optional<pid_t> GameProcessProbe::findClient(const std::string& clientPath) {
    const std::string fileName = normalized(fs::path(clientPath).filename().string());
    const pid_t self = ::getpid();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
        if (pid == self) continue;
        const std::string folder = "/proc/" + name + "/";
        // A process that has ended since the listing reads as empty.
        const std::string commandLine = readWhole(folder + "cmdline");
        if (normalized(commandLine).find(fileName) == std::string::npos) continue;
        if (commandLineNames(commandLine, clientPath, winePrefixOf(folder))) return pid;
    }
    return std::nullopt;
}

}  // namespace nimbrel
