#pragma once
// Publishes releases into the folder served at the patch base URL: `base` a whole build as a
// server's first version, `make` the patch from one release build to the next (one archive per
// folder key with new or changed files and folders, one deletion list). Each version gets its
// block in the patch list, its release manifest ("manifest_N.txt") and, with a key, the list's
// signature covering both. A release is checked (validate), written in a staging folder
// (stage), signed (sign) and only then moved into the server folder (place), so a refused or
// failed release leaves the server folder as it was.

#include <optional>
#include <string>

namespace nimbrel {

struct PublishRequest {
    std::string oldBuild;  // empty for a base
    std::string newBuild;
    std::string serverFolder;
    std::optional<int> version;  // default: the list's CUR_VERSION + 1
    std::string secretKeyFile;   // empty: unsigned
    std::string rotateKeyFile;   // a second key that signs too, the one launchers move to
    std::string channel;         // default: the server's signed channel, else its folder's name
    int expiresDays = 30;
    std::string passphrase;  // opens sealed secret keys
};

class PatchPublisher {
public:
    // 0 when the release is in place; otherwise 1 with the reason in error.
    static int make(const PublishRequest& request, std::string& report, std::string& error);
    // The same for a server's first version: every file of newBuild (oldBuild is not read).
    static int base(const PublishRequest& request, std::string& report, std::string& error);
    // Signs the server's current list again, with a higher serial and a fresh expiry; nothing
    // else changes. The current signature must be by the key (or the rotate key).
    static int resign(const PublishRequest& request, std::string& report, std::string& error);
    // 0 when the server's list is signed by one of publicKeys (comma-separated), has not
    // expired, and every file its signature names matches it; otherwise 1 with the reason.
    static int verify(const std::string& serverFolder, const std::string& publicKeys, std::string& report,
                      std::string& error);
    // Writes a new secret key (0600, never over an existing file; sealed with the passphrase
    // when there is one) and returns the public key.
    static std::optional<std::string> keygen(const std::string& secretKeyFile, const std::string& passphrase,
                                             std::string& error);
};

}  // namespace nimbrel
