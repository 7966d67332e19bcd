#pragma once
// The record a rebuild or a split copies entries through: one 10 MiB buffer, allocated once
// per call and reused for every entry. Entries are copied without deflating them again: the
// stored bytes as they are when the old entry is under the write password, otherwise the
// deflate stream decrypted and encrypted again. An entry that has to be decrypted anyway is
// inflated into the buffer and its CRC checked, so a damaged one fails the copy; an entry
// copied as stored keeps its bytes exactly.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nimbrel {

class PackReader;
class PackWriter;

class PackEntryCopy {
public:
    static constexpr std::uint32_t kBufferSize = 10485760;  // the largest entry a pack takes

    PackEntryCopy();
    ~PackEntryCopy();
    PackEntryCopy(const PackEntryCopy&) = delete;
    PackEntryCopy& operator=(const PackEntryCopy&) = delete;

    // Copies the reader's current entry (its info already read, its size within the buffer)
    // to the writer as entryName. 0, or the failing handle's non-zero code (-105 for an entry
    // whose content does not match its CRC).
    int copyCurrentEntry(PackReader& reader, PackWriter& writer, const std::string& entryName);

private:
    int verifyDeflated(const unsigned char* deflated, std::size_t deflatedSize, std::uint64_t size, std::uint32_t crc);

    std::uint32_t uncompressedSize_ = 0;
    std::string entryName_;
    std::unique_ptr<unsigned char[]> data_;
    std::vector<unsigned char> stream_;
    struct Decompressor;
    std::unique_ptr<Decompressor> decompressor_;
};

}  // namespace nimbrel
