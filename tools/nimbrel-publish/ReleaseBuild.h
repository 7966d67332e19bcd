#pragma once
// One release build as the patch sees it: every file by its path below the build folder, a
// folder's own pack (<folder>/<name>.QPAK) counting by its entries, as the client may hold the
// same files loose or packed.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace nimbrel {

struct BuildFile {
    std::uint64_t size = 0;
    std::string sha256;
    std::string diskPath;   // the loose file, or the pack that holds the entry
    std::string entryName;  // empty for a loose file
};

class ReleaseBuild {
public:
    // Keyed by the path below the build folder, "/"-separated, UTF-8. Nothing, with the reason
    // in error, when the build cannot be read whole.
    static std::optional<std::map<std::string, BuildFile>> scan(const std::string& folder, std::string& error);
};

}  // namespace nimbrel
