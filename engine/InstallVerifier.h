#pragma once
// Checks a game folder against the release manifest of its installed version: missing and
// changed files, files in packed folders the build does not have, wrong modes, damaged packs.
// The manifest comes from the patch server over the launcher's HTTP client, checked against
// the list's signature when the launcher has a release key. Read-only: nothing in the game
// folder is written, not even a pack's cut-off update is rolled back. Files are hashed on
// several threads; each pack is read once.

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/ReleaseManifest.h"

namespace nimbrel {

class InstallVerifier {
public:
    struct Report {
        std::vector<std::string> differences;  // one line each, in path order
        std::vector<std::string> leftAlone;    // loose files outside packed folders the build lacks
        std::size_t filesChecked = 0;
        bool matches() const { return differences.empty(); }

        // The same differences as work for a repair, by path below the game folder.
        struct Repairs {
            std::vector<std::string> fetch;         // files of the build whose bytes are missing, changed or unreadable
            std::vector<std::string> modes;         // loose files with the build's bytes under another mode
            std::vector<std::string> extraEntries;  // entries of packs the build does not have ("item/x.dat")
            std::vector<std::string> extraFiles;    // loose files of packed folders the build does not have
            std::vector<std::string> damagedPacks;  // packed folders whose pack cannot be read
            std::vector<std::string> folders;       // empty folders of the build that are missing
        } repairs;
    };

    // The manifest of `version` from the patch server at baseUrl; with a publicKey, only when
    // the list's signature is good and covers it. Nothing, with the reason in error, otherwise.
    // A nonzero stopFlag ends the fetch (a window closing while it asks a silent server).
    static std::optional<ReleaseManifest> fetchManifest(const std::string& baseUrl, const std::string& publicKey,
                                                        int version, std::string& error,
                                                        const std::atomic<int>* stopFlag = nullptr);

    explicit InstallVerifier(GameLayout layout) : layout_(std::move(layout)) {}
    [[nodiscard]] Report compare(const ReleaseManifest& manifest) const;
    // The pack of a packed folder of the manifest ("item", "map/minimap").
    std::string packPathOf(const std::string& folder) const;

private:
    GameLayout layout_;
};

}  // namespace nimbrel
