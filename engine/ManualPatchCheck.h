#pragma once
// Offline patching: checks that every file the PatchList names already lies in the update folder.

#include <string>
#include <vector>

#include "engine/PatchListEntry.h"

namespace nimbrel {

struct PatchContext;

class ManualPatchCheck {
public:
    static constexpr int kAllPresent = 1;

    explicit ManualPatchCheck(const PatchContext& context) : context_(context) {}
    // kAllPresent when every file of entries is present; -3 for an empty list; -4 at the first missing
    // file (-7 instead when a stop is pending); -7 when a stop was requested on entry.
    [[nodiscard]] int checkManualPatchFiles(const std::vector<PatchListEntry>& entries);

private:
    const PatchContext& context_;
};

}  // namespace nimbrel
