#include "engine/PatchListVerifier.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "engine/FileDownloader.h"
#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/PatchSignature.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

namespace {

constexpr const char* kCaption = "Nimbrel";
constexpr const char* kNotVerified = PatchListVerifier::kNotVerifiedText;
constexpr const char* kUnknownKey =
    "The patch server's list is signed with a key this launcher does not know. Please update the launcher.";
// Far above any real list or signature; a larger file is refused rather than read into memory.
constexpr std::streamoff kMaxTextSize = 16 << 20;

std::optional<std::string> readSmallFile(const std::string& path) {
    if (FileSystem::isDirectory(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxTextSize) return std::nullopt;
    in.seekg(0);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), size)) return std::nullopt;
    return bytes;
}

// As the list reader opens a manual list: a file that opens and is not empty.
bool isNonEmptyFile(const std::string& path) {
    if (FileSystem::isDirectory(path)) return false;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in && in.tellg() > 0;
}

}  // namespace

void PatchListVerifier::fetchSignature() {
    if (context_.patchPublicKey.empty()) return;
    (void)FileDownloader(context_).downloadFile(std::string(GameLayout::kPatchListFileName) + PatchSignature::kSuffix,
                                                false);
}

int PatchListVerifier::verifyList(int fromManualFile, bool online) {
    manifest_.reset();
    if (context_.patchPublicKey.empty()) return 0;
    // The same choice of file as the list reader makes, so the bytes verified are those parsed.
    // A manual list we cannot read whole is refused, never passed over for another one.
    std::string listPath = context_.layout.manualPatchPath();
    if (fromManualFile != 1 || !isNonEmptyFile(listPath)) listPath = context_.layout.patchListPath();
    std::optional<std::string> list = readSmallFile(listPath);
    std::optional<std::string> text = readSmallFile(listPath + PatchSignature::kSuffix);
    std::optional<PatchSignature> signature = text ? PatchSignature::parse(*text) : std::nullopt;
    if (!list || !signature) return refuse(kNotVerified);
    switch (signature->check(*list, context_.patchPublicKey)) {
        case PatchSignature::Check::Good:
            break;
        case PatchSignature::Check::UnknownKey:
            return refuse(kUnknownKey);
        case PatchSignature::Check::Bad:
            return refuse(kNotVerified);
    }
    const SignedRelease& release = signature->release();
    const std::string channel = PatchSignature::configuredChannel(context_.patchBaseUrl);
    if (release.channel != channel)
        return refuse("The patch server's list is for the channel \"" + release.channel + "\", not this launcher's \"" +
                      channel + "\". " + kNotVerified);
    if (release.serial < acceptedSerial(channel))
        return refuse("The patch server's list is older than one this game folder has already used. " +
                      std::string(kNotVerified));
    if (online && std::time(nullptr) >= release.expires)
        return refuse("The patch server's list is out of date (its signature has expired). Please try again later.");
    if (!recordSerial(channel, release.serial))
        return refuse(context_.layout.baseFolder() + PatchSignature::kSerialFileName + " cannot be written.");
    manifest_ = std::move(*signature);
    return 0;
}

int PatchListVerifier::refuse(const std::string& text) const {
    if (context_.dialog) context_.dialog->messageBox(text, kCaption);
    return PatchResult::kFileUnreadable;
}

std::uint64_t PatchListVerifier::acceptedSerial(const std::string& channel) const {
    std::ifstream in(context_.layout.baseFolder() + PatchSignature::kSerialFileName);
    std::string name;
    std::uint64_t serial = 0, highest = 0;
    while (in >> name >> serial)
        if (name == channel) highest = std::max(highest, serial);
    return highest;
}

bool PatchListVerifier::recordSerial(const std::string& channel, std::uint64_t serial) const {
    const std::string path = context_.layout.baseFolder() + PatchSignature::kSerialFileName;
    if (serial == acceptedSerial(channel) && FileSystem::fileExists(path)) return true;
    std::ifstream in(path);
    std::string text, name;
    std::uint64_t value = 0;
    while (in >> name >> value)
        if (name != channel) text += name + " " + std::to_string(value) + "\n";
    text += channel + " " + std::to_string(serial) + "\n";
    AtomicFile file;
    return file.open(path, 0644) && file.write(text.data(), text.size()) && file.commit(AtomicFile::Commit::Replace);
}

int PatchListVerifier::verifyFiles(const std::vector<PatchListEntry>& entries) {
    for (const PatchListEntry& entry : entries)
        if (verifyFile(entry) < 0) return PatchResult::kPatchFileMissing;
    return kFilesMatch;
}

int PatchListVerifier::verifyFile(const PatchListEntry& entry) {
    if (context_.patchPublicKey.empty()) return kFilesMatch;
    const ManifestFile* expected = manifest_ ? manifest_->find(entry.fileName) : nullptr;
    // Hashed through the descriptor the update step will read it through.
    const int fd = verified_.open(context_.layout.updateFolder() + entry.fileName);
    std::optional<ManifestFile> actual =
        fd >= 0 ? PatchSignature::describeOpenFile(fd, entry.fileName) : std::nullopt;
    if (expected && actual && *expected == *actual) return kFilesMatch;
    if (context_.dialog) context_.dialog->messageBox(entry.fileName + ": " + kNotVerified, kCaption);
    return PatchResult::kPatchFileMissing;
}

}  // namespace nimbrel
