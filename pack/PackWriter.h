#pragma once
// One archive being written: a new one (overwriting any file of that name), or an existing
// pack that new entries are appended to (see PackArchive's in-place update). Deflate (level 8,
// libdeflate) and the traditional zip encryption under the write password are ours. Entries
// carry flag bit 1, and bit 0 when encrypted; the last byte of each encryption header is the
// high byte of the entry's CRC, the check every zip tool makes. Names are stored in code page
// 949 (flagged UTF-8 when they have no such form); one that is not plain ASCII also carries
// its UTF-8 form in Info-ZIP's Unicode path field. close() writes the central directory, the
// end record and the format comment, and puts the archive on the disk.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pack/PackEntryDate.h"
#include "pack/PackResult.h"
#include "pack/ZipRecords.h"
#include "platform/FileDescriptor.h"

namespace nimbrel {

class PackWriter {
public:
    enum class Encryption {
        WritePassword,  // every pack, and the patch archives the game reads
        None,           // a plain zip (still with the format comment)
    };

    explicit PackWriter(const std::string& path, Encryption encryption = Encryption::WritePassword);
    ~PackWriter();  // closes
    PackWriter(const PackWriter&) = delete;
    PackWriter& operator=(const PackWriter&) = delete;

    // Opens an existing archive to append entries behind its current end. The new directory
    // lists `kept` (in their order, offsets as they are in the file) and then the new entries.
    static std::unique_ptr<PackWriter> appendTo(const std::string& path, std::vector<zip::CentralRecord> kept);

    bool isOpen() const;
    // Finishes the archive. Returns 0 when the whole archive reached the disk.
    int close();
    // Writes the directory and end record like close(), without waiting for the disk: the
    // caller flushes the returned descriptor before anything may rely on the archive. Invalid
    // when the archive could not be finished.
    FileDescriptor closeUnflushed();
    // Stops without a directory: what was written stays as it is, for the caller to remove
    // or roll back.
    void abandon();
    // Where the next entry starts.
    std::uint64_t offset() const;
    // The errno of the first write, open or flush that failed; 0 when none did.
    int writeError() const;

    int addFile(const std::string& entryName, const std::string& diskPath);
    int addBuffer(const std::string& entryName, const unsigned char* data, std::size_t size, const PackEntryDate& date);
    // Records Unix permission bits on the entry added last, as Unix zip tools record them
    // (made-by Unix, the mode in the external attributes): a patch archive carries the mode each
    // file and folder is to have on the player's disk. Packs never call it.
    int setLastEntryMode(std::uint32_t mode, bool isDirectory);

    // An entry whose raw deflate stream was made elsewhere (a worker thread, another
    // archive); it is encrypted here under the write password.
    int addPrecompressed(const std::string& entryName, const unsigned char* deflated, std::size_t deflatedSize,
                         std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date);
    // An entry copied as stored: a 12-byte encryption header and the deflate stream, both
    // already encrypted under the write password.
    int addRawEncrypted(const std::string& entryName, const unsigned char* stored, std::size_t storedSize,
                        std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date);
    // A plain archive's entry whose raw deflate stream lies at `dataOffset` in another file,
    // copied in the kernel: never through our buffers.
    int addDeflatedRange(const std::string& entryName, int fromFd, std::uint64_t dataOffset, std::uint64_t deflatedSize,
                         std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date);
    // Entries copied whole (local headers and data) from the byte range [begin, end) of another
    // archive file, in one kernel copy. `records` describe them, with their offsets in that file;
    // their local headers already carry the Unicode path field where a name needs one.
    int addCopiedRun(int fromFd, std::uint64_t begin, std::uint64_t end, std::vector<zip::CentralRecord> records);

private:
    PackWriter();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
