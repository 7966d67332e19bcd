#pragma once
// The signature file published beside a patch list ("version.ini.sig"): an Ed25519 signature by
// the release team over the exact bytes of the list followed by a manifest that names the length
// and SHA-256 of every archive and deletion list the list names. Making it (nimbrel-publish),
// reading it and checking files against it (the launcher) all live here, on top of libsodium;
// no other file of ours touches a key or a digest.
//
// Text form, lines ending in LF:
//   nimbrel-patch-signature 1
//   signature <base64 of the 64-byte Ed25519 signature>
//   list <length> <sha256 hex> <list name>
//   file <length> <sha256 hex> <name>          one per archive or deletion list
// The signed message is the list's bytes followed by every line after the signature line, so the
// manifest cannot be changed without the key either.
//
// SHA-256 comes from OpenSSL's libcrypto, which uses the processor's SHA instructions where it
// has them (six times libsodium's speed): `nimbrel-cli verify` hashes a whole installation.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

struct ManifestFile {
    std::string name;  // UTF-8, as the patch list names it
    std::uint64_t length = 0;
    std::string sha256;  // 64 lower-case hex digits
    bool operator==(const ManifestFile&) const = default;
};

class PatchSignature {
public:
    static constexpr const char* kSuffix = ".sig";

    struct KeyPair {
        std::string publicKey;  // base64 of 32 bytes
        std::string secretKey;  // base64 of 64 bytes
    };
    static KeyPair generateKeyPair();
    // The public key of a secret key (base64 both); empty when it is not a secret key of ours.
    static std::string publicKeyOf(const std::string& secretKey);

    // The key lists must be signed with: $NIMBREL_PATCH_PUBLIC_KEY when not empty, else the build's.
    // Empty: lists are taken unsigned.
    static std::string configuredPublicKey();

    // Length and SHA-256 of a file on disk under the given name; nothing when it cannot be read.
    static std::optional<ManifestFile> describeFile(const std::string& path, const std::string& name);
    static ManifestFile describeBytes(std::string_view bytes, const std::string& name);

    // The text of a signature file; nothing when the secret key is not one of ours or a name
    // cannot stand on a manifest line.
    static std::optional<std::string> sign(std::string_view listBytes, const std::string& listName,
                                           const std::vector<ManifestFile>& files, const std::string& secretKey);

    // Nothing when the text is not a well-formed signature file.
    static std::optional<PatchSignature> parse(std::string_view text);

    // True when the signature is by publicKey over exactly these list bytes and this manifest.
    [[nodiscard]] bool verify(std::string_view listBytes, const std::string& publicKey) const;
    // The manifest line for a name (exact match), or nullptr.
    const ManifestFile* find(const std::string& name) const;
    const std::vector<ManifestFile>& files() const { return files_; }

private:
    std::string signature_;   // 64 raw bytes
    std::string signedText_;  // the lines after the signature line, as they stand in the file
    ManifestFile list_;
    std::vector<ManifestFile> files_;
};

}  // namespace nimbrel
