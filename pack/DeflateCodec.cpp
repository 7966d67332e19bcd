#include "pack/DeflateCodec.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>

namespace nimbrel {
namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using CompressorPtr = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

libdeflate_compressor* compressorFor(int level) {
    // libdeflate compressors hold per-call state: one per thread and level keeps the worker
    // pool lock-free. There are at most a few levels in use, so a tiny table suffices.
    thread_local CompressorPtr compressors[13];
    if (level < 0 || level > 12) return nullptr;
    if (!compressors[level]) compressors[level].reset(libdeflate_alloc_compressor(level));
    return compressors[level].get();
}

}  // namespace

bool DeflateCodec::deflate(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out, int level) {
    libdeflate_compressor* compressor = compressorFor(level);
    if (!compressor) return false;
    out.resize(libdeflate_deflate_compress_bound(compressor, size));
    std::size_t written = libdeflate_deflate_compress(compressor, data, size, out.data(), out.size());
    if (written == 0) {
        out.clear();
        return false;
    }
    out.resize(written);
    return true;
}

bool DeflateCodec::inflate(const unsigned char* data, std::size_t size, unsigned char* out, std::size_t expectedSize) {
    Inflater inflater;
    if (!inflater.ok()) return false;
    inflater.feed(data, size);
    std::size_t done = 0;
    while (!inflater.finished()) {
        // One spare byte of room reveals a stream that holds more than expected.
        unsigned char spare = 0;
        unsigned char* target = done < expectedSize ? out + done : &spare;
        std::size_t room = done < expectedSize ? expectedSize - done : 1;
        long long n = inflater.produce(target, room);
        if (n < 0) return false;
        if (n == 0 && inflater.needsInput() && !inflater.finished()) return false;  // truncated stream
        done += static_cast<std::size_t>(n);
        if (done > expectedSize) return false;
    }
    return done == expectedSize;
}

std::uint32_t DeflateCodec::crc32(const unsigned char* data, std::size_t size, std::uint32_t crc) {
    uLong value = crc;
    while (size > 0) {
        uInt chunk = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
        value = ::crc32(value, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<std::uint32_t>(value);
}

struct DeflateCodec::Inflater::Impl {
    z_stream stream{};
    bool initialised = false;
    bool finished = false;
    std::size_t pending = 0;  // input beyond what fits in avail_in (uInt)
};

DeflateCodec::Inflater::Inflater() : impl_(std::make_unique<Impl>()) {
    impl_->initialised = inflateInit2(&impl_->stream, -MAX_WBITS) == Z_OK;
}

DeflateCodec::Inflater::~Inflater() {
    if (impl_->initialised) inflateEnd(&impl_->stream);
}

bool DeflateCodec::Inflater::ok() const { return impl_->initialised; }

void DeflateCodec::Inflater::feed(const unsigned char* data, std::size_t size) {
    impl_->stream.next_in = const_cast<Bytef*>(data);
    uInt now = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    impl_->stream.avail_in = now;
    impl_->pending = size - now;
}

bool DeflateCodec::Inflater::needsInput() const { return impl_->stream.avail_in == 0 && impl_->pending == 0; }

bool DeflateCodec::Inflater::finished() const { return impl_->finished; }

long long DeflateCodec::Inflater::produce(unsigned char* out, std::size_t capacity) {
    if (!impl_->initialised) return Z_STREAM_ERROR;
    if (impl_->finished) return 0;
    z_stream& s = impl_->stream;
    if (s.avail_in == 0 && impl_->pending > 0) {
        uInt now = static_cast<uInt>(std::min<std::size_t>(impl_->pending, UINT_MAX));
        s.avail_in = now;
        impl_->pending -= now;
    }
    s.next_out = out;
    s.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, UINT_MAX));
    uInt before = s.avail_out;
    int rc = ::inflate(&s, Z_NO_FLUSH);
    long long produced = static_cast<long long>(before - s.avail_out);
    if (rc == Z_STREAM_END) {
        impl_->finished = true;
        return produced;
    }
    if (rc == Z_BUF_ERROR) return produced;  // no progress possible: needs input or room
    if (rc != Z_OK) return rc == Z_NEED_DICT ? Z_DATA_ERROR : rc;
    return produced;
}

}  // namespace nimbrel
