#include "engine/Sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define NIMBREL_SHA_INSTRUCTIONS 1
#endif

namespace nimbrel {

namespace {

constexpr std::uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#if NIMBREL_SHA_INSTRUCTIONS
alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool detectShaInstructions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
}

// The state is kept as the instructions want it: ABEF and CDGH in two registers. Each group
// of four rounds adds its message words to the round constants, and from the fifth group on
// the words are made from the four groups before.
__attribute__((target("sha,sse4.1,ssse3"))) void compressWithInstructions(std::uint32_t state[8],
                                                                         const unsigned char* data,
                                                                         std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    dcba = _mm_shuffle_epi32(dcba, 0xB1);                 // CDAB
    hgfe = _mm_shuffle_epi32(hgfe, 0x1B);                 // EFGH
    __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);        // ABEF
    __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);     // CDGH

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i words[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i& current = words[group & 3];
            if (group < 4) {
                current = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                                           byteSwap);
            } else {
                // W[t] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]), four at a time.
                const __m128i& back1 = words[(group - 1) & 3];
                const __m128i& back2 = words[(group - 2) & 3];
                __m128i next = _mm_sha256msg1_epu32(current, words[(group - 3) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(back1, back2, 4));
                current = _mm_sha256msg2_epu32(next, back1);
            }
            __m128i message =
                _mm_add_epi32(current, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);         // FEBA
    cdgh = _mm_shuffle_epi32(cdgh, 0xB1);                 // DCHG
    dcba = _mm_blend_epi16(feba, cdgh, 0xF0);             // DCBA
    hgfe = _mm_alignr_epi8(cdgh, feba, 8);                // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), hgfe);
}
#endif

std::string toHex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        hex[2 * i] = kDigits[bytes[i] >> 4];
        hex[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    return hex;
}

}  // namespace

bool Sha256::hardware() {
#if NIMBREL_SHA_INSTRUCTIONS
    static const bool available = detectShaInstructions();
    return available;
#else
    return false;
#endif
}

Sha256::Sha256() : hardware_(hardware()) {
    std::memcpy(state_, kInitial, sizeof state_);
    if (!hardware_) {
        // libsodium's SHA-256 needs no sodium_init(); it only selects faster code for other functions.
        crypto_hash_sha256_init(&sodium_);
    }
}

void Sha256::compress(const unsigned char* blocks, std::size_t count) {
#if NIMBREL_SHA_INSTRUCTIONS
    compressWithInstructions(state_, blocks, count);
#else
    (void)blocks;
    (void)count;
#endif
}

void Sha256::update(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (!hardware_) {
        crypto_hash_sha256_update(&sodium_, bytes, size);
        return;
    }
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t take = std::min(size, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < sizeof buffer_) return;
        compress(buffer_, 1);
        buffered_ = 0;
    }
    if (size >= 64) {
        compress(bytes, size / 64);
        bytes += size / 64 * 64;
        size %= 64;
    }
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
}

Sha256::Digest Sha256::digest() {
    Digest out{};
    if (!hardware_) {
        crypto_hash_sha256_final(&sodium_, out.data());
        return out;
    }
    // Padding: a one bit, zeros up to 56 bytes of the last block, the length in bits big-endian.
    const std::uint64_t bits = length_ * 8;
    unsigned char tail[128] = {0x80};
    const std::size_t padding = (buffered_ < 56 ? 56 : 120) - buffered_;
    for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    update(tail, padding + 8);
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<unsigned char>(state_[i] >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(state_[i] >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(state_[i] >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(state_[i]);
    }
    return out;
}

std::string Sha256::hexDigest() {
    const Digest bytes = digest();
    return toHex(bytes.data(), bytes.size());
}

std::string Sha256::hexOf(std::string_view bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.hexDigest();
}

}  // namespace nimbrel
