#pragma once
// Raw deflate (no zlib or gzip wrapper, as zip entries store it) and CRC-32. Compression
// works on whole buffers with libdeflate at the packs' level 8, about twice zlib's speed;
// inflation streams through zlib so an entry never has to be held whole. Safe to use from
// several threads at once: each thread has its own compressor.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nimbrel {

class DeflateCodec {
public:
    static constexpr int kPackLevel = 8;

    // Compresses the whole buffer into a raw deflate stream. False when no compressor can be made.
    [[nodiscard]] static bool deflate(const unsigned char* data, std::size_t size, std::vector<unsigned char>& out,
                                      int level = kPackLevel);

    // Inflates a complete raw deflate stream into exactly expectedSize bytes. False when the
    // stream is damaged, ends early or holds more than expectedSize bytes.
    [[nodiscard]] static bool inflate(const unsigned char* data, std::size_t size, unsigned char* out,
                                      std::size_t expectedSize);

    static std::uint32_t crc32(const unsigned char* data, std::size_t size, std::uint32_t crc = 0);

    // A raw inflate stream fed piece by piece.
    class Inflater {
    public:
        Inflater();
        ~Inflater();
        Inflater(const Inflater&) = delete;
        Inflater& operator=(const Inflater&) = delete;

        bool ok() const;
        // Hands the next compressed bytes to the stream; they must stay valid until needsInput().
        void feed(const unsigned char* data, std::size_t size);
        bool needsInput() const;
        bool finished() const;  // the stream's final block was decoded
        // Decodes into out; returns the bytes produced (0 when more input is needed or the
        // stream has finished), or a negative zlib code for a damaged stream.
        long long produce(unsigned char* out, std::size_t capacity);

    private:
        struct Impl;
        std::unique_ptr<Impl> impl_;
    };
};

}  // namespace nimbrel
