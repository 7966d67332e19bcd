#pragma once
// An entry's data as a short chain of parts, each pulling from the one before it: the stored
// bytes of the archive file, traditional decryption, inflation, and the CRC and size check.
// Extraction, verification and copying all build the chain as far as they need it, so each
// part exists once. Every read returns the bytes produced, 0 at the end, or a negative pack
// handle code (damage shows as -103 or -105).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pack/DeflateCodec.h"
#include "pack/ZipCrypto.h"

namespace nimbrel {

class EntrySource {
public:
    virtual ~EntrySource() = default;
    virtual long long read(unsigned char* out, std::size_t capacity) = 0;
};

// A byte range of an open file, read with pread so that several ranges of one file can be
// read at once.
class ByteRangeSource : public EntrySource {
public:
    ByteRangeSource(int fd, std::uint64_t offset, std::uint64_t size) : fd_(fd), offset_(offset), left_(size) {}
    long long read(unsigned char* out, std::size_t capacity) override;

private:
    int fd_;
    std::uint64_t offset_;
    std::uint64_t left_;
};

// Bytes already in memory (an entry's span fetched from a remote archive).
class BufferSource : public EntrySource {
public:
    BufferSource(const unsigned char* data, std::size_t size) : data_(data), left_(size) {}
    long long read(unsigned char* out, std::size_t capacity) override;

private:
    const unsigned char* data_;
    std::size_t left_;
};

// Traditional zip decryption; the 12-byte header is taken from the front of the stream. Its
// check byte is not verified: packs of the game's own writer carry 0 there.
class DecryptionSource : public EntrySource {
public:
    DecryptionSource(EntrySource& inner, const char* password) : inner_(inner), crypto_(password) {}
    long long read(unsigned char* out, std::size_t capacity) override;

private:
    EntrySource& inner_;
    ZipCrypto crypto_;
    bool headerRead_ = false;
};

// Raw inflation; a stream the stored bytes end inside is damage.
class InflationSource : public EntrySource {
public:
    explicit InflationSource(EntrySource& inner) : inner_(inner), input_(1 << 16) {}
    long long read(unsigned char* out, std::size_t capacity) override;

private:
    EntrySource& inner_;
    DeflateCodec::Inflater inflater_;
    std::vector<unsigned char> input_;
};

// Passes the content through and fails at its end unless size and CRC-32 are those recorded.
class CrcCheckSource : public EntrySource {
public:
    CrcCheckSource(EntrySource& inner, std::uint32_t crc, std::uint64_t size)
        : inner_(inner), expectedCrc_(crc), expectedSize_(size) {}
    long long read(unsigned char* out, std::size_t capacity) override;

private:
    EntrySource& inner_;
    std::uint32_t expectedCrc_;
    std::uint64_t expectedSize_;
    std::uint32_t crc_ = 0;
    std::uint64_t produced_ = 0;
};

// The chain for one entry, built as far as the caller needs.
class EntryChain {
public:
    enum class Stage {
        Stored,      // the bytes as stored, encryption header included
        Compressed,  // decrypted, still deflated (stored entries: the content, unchecked)
        Content,     // decrypted, inflated and checked
    };
    struct Entry {
        std::uint64_t dataOffset = 0;
        std::uint64_t storedSize = 0;
        std::uint16_t method = 0;
        bool encrypted = false;
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
    };

    // password may be null only for an entry that is not encrypted.
    EntryChain(int fd, const Entry& entry, const char* password, Stage stage);
    // The same chain over stored bytes that come from elsewhere (entry.dataOffset unused);
    // stored must outlive the chain.
    EntryChain(EntrySource& stored, const Entry& entry, const char* password, Stage stage);
    EntrySource& source() { return *last_; }

    // Reads the whole remaining stream, growing `out` as bytes arrive (a damaged size field
    // cannot make it allocate more than the stream holds).
    static int readAll(EntrySource& source, std::vector<unsigned char>& out);

private:
    void chainFrom(const Entry& entry, const char* password, Stage stage);
    std::optional<ByteRangeSource> range_;
    std::optional<DecryptionSource> decryption_;
    std::optional<InflationSource> inflation_;
    std::optional<CrcCheckSource> check_;
    EntrySource* last_ = nullptr;
};

}  // namespace nimbrel
