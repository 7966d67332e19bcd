#pragma once
// The signature file published beside a patch list ("version.ini.sig"): an Ed25519 signature by
// the release team over the exact bytes of the list followed by a manifest that names the length
// and SHA-256 of every archive and deletion list the list names. Making it (nimbrel-publish),
// reading it and checking files against it (the launcher) all live here, on top of libsodium;
// no other file of ours touches a key or a digest.
//
// Text form, lines ending in LF:
//   nimbrel-patch-signature 2
//   signature <key id> <base64 of the 64-byte Ed25519 signature>   one per signing key
//   channel <name>                             the patch folder the list is for, e.g. plus_real
//   serial <number>                            grows with every signature of the channel
//   expires <Unix time>                        a launcher online refuses the list from then on
//   list <length> <sha256 hex> <list name>
//   file <length> <sha256 hex> <name>          one per archive, deletion list or release manifest
// The signed message is the list's bytes followed by every line after the signature lines, so
// neither the manifest nor the channel, serial and expiry can be changed without the key. The
// key id (16 hex digits of the public key's SHA-256) says which key made a signature, so a list
// can carry the old and the new key's signature while a key is being replaced.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nimbrel {

struct ManifestFile {
    std::string name;  // UTF-8, as the patch list names it
    std::uint64_t length = 0;
    std::string sha256;  // 64 lower-case hex digits
    bool operator==(const ManifestFile&) const = default;
};

// What a signature binds beside the files: where the list belongs and how fresh it is.
struct SignedRelease {
    std::string channel;
    std::uint64_t serial = 0;
    std::int64_t expires = 0;  // Unix time
};

class PatchSignature {
public:
    static constexpr const char* kSuffix = ".sig";
    // Beside the client's version file: the highest serial accepted per channel, one
    // "CHANNEL SERIAL" line each, so an older signed list cannot be replayed to this folder.
    static constexpr const char* kSerialFileName = "version.serial";

    // How a signature stands against the launcher's set of keys.
    enum class Check { Good, Bad, UnknownKey };

    struct KeyPair {
        std::string publicKey;  // base64 of 32 bytes
        std::string secretKey;  // base64 of 64 bytes
    };
    static KeyPair generateKeyPair();
    // The public key of a secret key (base64 both); empty when it is not a secret key of ours.
    static std::string publicKeyOf(const std::string& secretKey);
    // A secret key sealed with a passphrase, as one line of text: "nimbrel-sealed-key 1", the
    // Argon2id salt and limits (crypto_pwhash) and the key in a secretbox, base64. Empty when
    // the key is not one of ours or libsodium cannot derive a key.
    static std::string sealSecretKey(const std::string& secretKey, const std::string& passphrase);
    static bool isSealedKey(std::string_view text);
    // The secret key inside a sealed one; nothing when the passphrase does not open it.
    static std::optional<std::string> openSealedKey(std::string_view text, const std::string& passphrase);

    // "a1b2c3d4e5f60718": names a public key on a signature line; empty for no key.
    static std::string keyId(const std::string& publicKey);

    // The keys lists must be signed with, comma-separated: $NIMBREL_PATCH_PUBLIC_KEY when not
    // empty, else the build's. Empty: lists are taken unsigned.
    static std::string configuredPublicKey();
    // The channel the launcher takes lists of: $NIMBREL_PATCH_CHANNEL when not empty, else the
    // build's, else the last folder of the patch address ("plus_real" for .../plus_real/).
    static std::string configuredChannel(const std::string& patchBaseUrl);

    // Length and SHA-256 of a file on disk under the given name; nothing when it cannot be read.
    static std::optional<ManifestFile> describeFile(const std::string& path, const std::string& name);
    // The same for a file already open (read from its start; its offset is left alone).
    static std::optional<ManifestFile> describeOpenFile(int fd, const std::string& name);

    // Length and SHA-256 taken piece by piece, as a file arrives.
    class Digest {
    public:
        Digest();
        ~Digest();
        Digest(const Digest&) = delete;
        Digest& operator=(const Digest&) = delete;
        void update(const char* data, std::size_t size);
        // Adds an open file's bytes from its start up to its end or upTo; false on a read error.
        [[nodiscard]] bool updateFromFile(int fd, std::uint64_t upTo = UINT64_MAX);
        std::uint64_t length() const { return length_; }
        // What was taken, under the given name; call once, at the end.
        ManifestFile finish(const std::string& name);

    private:
        struct State;
        std::unique_ptr<State> state_;
        std::uint64_t length_ = 0;
    };
    static ManifestFile describeBytes(std::string_view bytes, const std::string& name);

    // The text of a signature file signed by every secret key; nothing when a secret key is not
    // one of ours, or a name or the channel cannot stand on its line.
    static std::optional<std::string> sign(std::string_view listBytes, const std::string& listName,
                                           const std::vector<ManifestFile>& files, const SignedRelease& release,
                                           const std::vector<std::string>& secretKeys);

    // Nothing when the text is not a well-formed signature file of this version.
    static std::optional<PatchSignature> parse(std::string_view text);

    // Good when a signature by one of publicKeys (comma-separated) covers exactly these list
    // bytes and this manifest; UnknownKey when none of the signatures is by one of them.
    [[nodiscard]] Check check(std::string_view listBytes, const std::string& publicKeys) const;
    [[nodiscard]] bool verify(std::string_view listBytes, const std::string& publicKeys) const {
        return check(listBytes, publicKeys) == Check::Good;
    }
    const SignedRelease& release() const { return release_; }
    // The manifest line for a name (exact match), or nullptr.
    const ManifestFile* find(const std::string& name) const;
    const std::vector<ManifestFile>& files() const { return files_; }

private:
    std::vector<std::pair<std::string, std::string>> signatures_;  // key id, 64 raw bytes
    std::string signedText_;  // the lines after the signature lines, as they stand in the file
    SignedRelease release_;
    ManifestFile list_;
    std::vector<ManifestFile> files_;
};

}  // namespace nimbrel
