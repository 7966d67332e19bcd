#pragma once
// One archive open for reading: packs, downloaded patch archives and map archives all go
// through here. The archive is read by its central directory, as every zip tool reads it, so
// archives written to a pipe (data descriptors), zip64 archives and the packs of the game's
// own writer all read alike. An entry's data comes through an EntryChain. Closed on every
// exit path by its destructor. Opening a pack first rolls back an in-place update that was
// cut off (see PackJournal).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pack/EntryStream.h"
#include "pack/PackEntryDate.h"
#include "pack/PackResult.h"
#include "pack/ZipRecords.h"

namespace nimbrel {

struct PackEntryInfo {
    std::uint16_t flag = 0;               // general-purpose flag: bit 0 encrypted, bit 11 UTF-8 name
    std::uint16_t compressionMethod = 0;  // 0 stored, 8 deflate
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;  // stored bytes, the 12-byte encryption header included
    std::uint64_t uncompressedSize = 0;
    PackEntryDate date;
    bool isDirectory = false;               // the name ends in "/"
    std::optional<std::uint32_t> unixMode;  // permission bits a Unix zip tool recorded
};

// One entry as the central directory lists it.
struct PackDirectoryEntry {
    std::string name;  // as currentName()
    PackEntryInfo info;
};

class PackReader {
public:
    explicit PackReader(const std::string& path);  // open; test isOpen()
    ~PackReader();
    PackReader(const PackReader&) = delete;
    PackReader& operator=(const PackReader&) = delete;

    bool isOpen() const;
    void close();

    // Every entry of an archive in directory order (name, method, flags, CRC, sizes, date,
    // Unix mode), from its directory alone: no entry's data is read. Nothing when the archive
    // cannot be opened or a directory record is damaged.
    [[nodiscard]] static std::optional<std::vector<PackDirectoryEntry>> readDirectory(const std::string& path);

    // The one walk over an archive's entries: visit is called with the reader standing on each
    // entry in turn and stops the walk by returning non-zero. Gives 0 when every entry was
    // visited (none for an archive without entries), visit's code, or the code of the damaged
    // directory record; `visited` counts the entries visit saw.
    int forEachEntry(const std::function<int(PackReader&)>& visit, std::uint64_t* visited = nullptr);

    int goToFirstEntry();  // -103 for an archive without entries
    int goToNextEntry();   // -100 at the end
    int readEntryInfo();
    int readGlobalInfo();

    const std::string& currentName() const;  // UTF-8 (decoded from code page 949 unless flagged UTF-8)
    const PackEntryInfo& currentInfo() const;
    std::uint64_t entryCount() const;    // after readGlobalInfo
    const std::string& comment() const;  // first 64 bytes of the archive comment at most
    int formatVersion() const;           // parsed from the comment, 0 when it does not match

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

    // The current entry's data as a chain built up to `stage`; chain stays valid while the
    // reader is open. PACK_UNSUPPORTED for a method or cipher we do not read.
    int openEntry(EntryChain::Stage stage, std::unique_ptr<EntryChain>& chain);
    // Where the current entry lies in the file: from its local header to the end of its data.
    int entryExtent(std::uint64_t& begin, std::uint64_t& end);
    const zip::CentralRecord& currentRecord() const;

    int fd() const;
    std::uint64_t fileSize() const;
    // Where the central directory starts and ends (the end records and comment follow it).
    std::uint64_t directoryBegin() const;
    std::uint64_t directoryEnd() const;

    // Extraction that replaces a read-only file as well (the update step does; the pack's own
    // handle, like the game's, refuses one).
    int extractEntryToFile(const std::string& path, bool replaceReadOnly);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
