#include "pack/ZipEntrySpans.h"

#include <algorithm>
#include <cstring>

#include "pack/EntryStream.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackResult.h"

namespace nimbrel {

std::optional<zip::DirectoryPlace> ZipEntrySpans::locate(std::string_view tail, std::uint64_t fileSize) {
    if (tail.size() > fileSize) return std::nullopt;
    const std::uint64_t tailAt = fileSize - tail.size();
    return zip::locateDirectory(
        [&](std::uint64_t at, unsigned char* out, std::size_t size) {
            if (at < tailAt || at - tailAt > tail.size() || size > tail.size() - (at - tailAt)) return false;
            std::memcpy(out, tail.data() + (at - tailAt), size);
            return true;
        },
        fileSize);
}

std::optional<ZipEntrySpans> ZipEntrySpans::read(const zip::DirectoryPlace& place, std::string_view directory,
                                                 std::string& error) {
    ZipEntrySpans spans;
    // The comment may hold a NUL; the version is parsed from the text before it.
    spans.formatVersion_ = PackPasswordTable::parseVersion(std::string(place.comment).c_str());
    const std::vector<unsigned char> bytes(directory.begin(), directory.end());
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < place.entries; ++i) {
        Entry entry;
        if (!zip::parseCentralRecord(bytes, at, entry.record)) {
            error = "directory record " + std::to_string(i + 1) + " is damaged";
            return std::nullopt;
        }
        entry.name = zip::entryName(entry.record);
        entry.begin = place.base + entry.record.localOffset;
        spans.entries_.push_back(std::move(entry));
    }
    // Each span ends where the next entry (in file order) or the directory begins.
    std::vector<Entry*> byOffset;
    for (Entry& entry : spans.entries_) byOffset.push_back(&entry);
    std::sort(byOffset.begin(), byOffset.end(), [](const Entry* a, const Entry* b) { return a->begin < b->begin; });
    for (std::size_t i = 0; i < byOffset.size(); ++i) {
        Entry& entry = *byOffset[i];
        entry.end = i + 1 < byOffset.size() ? byOffset[i + 1]->begin : place.begin;
        if (entry.end <
                entry.begin + zip::kLocalHeaderSize + entry.record.storedName.size() + entry.record.compressedSize ||
            entry.end > place.begin) {
            error = "entry " + entry.name + " does not fit in front of the next one";
            return std::nullopt;
        }
    }
    return spans;
}

const ZipEntrySpans::Entry* ZipEntrySpans::find(const std::string& name) const {
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
        if (it->name == name) return &*it;
    return nullptr;
}

int ZipEntrySpans::decode(const Entry& entry, std::string_view span, std::vector<unsigned char>& content) const {
    const zip::CentralRecord& record = entry.record;
    if (span.size() < zip::kLocalHeaderSize) return PACK_BAD_ZIP_FILE;
    const auto* bytes = reinterpret_cast<const unsigned char*>(span.data());
    const std::optional<std::uint64_t> headerLength = zip::localHeaderLength(bytes, record);
    if (!headerLength || *headerLength > span.size() || record.compressedSize > span.size() - *headerLength)
        return PACK_BAD_ZIP_FILE;
    if ((record.method != zip::kMethodStored && record.method != zip::kMethodDeflated) ||
        (record.flag & zip::kFlagStrongEncryption) != 0)
        return PACK_UNSUPPORTED;
    EntryChain::Entry described;
    described.storedSize = record.compressedSize;
    described.method = record.method;
    described.encrypted = (record.flag & zip::kFlagEncrypted) != 0;
    described.crc = record.crc;
    described.size = record.uncompressedSize;
    const char* password = PackPasswordTable::instance().password(formatVersion_);
    if (described.encrypted && (!password || described.storedSize < ZipCrypto::kHeaderSize)) return PACK_BAD_ZIP_FILE;
    BufferSource stored(bytes + *headerLength, static_cast<std::size_t>(record.compressedSize));
    EntryChain chain(stored, described, password, EntryChain::Stage::Content);
    return EntryChain::readAll(chain.source(), content);
}

}  // namespace nimbrel
