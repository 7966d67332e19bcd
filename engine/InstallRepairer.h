#pragma once
// Brings a game folder to the release manifest of a version, fetching only the bytes it lacks:
// `nimbrel-cli repair` at the installed version, `nimbrel-cli install` at the server's latest
// into an empty folder. The manifest is fetched and checked as verify fetches it, the folder
// compared by InstallVerifier. Each file's bytes come from the archive entry the manifest
// names: the archive's directory from its tail, then the entries' spans by HTTP byte ranges,
// near spans merged into one request, many requests at once (a server that does not answer
// ranges gives whole archives, through the downloader and its cache). Every entry is checked
// against the manifest's size and SHA-256 and staged in update/repair/ before anything of the
// folder changes; staged files survive a cut-off run and are not fetched again.
//
// Then, each step safe against a kill: loose files take their place by one rename with their
// mode; packs are updated in place under their journal (a damaged pack is written anew);
// entries and files of packed folders the build lacks go; empty folders are made and modes
// set. The player's own files outside packed folders stay. An install writes the list's serial
// file and version.ini last.
//
// For a window: plan() says what a repair will fetch without changing anything; run() carries
// it out, reporting to the context's window as a patch run does (status and item labels, the
// counter, the progress bar) and ending with postResult.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/InstallVerifier.h"
#include "engine/ReleaseManifest.h"
#include "pack/ZipEntrySpans.h"

namespace nimbrel {

struct PatchContext;

class InstallRepairer {
public:
    // An archive that holds files to fetch: its entries' spans, or (a server that does not
    // answer ranges) the whole archive.
    struct Archive {
        std::vector<std::string> files;  // paths of the manifest whose bytes it carries
        std::optional<ZipEntrySpans> spans;
        std::uint64_t size = 0;
        std::uint64_t spanBytes = 0;  // what fetching the files' spans takes
    };
    struct Plan {
        int version = 0;
        ReleaseManifest manifest;
        InstallVerifier::Report report;
        std::map<std::string, Archive> archives;
        std::size_t filesToFetch = 0;     // not already staged by an earlier, cut-off run
        std::uint64_t downloadBytes = 0;  // what the repair will download from now on
    };

    explicit InstallRepairer(const PatchContext& context) : context_(context) {}

    // The server's latest version, from its patch list, checked against its signature as a
    // patch run checks it (the list's serial reaches the game folder with the version, when
    // run() writes it); a negative PatchResult code, after telling the window why, when there
    // is none.
    [[nodiscard]] int latestVersion();
    // The manifest of `version`, the folder compared with it and the bytes a repair would
    // fetch. Reads the folder and the archives' directories; changes nothing. Nothing, with the
    // reason in failureReason(), when the manifest or a directory cannot be had.
    [[nodiscard]] std::optional<Plan> plan(int version);
    // Brings the folder to `version`'s build; with writeVersion (an install), version.ini is
    // written last. PatchResult::kOk, or kPatchFileMissing (a file could not be fetched or
    // failed its check), kExtractionFailed (a loose file could not be written),
    // kPackRebuildFailed (a pack could not be updated), kStopped; failureReason() tells why.
    // Posts the result to the window at the end (stage kApply).
    [[nodiscard]] int run(int version, bool writeVersion);

    const std::string& failureReason() const { return failureReason_; }

private:
    // Keeps the first failure's reason and gives its result back.
    int fail(int result, std::string reason);
    int fetchFiles(const Plan& plan, const std::string& staging);
    int placeFiles(const Plan& plan, const std::string& staging);

    const PatchContext& context_;
    std::string failureReason_;
    int failure_ = 0;  // the result of the first failure
};

}  // namespace nimbrel
