#include "engine/PatchSignature.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>

#include "engine/Sha256.h"

#ifndef NIMBREL_PATCH_PUBLIC_KEY
#define NIMBREL_PATCH_PUBLIC_KEY ""
#endif
#ifndef NIMBREL_PATCH_CHANNEL
#define NIMBREL_PATCH_CHANNEL ""
#endif

namespace nimbrel {

namespace {

constexpr std::string_view kHeader = "nimbrel-patch-signature 2";
constexpr std::string_view kSignaturePrefix = "signature ";

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::optional<std::string> fromBase64(std::string_view text, std::size_t expectedSize) {
    std::string bytes(expectedSize, '\0');
    std::size_t size = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(), text.size(),
                          nullptr, &size, &end, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    // Trailing text after the encoding, or a short key, is not a key of ours.
    if (end != text.data() + text.size() || size != expectedSize) return std::nullopt;
    return bytes;
}

std::string toBase64(std::string_view bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

bool isHexDigest(std::string_view text) {
    if (text.size() != crypto_hash_sha256_BYTES * 2) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// A name stands last on its line and may hold blanks, but a line break would end the line.
bool isManifestName(std::string_view name) {
    return !name.empty() && name.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
}

std::string manifestLine(std::string_view word, const ManifestFile& file) {
    return std::string(word) + " " + std::to_string(file.length) + " " + file.sha256 + " " + file.name + "\n";
}

// "WORD LENGTH SHA256 NAME"
std::optional<ManifestFile> parseManifestLine(std::string_view line, std::string_view word) {
    if (line.substr(0, word.size() + 1) != std::string(word) + " ") return std::nullopt;
    line.remove_prefix(word.size() + 1);
    std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank > 19) return std::nullopt;
    ManifestFile file;
    for (char c : line.substr(0, blank)) {
        if (c < '0' || c > '9') return std::nullopt;
        file.length = file.length * 10 + static_cast<unsigned>(c - '0');
    }
    line.remove_prefix(blank + 1);
    if (line.size() < 66 || line[64] != ' ' || !isHexDigest(line.substr(0, 64))) return std::nullopt;
    file.sha256 = std::string(line.substr(0, 64));
    file.name = std::string(line.substr(65));
    if (!isManifestName(file.name)) return std::nullopt;
    return file;
}

// A channel is one word: it stands on its line between a blank and the line end.
bool isChannelName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    return true;
}

// "WORD NUMBER", the number in decimal digits alone.
template <typename Number>
bool parseNumberLine(std::string_view line, std::string_view word, Number& value) {
    if (line.substr(0, word.size() + 1) != std::string(word) + " ") return false;
    line.remove_prefix(word.size() + 1);
    if (line.empty() || line.size() > 18) return false;
    value = 0;
    for (char c : line) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<Number>(c - '0');
    }
    return true;
}

std::vector<std::string> splitKeys(const std::string& keys) {
    std::vector<std::string> result;
    for (std::size_t start = 0; start <= keys.size();) {
        std::size_t end = std::min(keys.find(',', start), keys.size());
        std::string key = keys.substr(start, end - start);
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t") + 1);
        if (!key.empty()) result.push_back(key);
        start = end + 1;
    }
    return result;
}

}  // namespace

PatchSignature::KeyPair PatchSignature::generateKeyPair() {
    if (!sodiumReady()) return {};
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(publicKey, secretKey);
    KeyPair pair{toBase64({reinterpret_cast<char*>(publicKey), sizeof publicKey}),
                 toBase64({reinterpret_cast<char*>(secretKey), sizeof secretKey})};
    sodium_memzero(secretKey, sizeof secretKey);
    return pair;
}

std::string PatchSignature::publicKeyOf(const std::string& secretKey) {
    std::optional<std::string> key = sodiumReady() ? fromBase64(secretKey, crypto_sign_SECRETKEYBYTES) : std::nullopt;
    if (!key) return {};
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    crypto_sign_ed25519_sk_to_pk(publicKey, reinterpret_cast<const unsigned char*>(key->data()));
    sodium_memzero(key->data(), key->size());
    return toBase64({reinterpret_cast<char*>(publicKey), sizeof publicKey});
}

namespace {

constexpr std::string_view kSealedHeader = "nimbrel-sealed-key 1 ";

// The secretbox key a passphrase gives with this salt and these limits.
bool deriveBoxKey(const std::string& passphrase, const unsigned char* salt, unsigned long long opsLimit,
                  std::size_t memLimit, unsigned char (&boxKey)[crypto_secretbox_KEYBYTES]) {
    return crypto_pwhash(boxKey, sizeof boxKey, passphrase.data(), passphrase.size(), salt, opsLimit, memLimit,
                         crypto_pwhash_ALG_ARGON2ID13) == 0;
}

}  // namespace

std::string PatchSignature::sealSecretKey(const std::string& secretKey, const std::string& passphrase) {
    if (!sodiumReady() || publicKeyOf(secretKey).empty()) return {};
    unsigned char salt[crypto_pwhash_SALTBYTES];
    unsigned char nonce[crypto_secretbox_NONCEBYTES];
    randombytes_buf(salt, sizeof salt);
    randombytes_buf(nonce, sizeof nonce);
    const unsigned long long opsLimit = crypto_pwhash_OPSLIMIT_MODERATE;
    const std::size_t memLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    unsigned char boxKey[crypto_secretbox_KEYBYTES];
    if (!deriveBoxKey(passphrase, salt, opsLimit, memLimit, boxKey)) return {};
    std::string box(nonce, nonce + sizeof nonce);
    box.resize(sizeof nonce + crypto_secretbox_MACBYTES + secretKey.size());
    crypto_secretbox_easy(reinterpret_cast<unsigned char*>(box.data()) + sizeof nonce,
                          reinterpret_cast<const unsigned char*>(secretKey.data()), secretKey.size(), nonce, boxKey);
    sodium_memzero(boxKey, sizeof boxKey);
    return std::string(kSealedHeader) + toBase64({reinterpret_cast<char*>(salt), sizeof salt}) + " " +
           std::to_string(opsLimit) + " " + std::to_string(memLimit) + " " + toBase64(box);
}

bool PatchSignature::isSealedKey(std::string_view text) { return text.starts_with(kSealedHeader); }

std::optional<std::string> PatchSignature::openSealedKey(std::string_view text, const std::string& passphrase) {
    if (!sodiumReady() || !isSealedKey(text)) return std::nullopt;
    text.remove_prefix(kSealedHeader.size());
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    unsigned long long opsLimit = 0;
    std::size_t memLimit = 0;
    if (fields.size() != 4 || !parseNumberLine("o " + std::string(fields[1]), "o", opsLimit) ||
        !parseNumberLine("m " + std::string(fields[2]), "m", memLimit) || opsLimit > crypto_pwhash_OPSLIMIT_MAX ||
        memLimit > crypto_pwhash_MEMLIMIT_SENSITIVE)
        return std::nullopt;
    std::optional<std::string> salt = fromBase64(fields[0], crypto_pwhash_SALTBYTES);
    const std::size_t boxSize = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES +
                                sodium_base64_ENCODED_LEN(crypto_sign_SECRETKEYBYTES, sodium_base64_VARIANT_ORIGINAL) -
                                1;
    std::optional<std::string> box = fromBase64(fields[3], boxSize);
    unsigned char boxKey[crypto_secretbox_KEYBYTES];
    if (!salt || !box ||
        !deriveBoxKey(passphrase, reinterpret_cast<const unsigned char*>(salt->data()), opsLimit, memLimit, boxKey))
        return std::nullopt;
    std::string secretKey(boxSize - crypto_secretbox_NONCEBYTES - crypto_secretbox_MACBYTES, '\0');
    const auto* bytes = reinterpret_cast<const unsigned char*>(box->data());
    const bool opened = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(secretKey.data()),
                                                   bytes + crypto_secretbox_NONCEBYTES,
                                                   box->size() - crypto_secretbox_NONCEBYTES, bytes, boxKey) == 0;
    sodium_memzero(boxKey, sizeof boxKey);
    if (!opened || publicKeyOf(secretKey).empty()) return std::nullopt;
    return secretKey;
}

std::string PatchSignature::keyId(const std::string& publicKey) {
    std::optional<std::string> key = sodiumReady() ? fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES) : std::nullopt;
    if (!key) return {};
    return Sha256::hexOf(*key).substr(0, 16);  // the digest's first 8 bytes
}

std::string PatchSignature::configuredChannel(const std::string& patchBaseUrl) {
    const char* fromEnvironment = std::getenv("NIMBREL_PATCH_CHANNEL");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    if (*NIMBREL_PATCH_CHANNEL) return NIMBREL_PATCH_CHANNEL;
    std::string path = patchBaseUrl.substr(0, patchBaseUrl.find_first_of("?#"));
    while (!path.empty() && path.back() == '/') path.pop_back();
    const std::size_t scheme = path.find("://");
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || (scheme != std::string::npos && slash < path.find('/', scheme + 3))) return {};
    return path.substr(slash + 1);
}

std::string PatchSignature::configuredPublicKey() {
    // An empty value does not switch a built-in key off: verification is never lost by accident.
    const char* fromEnvironment = std::getenv("NIMBREL_PATCH_PUBLIC_KEY");
    if (fromEnvironment && *fromEnvironment) return fromEnvironment;
    return NIMBREL_PATCH_PUBLIC_KEY;
}

ManifestFile PatchSignature::describeBytes(std::string_view bytes, const std::string& name) {
    return ManifestFile{name, bytes.size(), Sha256::hexOf(bytes)};
}

std::optional<ManifestFile> PatchSignature::describeFile(const std::string& path, const std::string& name) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::optional<ManifestFile> described = describeOpenFile(fd, name);
    ::close(fd);
    return described;
}

std::optional<std::string> PatchSignature::sign(std::string_view listBytes, const std::string& listName,
                                                const std::vector<ManifestFile>& files, const SignedRelease& release,
                                                const std::vector<std::string>& secretKeys) {
    if (!sodiumReady() || !isManifestName(listName) || !isChannelName(release.channel) || secretKeys.empty() ||
        release.expires < 0)
        return std::nullopt;
    std::string signedText = "channel " + release.channel + "\nserial " + std::to_string(release.serial) +
                             "\nexpires " + std::to_string(release.expires) + "\n" +
                             manifestLine("list", describeBytes(listBytes, listName));
    for (const ManifestFile& file : files) {
        if (!isManifestName(file.name)) return std::nullopt;
        signedText += manifestLine("file", file);
    }
    const std::string message = std::string(listBytes) + signedText;
    std::string text = std::string(kHeader) + "\n";
    for (const std::string& secretKey : secretKeys) {
        std::optional<std::string> key = fromBase64(secretKey, crypto_sign_SECRETKEYBYTES);
        if (!key) return std::nullopt;
        unsigned char signature[crypto_sign_BYTES];
        crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                             reinterpret_cast<const unsigned char*>(key->data()));
        sodium_memzero(key->data(), key->size());
        text += std::string(kSignaturePrefix) + keyId(publicKeyOf(secretKey)) + " " +
                toBase64({reinterpret_cast<char*>(signature), sizeof signature}) + "\n";
    }
    return text + signedText;
}

std::optional<PatchSignature> PatchSignature::parse(std::string_view text) {
    if (!sodiumReady() || text.empty() || text.back() != '\n') return std::nullopt;
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.empty() || lines[0] != kHeader) return std::nullopt;
    PatchSignature result;
    std::size_t i = 1;
    std::size_t offset = lines[0].size() + 1;
    for (; i < lines.size() && lines[i].starts_with(kSignaturePrefix); offset += lines[i++].size() + 1) {
        std::string_view rest = lines[i].substr(kSignaturePrefix.size());
        const std::size_t blank = rest.find(' ');
        if (blank != 16 || !std::all_of(rest.begin(), rest.begin() + 16,
                                        [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
            return std::nullopt;
        std::optional<std::string> signature = fromBase64(rest.substr(blank + 1), crypto_sign_BYTES);
        if (!signature) return std::nullopt;
        result.signatures_.emplace_back(std::string(rest.substr(0, blank)), std::move(*signature));
    }
    // Channel, serial and expiry are what keep an old or another channel's list out: a file
    // without them is refused, never read as one that binds nothing.
    if (result.signatures_.empty() || lines.size() < i + 4 || !lines[i].starts_with("channel ") ||
        !isChannelName(lines[i].substr(8)) || !parseNumberLine(lines[i + 1], "serial", result.release_.serial) ||
        !parseNumberLine(lines[i + 2], "expires", result.release_.expires))
        return std::nullopt;
    result.release_.channel = std::string(lines[i].substr(8));
    std::optional<ManifestFile> list = parseManifestLine(lines[i + 3], "list");
    if (!list) return std::nullopt;
    result.list_ = std::move(*list);
    std::set<std::string> names;
    for (std::size_t n = i + 4; n < lines.size(); ++n) {
        std::optional<ManifestFile> file = parseManifestLine(lines[n], "file");
        // Two lines for one name would leave open which of them a file is checked against.
        if (!file || !names.insert(file->name).second) return std::nullopt;
        result.files_.push_back(std::move(*file));
    }
    result.signedText_ = std::string(text.substr(offset));
    return result;
}

PatchSignature::Check PatchSignature::check(std::string_view listBytes, const std::string& publicKeys) const {
    if (!sodiumReady()) return Check::Bad;
    bool knownKey = false;
    for (const std::string& publicKey : splitKeys(publicKeys)) {
        std::optional<std::string> key = fromBase64(publicKey, crypto_sign_PUBLICKEYBYTES);
        const std::string id = keyId(publicKey);
        for (const auto& [signer, signature] : signatures_) {
            if (!key || signer != id) continue;
            knownKey = true;
            ManifestFile actual = describeBytes(listBytes, list_.name);
            if (actual.length != list_.length || actual.sha256 != list_.sha256) return Check::Bad;
            std::string message = std::string(listBytes) + signedText_;
            if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.data()),
                                            reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                            reinterpret_cast<const unsigned char*>(key->data())) == 0)
                return Check::Good;
        }
    }
    return knownKey ? Check::Bad : Check::UnknownKey;
}

const ManifestFile* PatchSignature::find(const std::string& name) const {
    for (const ManifestFile& file : files_)
        if (file.name == name) return &file;
    return nullptr;
}

std::optional<ManifestFile> PatchSignature::describeOpenFile(int fd, const std::string& name) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    Digest digest;
    if (!digest.updateFromFile(fd)) return std::nullopt;
    return digest.finish(name);
}

struct PatchSignature::Digest::State {
    Sha256 sha;
};

PatchSignature::Digest::Digest() : state_(std::make_unique<State>()) {}

PatchSignature::Digest::~Digest() = default;

void PatchSignature::Digest::update(const char* data, std::size_t size) {
    state_->sha.update(data, size);
    length_ += size;
}

bool PatchSignature::Digest::updateFromFile(int fd, std::uint64_t upTo) {
    std::vector<char> chunk(1 << 20);
    std::uint64_t read = 0;
    while (read < upTo) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), upTo - read));
        const ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(read));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        update(chunk.data(), static_cast<std::size_t>(n));
        read += static_cast<std::uint64_t>(n);
    }
    return true;
}

ManifestFile PatchSignature::Digest::finish(const std::string& name) {
    return ManifestFile{name, length_, state_->sha.hexDigest()};
}

}  // namespace nimbrel
