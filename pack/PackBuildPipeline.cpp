#include "pack/PackBuildPipeline.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "pack/EntryStream.h"
#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/ZipCrypto.h"
#include "pack/ZipRecords.h"
#include "platform/FileDescriptor.h"

namespace nimbrel {
namespace {

// The pack format's deflate level.
constexpr int kDeflateLevel = 8;

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// Reads the whole file as it is now (the listing's size may be stale). False when it cannot
// be opened or read whole.
bool readWholeFile(const std::string& path, std::vector<unsigned char>& data) {
    FileDescriptor fd = FileDescriptor::openForReading(path);
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using Decompressor = std::unique_ptr<libdeflate_decompressor, DecompressorDeleter>;

// The worker's tools for archive entries, made on first use.
struct EntryTools {
    Decompressor decompressor;
    std::vector<unsigned char> plain;  // the decrypted stored bytes
    // The inflated entry: scratch that is written whole before it is read, so it is never
    // zero-filled first (that alone cost as much as a pass over every inflated byte).
    std::unique_ptr<unsigned char[]> content;
    std::size_t contentCapacity = 0;
};

// Whether a deflate stream inflates to exactly the entry's recorded size and CRC.
bool inflatesToEntry(const unsigned char* data, std::size_t dataSize, const PackBuildPipeline::ArchiveEntry& entry,
                     EntryTools& tools) {
    if (!tools.decompressor) tools.decompressor.reset(libdeflate_alloc_decompressor());
    if (!tools.decompressor) return false;
    const std::size_t size = static_cast<std::size_t>(entry.size);
    if (tools.contentCapacity < size || !tools.content) {
        tools.content.reset(new unsigned char[std::max<std::size_t>(size, 1)]);
        tools.contentCapacity = size;
    }
    std::size_t produced = 0;
    // A stream that inflates to more or less than the recorded size is as damaged as a
    // wrong CRC, and the reader would report it the same way.
    const bool intact = libdeflate_deflate_decompress(tools.decompressor.get(), data, dataSize, tools.content.get(),
                                                      size, &produced) == LIBDEFLATE_SUCCESS &&
                        produced == size &&
                        static_cast<std::uint32_t>(libdeflate_crc32(0, tools.content.get(), size)) == entry.crc;
    // Only small buffers stay with the worker for reuse: a large one would sit outside the budget.
    if (tools.contentCapacity > (1u << 20)) {
        tools.content.reset();
        tools.contentCapacity = 0;
    }
    return intact;
}

// The common case of a patch archive: a plain deflated entry. Its stream is read once into
// the place it takes in the pack, behind room for the encryption header, checked, and
// encrypted there, with no copy on the way.
int movePlainDeflated(const PackBuildPipeline::ArchiveEntry& entry, EntryTools& tools,
                      PackBuildPipeline::Result& result) {
    std::vector<unsigned char>& stored = result.deflated;
    const std::size_t dataSize = static_cast<std::size_t>(entry.storedSize);
    stored.resize(ZipCrypto::kHeaderSize + dataSize);
    unsigned char* data = stored.data() + ZipCrypto::kHeaderSize;
    ByteRangeSource range(entry.fd, entry.dataOffset, entry.storedSize);
    for (std::size_t done = 0; done < dataSize;) {
        long long n = range.read(data + done, dataSize - done);
        if (n < 0) return static_cast<int>(n);
        if (n == 0) return PACK_BAD_ZIP_FILE;
        done += static_cast<std::size_t>(n);
    }
    if (!inflatesToEntry(data, dataSize, entry, tools)) return PACK_CRC_ERROR;
    ZipCrypto crypto(PackPasswordTable::instance().writePassword());
    // The check value is the entry's CRC, as every zip tool verifies it.
    crypto.makeHeader(stored.data(), entry.crc);
    crypto.encrypt(data, dataSize);
    result.encrypted = true;
    return PACK_OK;
}

// Reads, decrypts and checks one archive entry and leaves it in result.deflated as the pack
// stores it. An entry that does not decode to its recorded size and CRC is never written: it
// came over the network.
int moveArchiveEntry(const PackBuildPipeline::ArchiveEntry& entry, libdeflate_compressor* compressor, EntryTools& tools,
                     PackBuildPipeline::Result& result) {
    if (entry.status != PACK_OK) return entry.status;
    const bool encrypted = entry.password != nullptr;
    const std::size_t header = encrypted ? ZipCrypto::kHeaderSize : 0;
    if (entry.storedSize < header || (entry.method != zip::kMethodStored && entry.method != zip::kMethodDeflated))
        return PACK_BAD_ZIP_FILE;
    if (!encrypted && entry.method == zip::kMethodDeflated) return movePlainDeflated(entry, tools, result);
    std::vector<unsigned char>& stored = result.deflated;
    stored.resize(static_cast<std::size_t>(entry.storedSize));
    ByteRangeSource range(entry.fd, entry.dataOffset, entry.storedSize);
    for (std::size_t done = 0; done < stored.size();) {
        long long n = range.read(stored.data() + done, stored.size() - done);
        if (n < 0) return static_cast<int>(n);
        if (n == 0) return PACK_BAD_ZIP_FILE;
        done += static_cast<std::size_t>(n);
    }
    tools.plain.assign(stored.begin(), stored.end());
    if (encrypted) ZipCrypto(entry.password).decrypt(tools.plain.data(), tools.plain.size());
    const unsigned char* data = tools.plain.data() + header;
    const std::size_t dataSize = tools.plain.size() - header;

    const std::size_t size = static_cast<std::size_t>(entry.size);
    const unsigned char* content = data;  // a stored entry's content is its data
    const bool intact =
        entry.method == zip::kMethodDeflated
            ? inflatesToEntry(data, dataSize, entry, tools)
            : dataSize == size && static_cast<std::uint32_t>(libdeflate_crc32(0, data, size)) == entry.crc;
    if (!intact) return PACK_CRC_ERROR;
    // Only small buffers stay with the worker for reuse: a large one would sit outside the budget.
    auto release = [](std::vector<unsigned char>& buffer) {
        if (buffer.capacity() > (1u << 20)) std::vector<unsigned char>().swap(buffer);
    };

    const char* writePassword = PackPasswordTable::instance().writePassword();
    // Already encrypted the way the pack wants it, with the check byte zip tools verify: the
    // stored bytes go in unchanged, which spares encrypting them again.
    if (PackPasswordTable::instance().isUnderWritePassword(encrypted, entry.method, entry.password) &&
        tools.plain[ZipCrypto::kHeaderSize - 1] == static_cast<unsigned char>(entry.crc >> 24)) {
        release(tools.plain);
        result.encrypted = true;
        return PACK_OK;
    }
    std::vector<unsigned char> out;
    if (entry.method == zip::kMethodDeflated) {
        out.resize(ZipCrypto::kHeaderSize + dataSize);
        std::copy(data, data + dataSize, out.begin() + ZipCrypto::kHeaderSize);
    } else {
        // A stored entry is the only one a pack compresses.
        if (!compressor) return PACK_INTERNAL_ERROR;
        out.resize(ZipCrypto::kHeaderSize + libdeflate_deflate_compress_bound(compressor, size));
        std::size_t n = libdeflate_deflate_compress(compressor, content, size, out.data() + ZipCrypto::kHeaderSize,
                                                    out.size() - ZipCrypto::kHeaderSize);
        if (n == 0) return PACK_INTERNAL_ERROR;
        out.resize(ZipCrypto::kHeaderSize + n);
    }
    release(tools.plain);
    ZipCrypto crypto(writePassword);
    // The check value is the entry's CRC, as every zip tool verifies it.
    crypto.makeHeader(out.data(), entry.crc);
    crypto.encrypt(out.data() + ZipCrypto::kHeaderSize, out.size() - ZipCrypto::kHeaderSize);
    stored = std::move(out);
    result.encrypted = true;
    return PACK_OK;
}

}  // namespace

PackBuildPipeline::PackBuildPipeline(std::vector<Job> jobs, unsigned workers, std::size_t budget)
    : jobs_(std::move(jobs)), results_(jobs_.size()), retained_(jobs_.size()), budget_(budget) {
    if (workers == 0) workers = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, std::max<std::size_t>(jobs_.size(), 1)));
    workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { workerLoop(); });
}

PackBuildPipeline::~PackBuildPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
}

std::size_t PackBuildPipeline::cost(std::size_t index) const {
    if (const auto& entry = jobs_[index].entry) {
        // The stored bytes, their decrypted copy, the output, and the inflated content.
        return static_cast<std::size_t>(3 * entry->storedSize + entry->size + entry->size / 64 + 1024);
    }
    // The input, and an output buffer for deflate's worst case, a little above the input.
    std::uint64_t size = jobs_[index].expectedSize;
    return static_cast<std::size_t>(2 * size + size / 64 + 1024);
}

void PackBuildPipeline::workerLoop() {
    Compressor compressor(libdeflate_alloc_compressor(kDeflateLevel));
    std::vector<unsigned char> input;
    EntryTools tools;
    for (;;) {
        std::size_t index;
        std::size_t reservation;
        {
            std::unique_lock lock(mutex_);
            // Reservations are granted in file order: whatever holds the budget is older than
            // the waiting file, and the writer consumes those first, so the wait always ends.
            changed_.wait(lock, [&] {
                if (stopping_ || nextToStart_ >= jobs_.size()) return true;
                return reserved_ == 0 || reserved_ + cost(nextToStart_) <= budget_;
            });
            if (stopping_ || nextToStart_ >= jobs_.size()) return;
            index = nextToStart_++;
            reservation = cost(index);
            reserved_ += reservation;
        }

        Result result;
        const Job& job = jobs_[index];
        if (job.entry) {
            result.status = moveArchiveEntry(*job.entry, compressor.get(), tools, result);
            result.crc = job.entry->crc;
            result.size = job.entry->size;
            result.date = job.entry->date;
            if (result.status != PACK_OK) std::vector<unsigned char>().swap(result.deflated);
        } else if (!compressor || !readWholeFile(job.diskPath, input)) {
            result.status = PACK_INTERNAL_ERROR;
        } else {
            result.size = input.size();
            result.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, input.data(), input.size()));
            PackFileTime::getFileTimeForEntry(job.diskPath, result.date);
            result.deflated.resize(libdeflate_deflate_compress_bound(compressor.get(), input.size()));
            std::size_t n = libdeflate_deflate_compress(compressor.get(), input.data(), input.size(),
                                                        result.deflated.data(), result.deflated.size());
            if (n == 0) result.status = PACK_INTERNAL_ERROR;
            result.deflated.resize(n);
            // Compressible files would otherwise keep their worst-case buffer while they wait.
            if (n < result.deflated.capacity() / 4 * 3) result.deflated.shrink_to_fit();
        }
        // Only small inputs stay with the worker for reuse: a large buffer would sit outside the budget.
        if (input.capacity() > (1u << 20)) std::vector<unsigned char>().swap(input);

        {
            std::lock_guard lock(mutex_);
            retained_[index] = std::min(reservation, result.deflated.capacity());
            reserved_ -= reservation - retained_[index];
            results_[index] = std::move(result);
        }
        changed_.notify_all();
    }
}

PackBuildPipeline::Result PackBuildPipeline::takeNext() {
    std::unique_lock lock(mutex_);
    std::size_t index = nextToTake_;
    if (index >= jobs_.size()) {
        Result none;
        none.status = -104;
        return none;
    }
    changed_.wait(lock, [&] { return results_[index].has_value(); });
    Result result = std::move(*results_[index]);
    results_[index].reset();
    ++nextToTake_;
    reserved_ -= retained_[index];
    lock.unlock();
    changed_.notify_all();
    return result;
}

}  // namespace nimbrel
