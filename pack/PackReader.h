#pragma once
// One archive open for reading: packs, downloaded patch archives and map archives all go
// through here. minizip reads the container (raw); inflation and the traditional zip
// decryption are ours. Closed on every exit path by its destructor.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pack/PackEntryDate.h"
#include "pack/PackResult.h"

namespace nimbrel {

struct PackEntryInfo {
    std::uint16_t flag = 0;               // general-purpose flag: bit 0 encrypted, bit 11 UTF-8 name
    std::uint16_t compressionMethod = 0;  // 0 stored, 8 deflate
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;     // stored bytes, the 12-byte encryption header included
    std::uint64_t uncompressedSize = 0;
    PackEntryDate date;
};

class PackReader {
public:
    explicit PackReader(const std::string& path);  // open; test isOpen()
    ~PackReader();
    PackReader(const PackReader&) = delete;
    PackReader& operator=(const PackReader&) = delete;

    bool isOpen() const;
    void close();

    int goToFirstEntry();  // -103 for an archive without entries
    int goToNextEntry();   // -100 at the end
    int readEntryInfo();
    int readGlobalInfo();

    const std::string& currentName() const;  // UTF-8 (decoded from code page 949 unless flagged UTF-8)
    const PackEntryInfo& currentInfo() const;
    std::uint64_t entryCount() const;       // after readGlobalInfo
    const std::string& comment() const;     // first 64 bytes of the archive comment at most
    int formatVersion() const;              // parsed from the comment, 0 when it does not match

    // The password the current entry is decrypted with: that of the format version, or
    // nullptr when the version has none (then an encrypted entry fails to open).
    const char* entryPassword() const;

    // Reads the whole current entry into buffer (which holds uncompressedSize bytes).
    int readEntryToBuffer(unsigned char* buffer, PackEntryDate& date);
    // Writes the current entry to a disk file and sets the file's times from the entry.
    int extractEntryToFile(const std::string& path);

    // For copying entries without inflating and deflating them again:
    // the exact stored bytes of the current entry (encryption header included, if any) ...
    int readStoredEntry(std::vector<unsigned char>& stored);
    // ... or its raw deflate stream, decrypted when the entry is encrypted (method 8 only).
    int readCompressedEntry(std::vector<unsigned char>& deflated);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
