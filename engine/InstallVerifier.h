#pragma once
// Checks a game folder against the release manifest of its installed version: missing and
// changed files, files in packed folders the build does not have, wrong modes, damaged packs.
// The manifest comes from the patch server over the launcher's HTTP client, checked against
// the list's signature when the launcher has a release key. Read-only: nothing in the game
// folder is written, not even a pack's cut-off update is rolled back. Files are hashed on
// several threads; each pack is read once.

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
    };

    // The manifest of `version` from the patch server at baseUrl; with a publicKey, only when
    // the list's signature is good and covers it. Nothing, with the reason in error, otherwise.
    static std::optional<ReleaseManifest> fetchManifest(const std::string& baseUrl, const std::string& publicKey,
                                                        int version, std::string& error);

    explicit InstallVerifier(GameLayout layout) : layout_(std::move(layout)) {}
    [[nodiscard]] Report compare(const ReleaseManifest& manifest) const;

private:
    GameLayout layout_;
};

}  // namespace nimbrel
