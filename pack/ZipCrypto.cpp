#include "pack/ZipCrypto.h"

#include <libdeflate.h>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#include <sys/random.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <vector>

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

namespace {

// The second key's multiplier, its powers C^1..C^4, each byte times each power, and the sums
// 1 + C + ... + C^(m-1) that the "+ 1" of each step adds up to over m steps.
constexpr std::uint32_t kMultiplier = 134775813u;
constexpr std::uint32_t powerOfMultiplier(int n) { return n == 0 ? 1u : kMultiplier * powerOfMultiplier(n - 1); }
constexpr std::array<std::uint32_t, 4> kPowC = {powerOfMultiplier(1), powerOfMultiplier(2), powerOfMultiplier(3),
                                                powerOfMultiplier(4)};
constexpr std::array<std::uint32_t, 4> kStepSum = {1, 1 + kPowC[0], 1 + kPowC[0] + kPowC[1],
                                                   1 + kPowC[0] + kPowC[1] + kPowC[2]};
constexpr auto kTimesC = [] {
    std::array<std::array<std::uint32_t, 256>, 4> table{};
    for (std::size_t m = 0; m < 4; ++m)
        for (std::uint32_t a = 0; a < 256; ++a) table[m][a] = a * kPowC[m];
    return table;
}();

// The key state lives in locals while a buffer is processed: written bytes may alias the
// members as far as the compiler knows, and reloading them every byte costs a factor of
// three on the game's packs.
struct Keys {
    std::uint32_t k0, k1, k2;

    unsigned char streamByte() const {
        std::uint32_t temp = (k2 & 0xFFFF) | 2;
        return static_cast<unsigned char>(((temp * (temp ^ 1)) >> 8) & 0xFF);
    }
    void update(unsigned char plain) {
        k0 = crcStep(k0, plain);
        k1 = (k1 + (k0 & 0xFF)) * kMultiplier + 1;
        k2 = crcStep(k2, static_cast<unsigned char>(k1 >> 24));
    }
};

}  // namespace

// Encryption knows every plaintext byte ahead, and two of the three keys are CRC-32 registers:
// one over the plaintext, one over the second key's high bytes. A CRC register can be carried
// over a whole span at once, so a block is cut into spans whose starting registers are known
// up front and run side by side. The byte-by-byte loop is one long chain of table lookups and
// multiplications, each waiting for the last; side by side, the processor overlaps them, and
// with the second key's pass in vector code where the processor has it (AVX2), encryption runs
// twice as fast (a patch's entries are encrypted as they move into the packs: that was the
// largest part of a patch run's time). The output is byte for byte the same.
namespace {

constexpr std::size_t kSpans = 8;
constexpr std::size_t kSpanSize = 2048;
constexpr std::size_t kBlockSize = kSpans * kSpanSize;

// The CRC register at the start of each span of `bytes`, given the first: libdeflate carries
// a register over a whole span at once (it works on the inverted register).
void spanStarts(std::uint32_t first, const unsigned char* bytes, std::size_t span, std::uint32_t (&registers)[kSpans]) {
    registers[0] = first;
    for (std::size_t s = 1; s < kSpans; ++s)
        registers[s] = ~static_cast<std::uint32_t>(libdeflate_crc32(~registers[s - 1], bytes + (s - 1) * span, span));
}

// The second key is not a CRC, but four steps fold into one multiplication on the chain:
// k1 after step m of a group is k1 * C^m + e_m, where the e_m depend on the plaintext alone.
// They are sums of a low byte times a power of C, read from small tables, so the multiplier
// is left to the chain. Returns the key after the block; high1 gets its high byte after each
// byte.
std::uint32_t secondKeyScalar(std::uint32_t k1, const unsigned char* low0, unsigned char* high1, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 4) {
        const unsigned char a0 = low0[i], a1 = low0[i + 1], a2 = low0[i + 2], a3 = low0[i + 3];
        const std::uint32_t e1 = kTimesC[0][a0] + kStepSum[0];
        const std::uint32_t e2 = kTimesC[1][a0] + kTimesC[0][a1] + kStepSum[1];
        const std::uint32_t e3 = kTimesC[2][a0] + kTimesC[1][a1] + kTimesC[0][a2] + kStepSum[2];
        const std::uint32_t e4 = kTimesC[3][a0] + kTimesC[2][a1] + kTimesC[1][a2] + kTimesC[0][a3] + kStepSum[3];
        high1[i] = static_cast<unsigned char>((k1 * kPowC[0] + e1) >> 24);
        high1[i + 1] = static_cast<unsigned char>((k1 * kPowC[1] + e2) >> 24);
        high1[i + 2] = static_cast<unsigned char>((k1 * kPowC[2] + e3) >> 24);
        k1 = k1 * kPowC[3] + e4;
        high1[i + 3] = static_cast<unsigned char>(k1 >> 24);
    }
    return k1;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with eight bytes to a vector. C is odd, so it has an inverse modulo 2^32, and over a
// group of eight the key after byte j is C^(j+1) * (k1 + Q_j), where Q_j, the sum over the
// group's bytes i <= j of a_i * C^-i + C^-(i+1), is a running sum: one multiplication, three
// shifted additions, and the chain keeps a single multiplication per eight bytes.
constexpr std::uint32_t inverseOfMultiplier() {
    std::uint32_t x = kMultiplier;  // Newton's iteration doubles the correct low bits each time
    for (int i = 0; i < 5; ++i) x *= 2u - kMultiplier * x;
    return x;
}
constexpr std::uint32_t kInverse = inverseOfMultiplier();
static_assert(kInverse * kMultiplier == 1u);
constexpr std::uint32_t inversePower(int n) { return n == 0 ? 1u : kInverse * inversePower(n - 1); }
constexpr std::uint32_t inverseSum(int j) { return j < 0 ? 0u : inverseSum(j - 1) + inversePower(j + 1); }
template <typename Lane>
constexpr std::array<std::uint32_t, 8> eightLanes(Lane lane) {
    std::array<std::uint32_t, 8> lanes{};
    for (int j = 0; j < 8; ++j) lanes[j] = lane(j);
    return lanes;
}
alignas(32) constexpr auto kWeights = eightLanes(inversePower);  // C^-j
alignas(32) constexpr auto kSteps = eightLanes(inverseSum);      // C^-1 + ... + C^-(j+1)
alignas(32) constexpr auto kPowers = eightLanes([](int j) { return powerOfMultiplier(j + 1); });  // C^(j+1)

__attribute__((target("avx2"))) std::uint32_t secondKeyAvx2(std::uint32_t k1, const unsigned char* low0,
                                                            unsigned char* high1, std::size_t size) {
    const __m256i weight = _mm256_load_si256(reinterpret_cast<const __m256i*>(kWeights.data()));
    const __m256i steps = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSteps.data()));
    const __m256i power = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPowers.data()));
    const __m256i lowHalfTotal = _mm256_setr_epi32(0, 0, 0, 0, 3, 3, 3, 3);
    constexpr std::uint32_t kPow8 = powerOfMultiplier(8);
    for (std::size_t i = 0; i < size; i += 8) {
        const __m256i a = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(low0 + i)));
        __m256i q = _mm256_mullo_epi32(a, weight);
        q = _mm256_add_epi32(q, _mm256_slli_si256(q, 4));
        q = _mm256_add_epi32(q, _mm256_slli_si256(q, 8));
        q = _mm256_add_epi32(
            q, _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_permutevar8x32_epi32(q, lowHalfTotal), 0xF0));
        q = _mm256_add_epi32(q, steps);
        const __m256i key = _mm256_mullo_epi32(_mm256_add_epi32(q, _mm256_set1_epi32(static_cast<int>(k1))), power);
        const __m256i high = _mm256_srli_epi32(key, 24);
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(high), _mm256_extracti128_si256(high, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(high1 + i), _mm_packus_epi16(words, words));
        k1 = kPow8 * (k1 + static_cast<std::uint32_t>(_mm256_extract_epi32(q, 7)));
    }
    return k1;
}

std::uint32_t secondKeyPass(std::uint32_t k1, const unsigned char* low0, unsigned char* high1, std::size_t size) {
    // NIMBREL_NO_AVX2 takes the scalar path on any processor: a way out should the vector code
    // misbehave somewhere, and how the tests cover what processors without AVX2 run.
    static const bool avx2 = __builtin_cpu_supports("avx2") && !std::getenv("NIMBREL_NO_AVX2");
    return avx2 ? secondKeyAvx2(k1, low0, high1, size) : secondKeyScalar(k1, low0, high1, size);
}
#else
std::uint32_t secondKeyPass(std::uint32_t k1, const unsigned char* low0, unsigned char* high1, std::size_t size) {
    return secondKeyScalar(k1, low0, high1, size);
}
#endif

// Encrypts kSpans * span bytes (span at most kSpanSize).
void encryptBlock(Keys& keys, unsigned char* data, std::size_t span) {
    alignas(64) unsigned char low0[kBlockSize];   // the first key's low byte after each byte
    alignas(64) unsigned char high1[kBlockSize];  // the second key's high byte after each byte
    alignas(64) std::uint16_t low2[kBlockSize];   // the third key's low half before each byte

    std::uint32_t k0[kSpans];
    spanStarts(keys.k0, data, span, k0);
    for (std::size_t t = 0; t < span; ++t)
#pragma GCC unroll 8
        for (std::size_t s = 0; s < kSpans; ++s) {
            k0[s] = crcStep(k0[s], data[s * span + t]);
            low0[s * span + t] = static_cast<unsigned char>(k0[s]);
        }
    keys.k0 = k0[kSpans - 1];

    keys.k1 = secondKeyPass(keys.k1, low0, high1, kSpans * span);

    // The third key's chain only records its low half before each byte; the stream bytes are
    // made from those afterwards in one pass that the compiler turns into vector code. Only
    // bits 8..15 of the product count, so 16-bit arithmetic gives the same byte.
    std::uint32_t k2[kSpans];
    spanStarts(keys.k2, high1, span, k2);
    for (std::size_t t = 0; t < span; ++t)
#pragma GCC unroll 8
        for (std::size_t s = 0; s < kSpans; ++s) {
            const std::size_t i = s * span + t;
            low2[i] = static_cast<std::uint16_t>(k2[s]);
            k2[s] = crcStep(k2[s], high1[i]);
        }
    for (std::size_t i = 0; i < kSpans * span; ++i) {
        const unsigned temp = low2[i] | 2u;
        data[i] ^= static_cast<unsigned char>(static_cast<std::uint16_t>(temp * (temp ^ 1u)) >> 8);
    }
    keys.k2 = k2[kSpans - 1];
}

}  // namespace

void ZipCrypto::encrypt(unsigned char* data, std::size_t size) {
    Keys keys{keys_[0], keys_[1], keys_[2]};
    std::size_t i = 0;
    for (; size - i >= kBlockSize; i += kBlockSize) encryptBlock(keys, data + i, kSpanSize);
    // An entry's last part goes in one smaller block; fewer than eight bytes are left to the loop.
    constexpr std::size_t kShortestSpan = 32;
    if (const std::size_t span = (size - i) / kSpans; span >= kShortestSpan) {
        encryptBlock(keys, data + i, span);
        i += kSpans * span;
    }
    for (; i < size; ++i) {
        unsigned char plain = data[i];
        data[i] = plain ^ keys.streamByte();
        keys.update(plain);
    }
    keys_[0] = keys.k0, keys_[1] = keys.k1, keys_[2] = keys.k2;
}

namespace {

// One entry being decrypted side by side with others: how far it is, its keys meanwhile.
struct Lane {
    ZipCrypto::Stream* stream;
    std::size_t done;
    Keys keys;
};

// The next `count` bytes of each of N lanes, their keys held in locals.
template <std::size_t N>
void runLanes(Lane* lanes, std::size_t count) {
    std::array<Keys, N> keys;
    std::array<unsigned char*, N> data;
    for (std::size_t lane = 0; lane < N; ++lane) {
        keys[lane] = lanes[lane].keys;
        data[lane] = lanes[lane].stream->data + lanes[lane].done;
    }
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t lane = 0; lane < N; ++lane) {
            const unsigned char plain = data[lane][i] ^ keys[lane].streamByte();
            keys[lane].update(plain);
            data[lane][i] = plain;
        }
    for (std::size_t lane = 0; lane < N; ++lane) {
        lanes[lane].keys = keys[lane];
        lanes[lane].done += count;
    }
}

}  // namespace

void ZipCrypto::decryptSideBySide(std::span<Stream> streams) {
    // Longest first, and a lane that finishes takes the next entry at once: the lanes stay full
    // for as long as entries remain, whatever their lengths.
    std::vector<Stream*> queue;
    for (Stream& stream : streams) queue.push_back(&stream);
    std::sort(queue.begin(), queue.end(), [](const Stream* a, const Stream* b) { return a->size < b->size; });
    constexpr std::size_t kLanes = 4;
    std::array<Lane, kLanes> lanes{};
    std::size_t active = 0;
    for (;;) {
        while (active < kLanes && !queue.empty()) {
            Stream* next = queue.back();
            queue.pop_back();
            lanes[active++] =
                Lane{next, 0, Keys{next->cipher->keys_[0], next->cipher->keys_[1], next->cipher->keys_[2]}};
        }
        if (active == 0) return;
        std::size_t count = lanes[0].stream->size - lanes[0].done;
        for (std::size_t lane = 1; lane < active; ++lane)
            count = std::min(count, lanes[lane].stream->size - lanes[lane].done);
        switch (active) {
            case 4:
                runLanes<4>(lanes.data(), count);
                break;
            case 3:
                runLanes<3>(lanes.data(), count);
                break;
            case 2:
                runLanes<2>(lanes.data(), count);
                break;
            default:
                runLanes<1>(lanes.data(), count);
                break;
        }
        for (std::size_t lane = 0; lane < active;) {
            if (lanes[lane].done < lanes[lane].stream->size) {
                ++lane;
                continue;
            }
            std::uint32_t* keys = lanes[lane].stream->cipher->keys_;
            keys[0] = lanes[lane].keys.k0, keys[1] = lanes[lane].keys.k1, keys[2] = lanes[lane].keys.k2;
            lanes[lane] = lanes[--active];
        }
    }
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
