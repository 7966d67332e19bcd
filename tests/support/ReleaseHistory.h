#pragma once
// A history of release builds as a release team makes them month after month, the same for the
// same seed: each build differs from the one before by every kind of change a release brings
// (files added, deleted and edited, loose and in packed folders, in nested folder keys, with
// Korean names, a file over 10 MiB edited, empty files, case-only renames, a folder becoming a
// file and back, execute bits set and cleared, empty folders appearing and disappearing, and
// packed folders held in the build as packs or loose). Each build also holds its own
// version.ini, as a shipped game folder does.
//
//   ReleaseHistory history({.seed = 7});
//   history.builds()[0].writeTo(folder, QPAK_PATH);   // folder ends in "/"

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace nimbrel::test {

class ReleaseHistory {
public:
    struct File {
        std::shared_ptr<const std::string> bytes;  // shared by the builds that hold the same bytes
        unsigned mode = 0644;
    };

    struct Build {
        int version = 0;
        std::map<std::string, File> files;  // "/"-separated UTF-8 path below the build folder
        std::set<std::string> emptyFolders;
        std::set<std::string> packedOnDisk;  // packed folders ("item", "map/minimap") held as packs

        // The build's own version file, as the game folder shipped with it holds it.
        std::string versionFile() const;
        // Writes the build into an empty folder (ending in "/"): every file with its mode, the
        // empty folders, version.ini, and the packs of packedOnDisk made by the qpak program.
        // False, with the reason in error, when something could not be made.
        [[nodiscard]] bool writeTo(const std::string& folder, const std::string& qpakPath, std::string& error) const;
    };

    struct Options {
        unsigned seed = 1;
        int builds = 8;
        int firstVersion = 1;
        std::size_t largeFileSize = 11u << 20;  // beyond the 10 MiB a pack takes
        int filesPerFolder = 5;
        std::size_t smallFileMaxSize = 3000;
    };

    explicit ReleaseHistory(const Options& options);

    const std::vector<Build>& builds() const { return builds_; }

    // Whether the game reads the file from its folder's pack (the launcher keeps it there), and
    // that folder ("item", "map/minimap"); an empty folder for a file read loose.
    static std::string packedFolderOf(const std::string& path);

private:
    class Generator;
    std::vector<Build> builds_;
};

}  // namespace nimbrel::test
