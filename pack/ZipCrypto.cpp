#include "pack/ZipCrypto.h"

#include <sys/random.h>

#include <array>
#include <random>

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

inline std::uint32_t crcStep(std::uint32_t crc, unsigned char byte) { return kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

void fillRandom(unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::getrandom(out + done, size - done, 0);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == size) return;
    // The header bytes only need to be unpredictable enough not to repeat between entries.
    std::random_device device;
    for (; done < size; ++done) out[done] = static_cast<unsigned char>(device());
}

}  // namespace

ZipCrypto::ZipCrypto(const char* password) : keys_{0x12345678u, 0x23456789u, 0x34567890u} {
    for (const char* p = password; p && *p; ++p) updateKeys(static_cast<unsigned char>(*p));
}

unsigned char ZipCrypto::keyStreamByte() const {
    std::uint32_t temp = (keys_[2] & 0xFFFF) | 2;
    return static_cast<unsigned char>(((temp * (temp ^ 1)) >> 8) & 0xFF);
}

void ZipCrypto::updateKeys(unsigned char plain) {
    keys_[0] = crcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = crcStep(keys_[2], static_cast<unsigned char>(keys_[1] >> 24));
}

void ZipCrypto::encrypt(unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char plain = data[i];
        data[i] = plain ^ keyStreamByte();
        updateKeys(plain);
    }
}

void ZipCrypto::decrypt(unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char plain = data[i] ^ keyStreamByte();
        updateKeys(plain);
        data[i] = plain;
    }
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
