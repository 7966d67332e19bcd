#pragma once
// Fetches the patch list and the patch archives from the patch server into the update folder:
// three attempts per file, the item label and progress messages for the window, the download
// cache for patch archives and a fresh fetch for the patch list.

#include <string>

namespace nimbrel {

class PatchEngine;

class FileDownloader {
public:
    static constexpr int kAttempts = 3;

    explicit FileDownloader(PatchEngine& engine) : engine_(engine) {}

    // 0 when updateFolder + name exists afterwards (also when it was there already), -2 when
    // every attempt failed or the name would leave the update folder, -7 on a stop request.
    int downloadFile(const std::string& name, bool useCache);
    // 1 when every PatchList file is in the update folder; -3 for an empty PatchList; -4 after
    // the box "<name> file download failed"; -7 on a stop request.
    int downloadPatchFiles();

    // The URL of a server-side name: patchBaseUrl followed by the name, with the bytes a URL
    // cannot carry literally (spaces, non-ASCII, "%", "#", "?") percent-encoded.
    static std::string urlFor(const std::string& patchBaseUrl, const std::string& name);

private:
    enum class Attempt { Done, Failed, Stopped };
    Attempt fetchDirect(const std::string& url, const std::string& target);
    Attempt copyFromCache(const std::string& url, const std::string& target, bool& cacheFailed);

    PatchEngine& engine_;
};

}  // namespace nimbrel
