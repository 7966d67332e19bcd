#pragma once
// The zip container's records as this program reads and writes them: local headers, central
// directory records, the end record and its zip64 counterparts. Only the pack store includes
// this; everyone else sees entries through PackReader and PackWriter.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbrel::zip {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;

constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndSize = 56;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagLevelMaximum = 0x0002;  // set for deflate levels 8 and 9
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraUnicodePath = 0x7075;  // Info-ZIP's UTF-8 copy of the name

constexpr std::uint8_t kMadeByUnix = 3;

inline std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t le32(const unsigned char* p) { return le16(p) | static_cast<std::uint32_t>(le16(p + 2)) << 16; }
inline std::uint64_t le64(const unsigned char* p) { return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32; }

inline void put16(std::vector<unsigned char>& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
inline void put32(std::vector<unsigned char>& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v));
    put16(out, static_cast<std::uint16_t>(v >> 16));
}

// One entry as the central directory describes it, zip64 fields already applied.
struct CentralRecord {
    std::uint16_t madeBy = 0;
    std::uint16_t versionNeeded = 20;
    std::uint16_t flag = 0;
    std::uint16_t method = 0;
    std::uint32_t dosDateTime = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localOffset = 0;
    std::uint32_t externalAttributes = 0;
    std::string storedName;               // the name's bytes as stored
    std::optional<std::string> utf8Name;  // Info-ZIP's Unicode path field: read when it matches, written when set

    // The Unix permission bits recorded by a Unix zip tool, if any.
    std::optional<std::uint32_t> unixMode() const {
        if ((madeBy >> 8) != kMadeByUnix || (externalAttributes >> 16) == 0) return std::nullopt;
        return (externalAttributes >> 16) & 07777;
    }
};

// Parses the record at `at` in the directory bytes; advances `at` past it. False when the
// record is cut or its signature is wrong.
bool parseCentralRecord(const std::vector<unsigned char>& directory, std::size_t& at, CentralRecord& record);

// Where an archive's central directory lies, as its end record (and the zip64 records in front
// of it) tell: offsets are in the file, the bytes in front of the archive already counted.
struct DirectoryPlace {
    std::uint64_t begin = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
    std::uint64_t base = 0;  // bytes in front of the archive: entry offsets count from here
    std::string comment;     // the archive comment, cut to what the tail holds
};
// Reads size bytes at offset of the archive; false when they cannot be had.
using ReadAt = std::function<bool(std::uint64_t offset, unsigned char* out, std::size_t size)>;
// The end record sits within its own size plus the longest comment of the file's end.
constexpr std::size_t kTailSize = kEndRecordSize + 0xFFFF;
// Finds the directory of a fileSize-byte archive from its last kTailSize bytes and, for a zip64
// archive, its zip64 records; the directory itself is not read. Nothing for an archive that is
// not one (no end record, more than one disk, a directory that does not fit in front of it).
std::optional<DirectoryPlace> locateDirectory(const ReadAt& read, std::uint64_t fileSize);
// The bytes from a local header's start to its entry's data, when the 30-byte header tells the
// same story as the directory record (as the game's reader demands: a header that disagrees is
// damage, not a second opinion); nothing when it does not.
std::optional<std::uint64_t> localHeaderLength(const unsigned char* local, const CentralRecord& record);
// The entry's name in UTF-8: as stored when flagged UTF-8, else its Unicode path field, else
// decoded from code page 949.
std::string entryName(const CentralRecord& record);

// The pack format's records: no comments, made-by 0, version needed 20, and no extra field
// but the Unicode path field of a record whose utf8Name is set.
void appendLocalHeader(std::vector<unsigned char>& out, const CentralRecord& record);
void appendCentralRecord(std::vector<unsigned char>& out, const CentralRecord& record);
// The bytes that field takes in either header (0 when the record has no utf8Name).
std::size_t unicodePathFieldSize(const CentralRecord& record);
// The UTF-8 name a record's Unicode path field must carry: that of every name stored in code
// page 949 that is not plain ASCII, none for ASCII names and flagged UTF-8 names (nor for bytes
// that do not decode to code page 949 and back unchanged).
std::optional<std::string> unicodePathOf(const CentralRecord& record);
void appendEndRecord(std::vector<unsigned char>& out, std::uint64_t entries, std::uint64_t directorySize,
                     std::uint64_t directoryOffset, const std::string& comment);

}  // namespace nimbrel::zip
