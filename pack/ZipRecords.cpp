#include "pack/ZipRecords.h"

#include <zlib.h>

#include <algorithm>

#include "platform/TextCodec.h"

namespace nimbrel::zip {
namespace {

constexpr std::uint32_t kFull32 = 0xFFFFFFFF;

std::uint32_t nameCrc(const std::string& name) {
    return static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(name.data()), static_cast<uInt>(name.size())));
}

// Replaces the 32-bit fields the zip64 extra field stands in for, in the order the format
// lists them (only those saturated in the record are present).
bool applyZip64(const unsigned char* data, std::size_t size, CentralRecord& record, bool usizeFull, bool csizeFull,
                bool offsetFull) {
    std::size_t at = 0;
    auto take = [&](std::uint64_t& field) {
        if (at + 8 > size) return false;
        field = le64(data + at);
        at += 8;
        return true;
    };
    if (usizeFull && !take(record.uncompressedSize)) return false;
    if (csizeFull && !take(record.compressedSize)) return false;
    if (offsetFull && !take(record.localOffset)) return false;
    return true;
}

}  // namespace

bool parseCentralRecord(const std::vector<unsigned char>& directory, std::size_t& at, CentralRecord& record) {
    if (at > directory.size() || directory.size() - at < kCentralHeaderSize) return false;
    const unsigned char* p = directory.data() + at;
    if (le32(p) != kCentralSignature) return false;
    const std::size_t nameSize = le16(p + 28), extraSize = le16(p + 30), commentSize = le16(p + 32);
    const std::size_t total = kCentralHeaderSize + nameSize + extraSize + commentSize;
    if (directory.size() - at < total) return false;

    record = CentralRecord{};
    record.madeBy = le16(p + 4);
    record.versionNeeded = le16(p + 6);
    record.flag = le16(p + 8);
    record.method = le16(p + 10);
    record.dosDateTime = le32(p + 12);
    record.crc = le32(p + 16);
    record.compressedSize = le32(p + 20);
    record.uncompressedSize = le32(p + 24);
    record.externalAttributes = le32(p + 38);
    record.localOffset = le32(p + 42);
    record.storedName.assign(reinterpret_cast<const char*>(p + kCentralHeaderSize), nameSize);

    const bool usizeFull = record.uncompressedSize == kFull32;
    const bool csizeFull = record.compressedSize == kFull32;
    const bool offsetFull = record.localOffset == kFull32;
    const unsigned char* extra = p + kCentralHeaderSize + nameSize;
    for (std::size_t e = 0; e + 4 <= extraSize;) {
        const std::uint16_t id = le16(extra + e), size = le16(extra + e + 2);
        if (e + 4 + size > extraSize) break;
        const unsigned char* body = extra + e + 4;
        if (id == kExtraZip64 && !applyZip64(body, size, record, usizeFull, csizeFull, offsetFull)) return false;
        // Valid only while it still describes the stored name (its CRC), as Info-ZIP defines it.
        if (id == kExtraUnicodePath && size > 5 && body[0] == 1 && le32(body + 1) == nameCrc(record.storedName))
            record.utf8Name.emplace(reinterpret_cast<const char*>(body + 5), size - 5);
        e += 4 + size;
    }
    at += total;
    return true;
}

namespace {

constexpr std::size_t kUnicodePathHeader = 4 + 1 + 4;  // id, size, version, CRC-32 of the stored name

// Zip tools read a name without the UTF-8 flag in a code page of their own; this field hands
// them the name the game reads, while the stored name stays in the game's code page.
void putUnicodePath(std::vector<unsigned char>& out, const CentralRecord& r) {
    if (!r.utf8Name) return;
    put16(out, kExtraUnicodePath);
    put16(out, static_cast<std::uint16_t>(unicodePathFieldSize(r) - 4));
    out.push_back(1);
    put32(out, nameCrc(r.storedName));
    out.insert(out.end(), r.utf8Name->begin(), r.utf8Name->end());
}

// The fields a local header and a central record share, in the order both carry them.
void putSharedFields(std::vector<unsigned char>& out, const CentralRecord& r) {
    put16(out, r.versionNeeded);
    put16(out, r.flag);
    put16(out, r.method);
    put32(out, r.dosDateTime);
    put32(out, r.crc);
    put32(out, static_cast<std::uint32_t>(r.compressedSize));
    put32(out, static_cast<std::uint32_t>(r.uncompressedSize));
    put16(out, static_cast<std::uint16_t>(r.storedName.size()));
}

}  // namespace

std::size_t unicodePathFieldSize(const CentralRecord& r) {
    return r.utf8Name ? kUnicodePathHeader + r.utf8Name->size() : 0;
}

std::optional<std::string> unicodePathOf(const CentralRecord& r) {
    const std::string& stored = r.storedName;
    const bool ascii = std::all_of(stored.begin(), stored.end(), [](char c) { return (c & 0x80) == 0; });
    if (ascii || (r.flag & kFlagUtf8Name)) return std::nullopt;
    if (r.utf8Name) return r.utf8Name;
    std::string utf8 = TextCodec::cp949ToUtf8(stored);
    if (TextCodec::utf8ToCp949(utf8) != stored) return std::nullopt;
    return utf8;
}

void appendLocalHeader(std::vector<unsigned char>& out, const CentralRecord& r) {
    put32(out, kLocalSignature);
    putSharedFields(out, r);
    put16(out, static_cast<std::uint16_t>(unicodePathFieldSize(r)));
    out.insert(out.end(), r.storedName.begin(), r.storedName.end());
    putUnicodePath(out, r);
}

void appendCentralRecord(std::vector<unsigned char>& out, const CentralRecord& r) {
    put32(out, kCentralSignature);
    put16(out, r.madeBy);
    putSharedFields(out, r);
    put16(out, static_cast<std::uint16_t>(unicodePathFieldSize(r)));
    put16(out, 0);  // comment
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, r.externalAttributes);
    put32(out, static_cast<std::uint32_t>(r.localOffset));
    out.insert(out.end(), r.storedName.begin(), r.storedName.end());
    putUnicodePath(out, r);
}

void appendEndRecord(std::vector<unsigned char>& out, std::uint64_t entries, std::uint64_t directorySize,
                     std::uint64_t directoryOffset, const std::string& comment) {
    // Past the limits of the classic record the zip64 records carry the numbers; the classic
    // one then holds saturated fields, as every reader expects.
    const bool large = entries >= 0xFFFF || directorySize >= kFull32 || directoryOffset >= kFull32;
    if (large) {
        auto put64 = [&](std::uint64_t v) {
            put32(out, static_cast<std::uint32_t>(v));
            put32(out, static_cast<std::uint32_t>(v >> 32));
        };
        const std::uint64_t zip64End = directoryOffset + directorySize;
        put32(out, kZip64EndSignature);
        put64(kZip64EndSize - 12);
        put16(out, 45);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(entries);
        put64(entries);
        put64(directorySize);
        put64(directoryOffset);
        put32(out, kZip64LocatorSignature);
        put32(out, 0);
        put64(zip64End);
        put32(out, 1);
    }
    auto clamp16 = [&](std::uint64_t v) { return static_cast<std::uint16_t>(large && v >= 0xFFFF ? 0xFFFF : v); };
    auto clamp32 = [&](std::uint64_t v) { return static_cast<std::uint32_t>(large && v >= kFull32 ? kFull32 : v); };
    put32(out, kEndSignature);
    put16(out, 0);
    put16(out, 0);
    put16(out, clamp16(entries));
    put16(out, clamp16(entries));
    put32(out, clamp32(directorySize));
    put32(out, clamp32(directoryOffset));
    put16(out, static_cast<std::uint16_t>(comment.size()));
    out.insert(out.end(), comment.begin(), comment.end());
}

std::optional<DirectoryPlace> locateDirectory(const ReadAt& read, std::uint64_t fileSize) {
    if (fileSize < kEndRecordSize) return std::nullopt;
    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kTailSize));
    const std::uint64_t tailAt = fileSize - tailSize;
    std::vector<unsigned char> tail(tailSize);
    if (!read(tailAt, tail.data(), tailSize)) return std::nullopt;
    // The last end record signature wins, as in the readers the game was built with.
    std::size_t end = tailSize - kEndRecordSize;
    for (;; --end) {
        if (le32(&tail[end]) == kEndSignature) break;
        if (end == 0) return std::nullopt;
    }
    const unsigned char* e = &tail[end];
    const std::uint64_t endAt = tailAt + end;
    std::uint64_t entries = le16(e + 10), entriesHere = le16(e + 8);
    std::uint64_t size = le32(e + 12), offset = le32(e + 16);
    std::uint32_t disk = le16(e + 4), directoryDisk = le16(e + 6);
    DirectoryPlace place;
    const std::size_t commentSize = std::min<std::size_t>(le16(e + 20), tailSize - end - kEndRecordSize);
    place.comment.assign(reinterpret_cast<const char*>(e + kEndRecordSize), commentSize);

    std::uint64_t recordsEnd = endAt;
    unsigned char locator[kZip64LocatorSize];
    if (endAt >= kZip64LocatorSize && read(endAt - kZip64LocatorSize, locator, sizeof locator) &&
        le32(locator) == kZip64LocatorSignature) {
        const std::uint64_t zip64At = le64(locator + 8);
        unsigned char record[kZip64EndSize];
        if (zip64At > endAt || !read(zip64At, record, sizeof record) || le32(record) != kZip64EndSignature)
            return std::nullopt;
        disk = le32(record + 16);
        directoryDisk = le32(record + 20);
        entriesHere = le64(record + 24);
        entries = le64(record + 32);
        size = le64(record + 40);
        offset = le64(record + 48);
        recordsEnd = zip64At;
    }
    // One disk only, and the directory must lie in front of the records that point at it.
    if (disk != 0 || directoryDisk != 0 || entriesHere != entries) return std::nullopt;
    if (offset > recordsEnd || size > recordsEnd - offset) return std::nullopt;
    place.base = recordsEnd - offset - size;
    place.begin = place.base + offset;
    place.size = size;
    place.entries = entries;
    return place;
}

std::optional<std::uint64_t> localHeaderLength(const unsigned char* local, const CentralRecord& record) {
    if (le32(local) != kLocalSignature) return std::nullopt;
    const bool sizesLater = (le16(local + 6) & kFlagDataDescriptor) != 0;
    auto agrees = [&](std::uint32_t localValue, std::uint64_t central) {
        return sizesLater || localValue == 0xFFFFFFFF || localValue == central;
    };
    if (le16(local + 8) != record.method || le16(local + 26) != record.storedName.size() ||
        !agrees(le32(local + 14), record.crc) || !agrees(le32(local + 18), record.compressedSize) ||
        !agrees(le32(local + 22), record.uncompressedSize))
        return std::nullopt;
    return kLocalHeaderSize + le16(local + 26) + le16(local + 28);
}

std::string entryName(const CentralRecord& record) {
    if (record.flag & kFlagUtf8Name) return record.storedName;
    if (record.utf8Name) return *record.utf8Name;
    return TextCodec::cp949ToUtf8(record.storedName);
}

}  // namespace nimbrel::zip
