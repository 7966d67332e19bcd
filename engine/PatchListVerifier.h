#pragma once
// With a release key configured, nothing from the patch server is used unless the release team
// signed it: the patch list must carry a good signature before it is parsed, and every archive
// and deletion list must match the signed manifest before any of them is opened. Without a key
// every step here passes, as patch lists were taken before signing existed.

#include <optional>
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
    // 0 when the list the reader will read is signed by the key (the manifest is kept for
    // verifyFiles); -1, after telling the player, when it is not.
    [[nodiscard]] int verifyList(int fromManualFile);
    // 1 when every file of entries in the update folder matches the manifest; -4, after
    // telling the player, at the first that does not.
    [[nodiscard]] int verifyFiles(const std::vector<PatchListEntry>& entries);
    // The same for one file, for a step that wants to check each file as it lands.
    [[nodiscard]] int verifyFile(const PatchListEntry& entry);

private:
    const PatchContext& context_;
    std::optional<PatchSignature> manifest_;  // the verified list's manifest
};

}  // namespace nimbrel
