#include "pack/ArchiveCheck.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "pack/PackReader.h"
#include "pack/ZipRecords.h"

namespace nimbrel {
namespace {

constexpr std::uint16_t kMethodAes = 99;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The methods zip tools write that we do not read, by the names their users know.
std::string methodName(std::uint16_t method) {
    static constexpr std::pair<std::uint16_t, const char*> kNames[] = {
        {1, "Shrink"},     {6, "Implode"}, {9, "Deflate64"}, {12, "bzip2"},      {14, "LZMA"},
        {93, "Zstandard"}, {95, "xz"},     {98, "PPMd"},     {kMethodAes, "AES"}};
    for (const auto& [number, name] : kNames)
        if (number == method) return name;
    return "method " + std::to_string(method);
}

}  // namespace

ArchiveCheck::Inspection ArchiveCheck::inspect(const std::string& path) {
    Inspection result;
    if (isArchiveWithoutEntries(path)) {
        result.verdict = Verdict::Usable;
        return result;
    }
    PackReader reader(path);
    if (!reader.isOpen() || reader.entryCount() == 0) return result;
    // The pack formats' passwords open the entries of our own archives; the comment that names
    // the format is what makes an archive ours.
    const bool ours = reader.formatVersion() != 0 && reader.entryPassword() != nullptr;
    const int walk = reader.forEachEntry([&](PackReader& r) {
        const PackEntryInfo& info = r.currentInfo();
        if (info.compressionMethod != zip::kMethodStored && info.compressionMethod != zip::kMethodDeflated) {
            result.unsupported = methodName(info.compressionMethod);
            return PACK_UNSUPPORTED;
        }
        if ((info.flag & zip::kFlagStrongEncryption) || ((info.flag & zip::kFlagEncrypted) && !ours)) {
            result.unsupported = "encrypted";
            return PACK_UNSUPPORTED;
        }
        // The local header must agree with the directory, or the entry cannot be read later.
        std::uint64_t begin = 0, end = 0;
        if (int rc = r.entryExtent(begin, end); rc != PACK_OK) return rc;
        result.entries.push_back({entryPath(r.currentName()), info.uncompressedSize, info.isDirectory});
        return PACK_OK;
    });
    if (walk == PACK_OK)
        result.verdict = Verdict::Usable;
    else if (walk == PACK_UNSUPPORTED)
        result.verdict = Verdict::Unsupported;
    if (walk != PACK_OK) result.entries.clear();
    return result;
}

std::string ArchiveCheck::entryPath(std::string_view name) {
    std::string path(name);
    for (char& c : path)
        if (c == '\\') c = '/';
    while (path.starts_with("./")) path.erase(0, 2);
    return path;
}

bool ArchiveCheck::isArchiveWithoutEntries(const std::string& path) {
    // Many zip readers refuse to open an archive without entries, so it is recognised by its
    // bytes: the end record first, no entries, and nothing after its comment.
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    unsigned char record[zip::kEndRecordSize];
    if (std::fread(record, 1, sizeof record, file.get()) != sizeof record) return false;
    if (zip::le32(record) != zip::kEndSignature || zip::le16(record + 8) != 0 || zip::le16(record + 10) != 0)
        return false;
    std::fseek(file.get(), 0, SEEK_END);
    return std::ftell(file.get()) == static_cast<long>(zip::kEndRecordSize + zip::le16(record + 20));
}

}  // namespace nimbrel
