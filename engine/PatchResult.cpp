#include "engine/PatchResult.h"

#include "engine/TextTable.h"

namespace nimbrel {

namespace {

using namespace PatchResult;
using namespace PatchStage;

constexpr PatchCodeInfo kResults[] = {
    {kOk, "ok", "success; a whole run reports the version it wrote (0 or more)"},
    {kFileUnreadable, "file unreadable",
     "the version file, the update folder, the patch list or the version write failed"},
    {kListDownloadFailed, "list download failed", "the patch list failed to download in three attempts"},
    {kNothingToFetch, "nothing to fetch", "the patch list names nothing to fetch"},
    {kPatchFileMissing, "patch file missing",
     "a patch file failed to download, is missing or unreadable; offline: no patch list"},
    {kAlreadyCurrent, "already current", "the game is already at the patch list's version"},
    {kStopped, "stopped", "the run was stopped (window closed, Ctrl-C)"},
    {kExtractionFailed, "extraction failed", "a patch archive's files could not be written"},
    {kPackRebuildFailed, "pack rebuild failed", "a pack could not be rebuilt"},
    {kManualPatchAhead, "manual patch ahead", "the manual patch begins beyond the game's next version"},
    {kNotEnoughSpace, "not enough space", "the patch needs more space than a disk has free; nothing was fetched"},
};

constexpr PatchCodeInfo kStages[] = {
    {kClientVersion, "client version", "reading the game's version.ini"},
    {kPatchListFile, "patch list file", "downloading the patch list (offline: finding it)"},
    {kManualPatchStart, "manual patch start", "checking where a manual patch begins"},
    {kPatchList, "patch list", "reading the patch list"},
    {kPatchFiles, "patch files", "downloading (offline: checking) the patch files"},
    {kApply, "apply", "applying the patch and writing the version; every success"},
};

constexpr int kAnyStage = -1;
constexpr int kNoLine = -1;

// What the status line says at the end of a run. A text-table line where the table has one;
// otherwise our own English wording, as the table's lines are English. The first row that
// matches the result (and the stage, where it matters) wins.
struct ResultText {
    int result;
    int stage;
    int line;
    const char* text;
};
constexpr ResultText kTexts[] = {
    {kNothingToFetch, kAnyStage, TextLine::kLatest, nullptr},
    {kAlreadyCurrent, kAnyStage, TextLine::kLatest, nullptr},
    {kStopped, kAnyStage, TextLine::kStopped, nullptr},
    {kListDownloadFailed, kAnyStage, TextLine::kCannotConnect, nullptr},
    {kFileUnreadable, kClientVersion, kNoLine, "Cannot read the game version. Please reinstall the game"},
    {kFileUnreadable, kPatchListFile, kNoLine, "Cannot write the update folder. Please check the game folder"},
    {kFileUnreadable, kPatchList, kNoLine, "Cannot read the patch list. Please try again later"},
    {kFileUnreadable, kApply, kNoLine, "Cannot write the game version. Please check the game folder"},
    {kPatchFileMissing, kPatchListFile, kNoLine, "No patch list found for the offline update"},
    {kPatchFileMissing, kPatchFiles, TextLine::kDownloadError, nullptr},
    {kPatchFileMissing, kApply, kNoLine, "Cannot read a patch file. Please update again"},
    {kExtractionFailed, kAnyStage, kNoLine, "Cannot write the patched files. Please check the game folder"},
    // A fixed text, not a line of the text table.
    {kPackRebuildFailed, kAnyStage, kNoLine, "Make PAK Failed. Please Don't edit PAK file and update try again"},
    {kManualPatchAhead, kAnyStage, kNoLine,
     "This manual patch starts beyond the next version of your game. Apply the earlier patches first, then "
     "start the launcher again."},
    {kNotEnoughSpace, kAnyStage, kNoLine, "Not enough free space for the update. Please make room and try again"},
};

}  // namespace

std::span<const PatchCodeInfo> patchResultCodes() { return kResults; }
std::span<const PatchCodeInfo> patchStageCodes() { return kStages; }

std::string patchResultText(const TextTable& texts, int result, int stage) {
    if (result >= 0) {
        std::string completed = texts.lineOrEmpty(TextLine::kCompleted);
        return completed.empty() ? "Completed Update File" : completed;
    }
    for (const ResultText& row : kTexts) {
        if (row.result != result || (row.stage != kAnyStage && row.stage != stage)) continue;
        std::string text = row.line != kNoLine ? texts.lineOrEmpty(row.line) : std::string(row.text);
        if (!text.empty()) return text;
    }
    // A failure must never leave the last stage text standing, which looks like a hang.
    return "Update failed (result " + std::to_string(result) + " stage " + std::to_string(stage) + ")";
}

}  // namespace nimbrel
