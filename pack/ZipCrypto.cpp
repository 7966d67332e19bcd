#include "pack/ZipCrypto.h"

#include <sys/random.h>

#include <array>
#include <atomic>
#include <chrono>

namespace nimbrel {
namespace {

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = makeCrcTable();

inline std::uint32_t crcStep(std::uint32_t crc, unsigned char byte) {
    return kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

void fillRandom(unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::getrandom(out + done, size - done, 0);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == size) return;
    // Without the system's source the bytes need only differ between entries: a clock- and
    // counter-seeded mix does that without anything that could throw.
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t state = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                          (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (; done < size; ++done) {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[done] = static_cast<unsigned char>(z ^ (z >> 31));
    }
}

}  // namespace

// The key state lives in locals while a buffer is processed: written bytes may alias the
// members as far as the compiler knows, and reloading them every byte costs a factor of
// three on the game's packs.
namespace {

struct Keys {
    std::uint32_t k0, k1, k2;

    unsigned char streamByte() const {
        std::uint32_t temp = (k2 & 0xFFFF) | 2;
        return static_cast<unsigned char>(((temp * (temp ^ 1)) >> 8) & 0xFF);
    }
    void update(unsigned char plain) {
        k0 = crcStep(k0, plain);
        k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
        k2 = crcStep(k2, static_cast<unsigned char>(k1 >> 24));
    }
};

}  // namespace

void ZipCrypto::encrypt(unsigned char* data, std::size_t size) {
    Keys keys{keys_[0], keys_[1], keys_[2]};
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char plain = data[i];
        data[i] = plain ^ keys.streamByte();
        keys.update(plain);
    }
    keys_[0] = keys.k0, keys_[1] = keys.k1, keys_[2] = keys.k2;
}

void ZipCrypto::decrypt(unsigned char* data, std::size_t size) {
    Keys keys{keys_[0], keys_[1], keys_[2]};
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char plain = data[i] ^ keys.streamByte();
        keys.update(plain);
        data[i] = plain;
    }
    keys_[0] = keys.k0, keys_[1] = keys.k1, keys_[2] = keys.k2;
}

ZipCrypto::ZipCrypto(const char* password) {
    Keys keys{0x12345678u, 0x23456789u, 0x34567890u};
    for (const char* p = password; p && *p; ++p) keys.update(static_cast<unsigned char>(*p));
    keys_[0] = keys.k0, keys_[1] = keys.k1, keys_[2] = keys.k2;
}

void ZipCrypto::makeHeader(unsigned char header[kHeaderSize], std::uint32_t checkValue, const unsigned char* random) {
    if (random) {
        for (std::size_t i = 0; i < kHeaderSize - 2; ++i) header[i] = random[i];
    } else {
        fillRandom(header, kHeaderSize - 2);
    }
    header[kHeaderSize - 2] = static_cast<unsigned char>((checkValue >> 16) & 0xFF);
    header[kHeaderSize - 1] = static_cast<unsigned char>((checkValue >> 24) & 0xFF);
    encrypt(header, kHeaderSize);
}

void ZipCrypto::readHeader(const unsigned char header[kHeaderSize]) {
    unsigned char copy[kHeaderSize];
    for (std::size_t i = 0; i < kHeaderSize; ++i) copy[i] = header[i];
    decrypt(copy, kHeaderSize);
}

}  // namespace nimbrel
