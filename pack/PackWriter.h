#pragma once
// One archive being created. minizip writes the container in raw mode; deflate (level 8,
// libdeflate) and the traditional zip encryption under the write password are ours. Every
// entry is written encrypted with flag bits 0 and 1 set; close() writes the central
// directory and the format comment.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "pack/PackEntryDate.h"
#include "pack/PackResult.h"

namespace nimbrel {

class PackWriter {
public:
    explicit PackWriter(const std::string& path);  // create (overwrites); test isOpen()
    ~PackWriter();                                 // closes
    PackWriter(const PackWriter&) = delete;
    PackWriter& operator=(const PackWriter&) = delete;

    bool isOpen() const;
    // Finishes the archive. Returns 0 when the whole archive reached the file.
    int close();

    int addFile(const std::string& entryName, const std::string& diskPath);
    int addBuffer(const std::string& entryName, const unsigned char* data, std::size_t size,
                  const PackEntryDate& date);

    // An entry whose raw deflate stream was made elsewhere (a worker thread, another
    // archive); it is encrypted here under the write password.
    int addPrecompressed(const std::string& entryName, const unsigned char* deflated, std::size_t deflatedSize,
                         std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date);
    // An entry copied as stored: a 12-byte encryption header and the deflate stream, both
    // already encrypted under the write password.
    int addRawEncrypted(const std::string& entryName, const unsigned char* stored, std::size_t storedSize,
                        std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace nimbrel
