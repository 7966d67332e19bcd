#pragma once
// The shape of a game installation: which folder a patch key names, which folders live in
// packs, which files stay loose, and the names of the files the patcher itself reads and
// writes. Every step asks here, so the folder rules exist once.

#include <string>
#include <string_view>
#include <vector>

#include "pack/PackArchive.h"

namespace nimbrel {

class GameLayout {
public:
    static constexpr const char* kClientVersionFileName = "version.ini";  // in the game folder
    static constexpr const char* kPatchListFileName = "version.ini";      // on the server and in update/
    static constexpr const char* kManualPatchFileName = "ManualPatch.ini";
    static constexpr const char* kGameClientName = "QuorlanPlus.exe";
    static constexpr const char* kUpdateFolderName = "update/";
    static constexpr const char* kPackSuffix = ".QPAK";
    static constexpr const char* kRootKey = "root";
    static constexpr const char* kMinimapKey = "minimap";
    static constexpr const char* kEtcKey = "etc";

    // How the keys "root" and "minimap" are recognised. The patch list's grammar names them
    // exactly ("Root" is an ordinary folder there); deletion lines come from Windows paths,
    // where the case of a folder name carries no meaning.
    enum class KeyCase { Exact, Ignore };

    // baseFolder gets a final "/" when it lacks one.
    explicit GameLayout(std::string baseFolder);

    const std::string& baseFolder() const { return baseFolder_; }
    std::string updateFolder() const { return baseFolder_ + kUpdateFolderName; }
    std::string clientVersionPath() const { return baseFolder_ + kClientVersionFileName; }
    std::string patchListPath() const { return updateFolder() + kPatchListFileName; }
    std::string manualPatchPath() const { return baseFolder_ + kManualPatchFileName; }
    std::string gameClientPath() const { return baseFolder_ + kGameClientName; }
    // Files bound for a pack wait in a folder of their own inside the update folder, so a
    // staged file can never overwrite a downloaded archive or the patch list.
    std::string stagingFolder() const { return updateFolder() + "staging/"; }

    // The folder of a key, ending in "/": the base folder for "root", map/minimap/ for
    // "minimap", else the key below the base folder (a backslash in it is a subfolder).
    std::string folderForKey(std::string_view key, KeyCase keyCase = KeyCase::Ignore) const;
    // A packed folder's pack: the folder, the key, ".QPAK".
    std::string packPathForKey(std::string_view key) const;

    // The folder keys whose files live in a pack, in the order the packing passes walk them.
    static const std::vector<std::string>& packedFolders();
    static bool isPackedFolder(std::string_view key);  // case-insensitive
    // The loose files a packed folder keeps beside its pack: the game writes item.edp and
    // usercontroll.edt in etc itself, so they never go into the pack.
    static NameList filesKeptLoose(std::string_view key);
    static bool isKeptLoose(std::string_view key, std::string_view name);
    // The patcher's own files in the game folder (relative path, any case): the version file,
    // the update folder, the manual patch and the signatures beside them. A patch never
    // writes or deletes them; the run alone writes the version, last.
    static bool isPatcherFile(std::string_view relativePath);

private:
    std::string baseFolder_;
};

}  // namespace nimbrel
