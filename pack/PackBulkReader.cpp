#include "pack/PackBulkReader.h"

#include <libdeflate.h>

#include <memory>
#include <vector>

#include "pack/PackReader.h"
#include "pack/ZipCrypto.h"
#include "pack/ZipRecords.h"

namespace nimbrel {

namespace {

// Entries wait until this many are read or their stored bytes reach the limit.
constexpr std::size_t kBatchEntries = 256;
constexpr std::size_t kBatchBytes = 32u << 20;

struct Pending {
    std::string name;
    PackEntryInfo info;
    const char* password = nullptr;
    std::vector<unsigned char> stored;
    std::string failure;
};

using Decompressor = std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)>;

void finish(std::vector<Pending>& batch, libdeflate_decompressor* inflater, const PackBulkReader::Visit& visit) {
    std::vector<std::unique_ptr<ZipCrypto>> ciphers;
    std::vector<ZipCrypto::Stream> streams;
    for (Pending& entry : batch) {
        if (!entry.failure.empty() || !(entry.info.flag & zip::kFlagEncrypted)) continue;
        if (!entry.password || entry.stored.size() < ZipCrypto::kHeaderSize) {
            entry.failure = entry.password ? "its stored bytes are cut short" : "encrypted under no known password";
            continue;
        }
        ciphers.push_back(std::make_unique<ZipCrypto>(entry.password));
        ciphers.back()->readHeader(entry.stored.data());
        streams.push_back({ciphers.back().get(), entry.stored.data() + ZipCrypto::kHeaderSize,
                           entry.stored.size() - ZipCrypto::kHeaderSize});
    }
    ZipCrypto::decryptSideBySide(streams);
    std::vector<unsigned char> data;
    for (Pending& entry : batch) {
        const std::size_t skip = (entry.info.flag & zip::kFlagEncrypted) ? ZipCrypto::kHeaderSize : 0;
        const unsigned char* payload = entry.stored.data() + skip;
        const std::size_t payloadSize = entry.stored.size() - std::min(skip, entry.stored.size());
        // Deflate makes at most 1032 bytes of one: a record that claims more is damaged, and
        // is never given the memory it asks for.
        if (entry.failure.empty() && entry.info.uncompressedSize / 1032 > payloadSize)
            entry.failure = "its sizes do not agree";
        if (entry.failure.empty()) {
            data.resize(entry.info.uncompressedSize);
            if (entry.info.compressionMethod == zip::kMethodDeflated) {
                // Without a place for the length made, anything but exactly the expected bytes fails.
                if (!inflater || libdeflate_deflate_decompress(inflater, payload, payloadSize, data.data(), data.size(),
                                                               nullptr) != LIBDEFLATE_SUCCESS)
                    entry.failure = "its deflate stream is damaged";
            } else if (entry.info.compressionMethod == zip::kMethodStored && payloadSize == data.size()) {
                std::copy(payload, payload + payloadSize, data.begin());
            } else {
                entry.failure = "its compression method is not one packs use";
            }
            if (entry.failure.empty() && libdeflate_crc32(0, data.data(), data.size()) != entry.info.crc)
                entry.failure = "its CRC does not match";
        }
        if (entry.failure.empty())
            visit(entry.name, data, {});
        else
            visit(entry.name, {}, entry.failure);
    }
    batch.clear();
}

}  // namespace

int PackBulkReader::forEachEntry(PackReader& reader, const Visit& visit) {
    std::vector<Pending> batch;
    std::size_t batchBytes = 0;
    Decompressor inflater(libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    const int status = reader.forEachEntry([&](PackReader& pack) {
        if (pack.readEntryInfo() != PACK_OK) return PACK_BAD_ZIP_FILE;
        Pending& entry = batch.emplace_back();
        entry.name = pack.currentName();
        entry.info = pack.currentInfo();
        entry.password = pack.entryPassword();
        if (pack.readStoredEntry(entry.stored) != PACK_OK) entry.failure = "its stored bytes cannot be read";
        batchBytes += entry.stored.size();
        if (batch.size() >= kBatchEntries || batchBytes >= kBatchBytes) {
            finish(batch, inflater.get(), visit);
            batchBytes = 0;
        }
        return PACK_OK;
    });
    finish(batch, inflater.get(), visit);
    return status;
}

}  // namespace nimbrel
