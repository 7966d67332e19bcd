#pragma once
// Parses the patch list (update/version.ini, or ManualPatch.ini in manual mode) into a
// PatchList: the entries still to install, the target version and the self-update flag.

#include <map>
#include <string>
#include <string_view>

#include "engine/PatchList.h"
#include "engine/PatchResult.h"

namespace nimbrel {

struct PatchContext;

class PatchListReader {
public:
    // Shown in a message box when a list is refused; the refusals of a name end with the name,
    // that of a version with the number.
    static constexpr const char* kCaption = "Nimbrel";
    static constexpr const char* kNoPatchListText =
        "The patch server sent no patch list (no CUR_VERSION line). Please try again later.";
    static constexpr const char* kNoManualPatchListText = "ManualPatch.ini holds no patch list (no CUR_VERSION line).";
    static constexpr const char* kUnsafeNameText =
        "The patch list was refused: this name is too long or leads outside the game folder: ";
    // A list cut short (an upload in progress, a proxy that gave up) still names CUR_VERSION.
    static constexpr const char* kIncompleteText =
        "The patch list is incomplete: it names no patch archive or deletion list for version ";
    static constexpr const char* kVersionRangeText =
        "The patch list was refused: the client can only record versions 0 to 1999, not ";

    // The code of a read and the list as far as it was read. A refused list gives an empty one:
    // nothing of it may be fetched or applied.
    struct Reading {
        int result = PatchResult::kOk;
        PatchList list;
    };

    // currentVersion: the installed version; the blocks up to it are skipped.
    PatchListReader(const PatchContext& context, int currentVersion)
        : context_(context), currentVersion_(currentVersion) {}

    // result 0 read to the end; -1 no usable list file (missing, empty, no CUR_VERSION line, a
    // version outside 0..1999, an unsafe name, or no block for CUR_VERSION that names an
    // archive or a deletion list: then nothing of it is taken); -6 already
    // current; -7 stop requested; -12 (manual mode) the list starts beyond the next version.
    [[nodiscard]] Reading read(int fromManualFile);

    // The number at a fixed index of a line: blanks skipped, optional sign, digits; 0 when
    // there are none or the line is shorter.
    static int numberAt(std::string_view line, std::size_t index);

private:
    int readList(int fromManualFile);
    // These return false after setting refusal_.
    bool applyFlagsLine(const std::string& line, std::string& pendingDeletion);
    bool appendFileLine(std::string line, int version);
    bool acceptVersion(int version);
    bool refuseName(std::string_view raw);

    const PatchContext& context_;
    const int currentVersion_;
    PatchList list_;
    // The pending blocks by version: whether each named an archive or a deletion list.
    std::map<int, bool> blockCarries_;
    std::string refusal_;  // why the list is refused; empty while it is acceptable
};

}  // namespace nimbrel
