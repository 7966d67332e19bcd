#pragma once
// Makes the patch from one release build to the next inside the folder served at the patch base
// URL: one archive per top folder with new or changed files, one deletion list, the version block
// appended to the patch list, and, with a key, the list's signature. Everything is checked and
// written in a staging folder first, so a refused or failed release leaves the server folder as
// it was.

#include <optional>
#include <string>

namespace nimbrel {

struct PublishRequest {
    std::string oldBuild;
    std::string newBuild;
    std::string serverFolder;
    std::optional<int> version;  // default: the list's CUR_VERSION + 1
    std::string secretKeyFile;   // empty: unsigned
};

class PatchPublisher {
public:
    // 0 when the release is in place; otherwise 1 with the reason in error.
    static int make(const PublishRequest& request, std::string& report, std::string& error);
    // Writes a new secret key (0600, never over an existing file) and returns the public key.
    static std::optional<std::string> keygen(const std::string& secretKeyFile, std::string& error);
};

}  // namespace nimbrel
