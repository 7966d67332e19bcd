#include "pack/PackEntryCopy.h"

#include <libdeflate.h>

#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/PackResult.h"
#include "pack/PackWriter.h"
#include "pack/ZipCrypto.h"
#include "pack/ZipRecords.h"

namespace nimbrel {

struct PackEntryCopy::Decompressor {
    libdeflate_decompressor* handle = libdeflate_alloc_decompressor();
    ~Decompressor() {
        if (handle) libdeflate_free_decompressor(handle);
    }
};

PackEntryCopy::PackEntryCopy()
    : data_(new unsigned char[kBufferSize]), decompressor_(std::make_unique<Decompressor>()) {}

PackEntryCopy::~PackEntryCopy() = default;

int PackEntryCopy::verifyDeflated(const unsigned char* deflated, std::size_t deflatedSize, std::uint64_t size,
                                  std::uint32_t crc) {
    if (!decompressor_->handle || size > kBufferSize) return PACK_INTERNAL_ERROR;
    std::size_t produced = 0;
    libdeflate_result r = libdeflate_deflate_decompress(decompressor_->handle, deflated, deflatedSize, data_.get(),
                                                        static_cast<std::size_t>(size), &produced);
    // A stream that inflates to more or less than the recorded size is as damaged as a
    // wrong CRC, and the reader would report it the same way.
    if (r != LIBDEFLATE_SUCCESS || produced != size) return PACK_CRC_ERROR;
    if (static_cast<std::uint32_t>(libdeflate_crc32(0, data_.get(), produced)) != crc) return PACK_CRC_ERROR;
    return PACK_OK;
}

int PackEntryCopy::copyCurrentEntry(PackReader& reader, PackWriter& writer, const std::string& entryName) {
    const PackEntryInfo& info = reader.currentInfo();
    if (info.uncompressedSize > kBufferSize) return PACK_PARAM_ERROR;
    uncompressedSize_ = static_cast<std::uint32_t>(info.uncompressedSize);
    entryName_ = entryName;

    if (info.compressionMethod != zip::kMethodDeflated) {
        PackEntryDate date;
        int r = reader.readEntryToBuffer(data_.get(), date);
        if (r != PACK_OK) return r;
        return writer.addBuffer(entryName_, data_.get(), uncompressedSize_, date);
    }

    if (PackPasswordTable::instance().isUnderWritePassword(info.flag & zip::kFlagEncrypted, info.compressionMethod,
                                                           reader.entryPassword())) {
        // Already encrypted the way the new pack wants it: the stored bytes go over unchanged.
        // Checking them would mean decrypting every kept byte, one byte after another, which
        // makes a small patch cost many times a copy of the pack; the copy is byte for byte,
        // so it can neither hide nor add damage (`qpak verify` and every reader still check).
        int r = reader.readStoredEntry(stream_);
        if (r != PACK_OK) return r;
        if (stream_.size() < ZipCrypto::kHeaderSize) return PACK_BAD_ZIP_FILE;
        return writer.addRawEncrypted(entryName_, stream_.data(), stream_.size(), info.crc, uncompressedSize_,
                                      info.date);
    }

    int r = reader.readCompressedEntry(stream_);
    if (r != PACK_OK) return r;
    r = verifyDeflated(stream_.data(), stream_.size(), uncompressedSize_, info.crc);
    if (r != PACK_OK) return r;
    return writer.addPrecompressed(entryName_, stream_.data(), stream_.size(), info.crc, uncompressedSize_, info.date);
}

}  // namespace nimbrel
