#pragma once
// One release build as the patch sees it: every file by its path below the build folder, a
// folder's own pack (<folder>/<name>.QPAK) counting by its entries, as the client may hold the
// same files loose or packed; every folder with its mode. The launcher's own files (the version
// file, its update folder, a manual patch list and their signatures) are never part of a build:
// the launcher writes them on the player's disk.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace nimbrel {

struct BuildFile {
    std::uint64_t size = 0;
    std::string sha256;
    std::uint32_t mode = 0644;  // permission bits; 0644 for a pack entry
    std::string diskPath;       // the loose file, or the pack that holds the entry
    std::string entryName;      // empty for a loose file
};

struct BuildTree {
    // Keyed by the path below the build folder, "/"-separated, UTF-8.
    std::map<std::string, BuildFile> files;
    std::map<std::string, std::uint32_t> folders;  // every folder, with its permission bits
    bool isEmptyFolder(const std::string& folder) const;
};

class ReleaseBuild {
public:
    // Nothing, with the reason in error, when the build cannot be read whole or holds what no
    // player's game folder can (a symbolic link, two names in one folder differing only in case).
    static std::optional<BuildTree> scan(const std::string& folder, std::string& error);
};

}  // namespace nimbrel
