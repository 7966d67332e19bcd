#pragma once
// Every result a patch step returns and every stage a patch run reaches, named once. The
// numbers are the contract between the steps, the worker and both front ends (the window
// and nimbrel-cli's "result <code> stage <stage>" line): they never change. Search a name to
// find where a result is produced and where it is shown.

#include <span>
#include <string>

namespace nimbrel {

class TextTable;

// Results: any value >= 0 is success (a whole run succeeds with the version it wrote);
// negative is a failure. -5, -9 and -10 were never used and stay free.
namespace PatchResult {
inline constexpr int kOk = 0;                   // the step did what it was asked
inline constexpr int kFileUnreadable = -1;      // version file, patch list or version write: cannot open, or empty
inline constexpr int kListDownloadFailed = -2;  // the patch list failed to download in three attempts
inline constexpr int kNothingToFetch = -3;      // the patch list names nothing to fetch
inline constexpr int kPatchFileMissing = -4;    // a patch file failed to download, is missing or unreadable;
                                                // offline: no patch list file exists
inline constexpr int kAlreadyCurrent = -6;      // the client is at or above the patch list's version
inline constexpr int kStopped = -7;             // stopRequested was set: the launcher is closing
inline constexpr int kExtractionFailed = -8;    // a patch archive's files could not be written
inline constexpr int kPackRebuildFailed = -11;  // rebuilding a pack failed
inline constexpr int kManualPatchAhead = -12;   // the manual patch list begins beyond the next version
inline constexpr int kNotEnoughSpace = -13;     // the patch would not fit on a disk: refused before any download
}  // namespace PatchResult

// The last stage a run reached, sent with its result.
namespace PatchStage {
inline constexpr int kClientVersion = 0;     // reading the client version
inline constexpr int kPatchListFile = 1;     // obtaining the patch list file
inline constexpr int kManualPatchStart = 2;  // checking where the manual patch list begins
inline constexpr int kPatchList = 3;         // reading the patch list
inline constexpr int kPatchFiles = 4;        // fetching (online) or checking (offline) the patch files
inline constexpr int kApply = 5;             // applying and writing the version; the stage of every success
}  // namespace PatchStage

// One named code with what it means, for help texts and documentation.
struct PatchCodeInfo {
    int code;
    const char* name;
    const char* meaning;
};
std::span<const PatchCodeInfo> patchResultCodes();
std::span<const PatchCodeInfo> patchStageCodes();

// What the player is shown when a run ends with this result at this stage: the one text both
// front ends put in the status line. Never empty.
[[nodiscard]] std::string patchResultText(const TextTable& texts, int result, int stage);

}  // namespace nimbrel
