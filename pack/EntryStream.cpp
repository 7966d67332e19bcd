#include "pack/EntryStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pack/PackResult.h"
#include "pack/ZipRecords.h"

namespace nimbrel {

long long BufferSource::read(unsigned char* out, std::size_t capacity) {
    const std::size_t n = std::min(capacity, left_);
    std::copy(data_, data_ + n, out);
    data_ += n;
    left_ -= n;
    return static_cast<long long>(n);
}

long long ByteRangeSource::read(unsigned char* out, std::size_t capacity) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(left_, std::min<std::size_t>(capacity, 1u << 30)));
    std::size_t done = 0;
    while (done < want) {
        ssize_t n = ::pread(fd_, out + done, want - done, static_cast<off_t>(offset_ + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return PACK_ERRNO;
        // The file ends before the range does: a cut archive.
        if (n == 0) return PACK_BAD_ZIP_FILE;
        done += static_cast<std::size_t>(n);
    }
    offset_ += done;
    left_ -= done;
    return static_cast<long long>(done);
}

long long DecryptionSource::read(unsigned char* out, std::size_t capacity) {
    if (!headerRead_) {
        unsigned char header[ZipCrypto::kHeaderSize];
        std::size_t got = 0;
        while (got < sizeof header) {
            long long n = inner_.read(header + got, sizeof header - got);
            if (n < 0) return n;
            if (n == 0) return PACK_BAD_ZIP_FILE;
            got += static_cast<std::size_t>(n);
        }
        crypto_.readHeader(header);
        headerRead_ = true;
    }
    long long n = inner_.read(out, capacity);
    if (n > 0) crypto_.decrypt(out, static_cast<std::size_t>(n));
    return n;
}

long long InflationSource::read(unsigned char* out, std::size_t capacity) {
    if (!inflater_.ok()) return PACK_INTERNAL_ERROR;
    if (capacity == 0) return 0;
    while (!inflater_.finished()) {
        if (inflater_.needsInput()) {
            long long got = inner_.read(input_.data(), input_.size());
            if (got < 0) return got;
            if (got == 0) return PACK_BAD_ZIP_FILE;
            inflater_.feed(input_.data(), static_cast<std::size_t>(got));
        }
        long long n = inflater_.produce(out, capacity);
        if (n < 0) return PACK_BAD_ZIP_FILE;
        if (n > 0) return n;
    }
    return 0;
}

long long CrcCheckSource::read(unsigned char* out, std::size_t capacity) {
    long long n = inner_.read(out, capacity);
    if (n < 0) return n;
    if (n == 0) return produced_ == expectedSize_ && crc_ == expectedCrc_ ? 0 : PACK_CRC_ERROR;
    produced_ += static_cast<std::uint64_t>(n);
    // More content than recorded is as damaged as a wrong CRC, and is caught before it is written.
    if (produced_ > expectedSize_) return PACK_CRC_ERROR;
    crc_ = DeflateCodec::crc32(out, static_cast<std::size_t>(n), crc_);
    return n;
}

EntryChain::EntryChain(int fd, const Entry& entry, const char* password, Stage stage) {
    last_ = &range_.emplace(fd, entry.dataOffset, entry.storedSize);
    chainFrom(entry, password, stage);
}

EntryChain::EntryChain(EntrySource& stored, const Entry& entry, const char* password, Stage stage) {
    last_ = &stored;
    chainFrom(entry, password, stage);
}

void EntryChain::chainFrom(const Entry& entry, const char* password, Stage stage) {
    if (stage == Stage::Stored) return;
    if (entry.encrypted) last_ = &decryption_.emplace(*last_, password);
    if (stage == Stage::Compressed) return;
    if (entry.method == zip::kMethodDeflated) last_ = &inflation_.emplace(*last_);
    last_ = &check_.emplace(*last_, entry.crc, entry.size);
}

int EntryChain::readAll(EntrySource& source, std::vector<unsigned char>& out) {
    out.clear();
    constexpr std::size_t kStep = 1 << 16;
    for (;;) {
        const std::size_t at = out.size();
        out.resize(at + kStep);
        long long n = source.read(out.data() + at, kStep);
        if (n < 0) {
            out.clear();
            return static_cast<int>(n);
        }
        out.resize(at + static_cast<std::size_t>(n));
        if (n == 0) return PACK_OK;
    }
}

}  // namespace nimbrel
