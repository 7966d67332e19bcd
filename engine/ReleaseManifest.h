#pragma once
// What one release build holds, published beside the patch list as "manifest_N.txt" for
// version N: every file, loose or inside a folder's pack, with its size, Unix mode and SHA-256
// and the archive entry that last carried its bytes, and every empty folder. nimbrel-publish
// writes it, `nimbrel-cli verify` compares a game folder with it; this is its only reader and
// writer.
//
// Text form, UTF-8, lines ending in LF:
//   nimbrel-release-manifest 1
//   version N
//   loose SIZE MODE SHA256 ARCHIVE ENTRY PATH          a file the game folder holds as it is
//   packed SIZE SHA256 ARCHIVE ENTRY FOLDER NAME       an entry of FOLDER's pack
//   folder MODE PATH                                   an empty folder
//   end COUNT                                          the number of lines above it after "version"
// Fields stand between single blanks. In a name, "%" followed by two hex digits stands for a
// byte below 0x21, 0x7F or "%" itself, so no name holds a blank or a line break; "-" alone is
// an ARCHIVE and ENTRY not known (a release made without a base before it). MODE is octal.
// PATH and FOLDER are "/"-separated below the game folder.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

struct ReleaseFile {
    std::string path;        // below the game folder, e.g. "item/a.dat" or "readme.txt"
    std::string packFolder;  // the folder whose pack holds it ("item", "map/minimap"); empty: loose
    std::uint64_t size = 0;
    std::uint32_t mode = 0644;  // permission bits of a loose file
    std::string sha256;         // 64 lower-case hex digits
    std::string archive;        // the patch archive that last carried it; empty: not known
    std::string entry;          // its entry name in that archive
    bool operator==(const ReleaseFile&) const = default;
    // The entry name inside the pack (the part of path after packFolder).
    std::string packedName() const { return path.substr(packFolder.size() + 1); }
};

struct ReleaseFolder {
    std::string path;
    std::uint32_t mode = 0755;
    bool operator==(const ReleaseFolder&) const = default;
};

class ReleaseManifest {
public:
    static constexpr const char* kHeader = "nimbrel-release-manifest 1";

    // "manifest_N.txt": the launcher finds a version's manifest by its number alone.
    static std::string fileName(int version);

    int version = 0;
    std::vector<ReleaseFile> files;  // in path order
    std::vector<ReleaseFolder> emptyFolders;

    std::string write() const;
    // Nothing, with the reason in error, for text that is not a whole manifest: cut short,
    // a malformed line, a name leading outside the game folder or a path given twice.
    static std::optional<ReleaseManifest> parse(std::string_view text, std::string& error);

    const ReleaseFile* find(const std::string& path) const;
    // The files no build holds and no manifest names: the launcher keeps them in the game folder
    // itself (the version file, its update folder, a manual patch list, their signatures, the serial
    // of the last list accepted).
    static bool isLauncherFile(const std::string& path);
    bool operator==(const ReleaseManifest&) const = default;
};

}  // namespace nimbrel
