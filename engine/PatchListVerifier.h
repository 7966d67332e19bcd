#pragma once
// With a release key configured, nothing from the patch server is used unless the release team
// signed it: the patch list must carry a good signature before it is parsed, and every archive
// and deletion list must match the signed manifest before any of them is opened. The signed
// list must also be for this launcher's channel, no older (by its serial) than a list this game
// folder has accepted before, and, fetched online, not past its expiry: so nobody can hold a
// player at an old version or serve another channel's list. Without a key every step here
// passes, for servers that do not sign (a build allows that only when told to).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/PatchListEntry.h"
#include "engine/PatchSignature.h"

namespace nimbrel {

struct PatchContext;

class PatchListVerifier {
public:
    explicit PatchListVerifier(const PatchContext& context) : context_(context) {}
    // Online: fetches "version.ini.sig" beside the list; a missing one shows when the list is verified.
    void fetchSignature();
    // 0 when the list the reader will read is signed by a known key, for this channel, and
    // fresh (the manifest is kept for verifyFiles; its serial is recorded in the game folder);
    // -1, after telling the player why, when it is not. A list taken offline (a manual patch or
    // update/ filled by hand) may be past its expiry.
    [[nodiscard]] int verifyList(int fromManualFile, bool online);
    // What verifyFiles and verifyFile give when every file matches its manifest line.
    static constexpr int kFilesMatch = 1;
    // kFilesMatch when every file of entries in the update folder matches the manifest; -4,
    // after telling the player, at the first that does not.
    [[nodiscard]] int verifyFiles(const std::vector<PatchListEntry>& entries);
    // The same for one file, for a step that wants to check each file as it lands.
    [[nodiscard]] int verifyFile(const PatchListEntry& entry);
    // The verified list's manifest; nullptr without a key or before verifyList succeeded.
    const PatchSignature* manifest() const { return manifest_ ? &*manifest_ : nullptr; }

private:
    [[nodiscard]] int refuse(const std::string& text) const;
    // The highest serial this game folder accepted for a channel; 0 when none.
    std::uint64_t acceptedSerial(const std::string& channel) const;
    [[nodiscard]] bool recordSerial(const std::string& channel, std::uint64_t serial) const;

    const PatchContext& context_;
    std::optional<PatchSignature> manifest_;  // the verified list's manifest
};

}  // namespace nimbrel
