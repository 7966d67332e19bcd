#include "pack/PackPasswordTable.h"

#include <zlib.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "pack/ZipRecords.h"

namespace nimbrel {
namespace {

// These constants must agree with every program that reads the packs (the game client
// first): changing any of them makes every existing pack unreadable.
constexpr const char kSeedPrefix[] = "Vyrn";
constexpr unsigned kCounterStart = 58273910;  // eight digits for all 1000 steps down
constexpr const char* kTemplates[4] = {
    "*&^%x!@#$~",    // 10
    "]%X[;:-=+.",    // 10, upper-case digits
    "?<>,%x/|{}_",   // 11
    "(~)^!%x`'@#&",  // 12
};

static_assert(sizeof(kSeedPrefix) - 1 == 4);
static_assert(kCounterStart - (PackPasswordTable::kVersionCount - 1) >= 10000000u && kCounterStart <= 99999999u);
static_assert(std::char_traits<char>::length(kTemplates[0]) == 10 &&
              std::char_traits<char>::length(kTemplates[1]) == 10 &&
              std::char_traits<char>::length(kTemplates[2]) == 11 &&
              std::char_traits<char>::length(kTemplates[3]) == 12);

constexpr const char kCommentFormat[] = "Quorlan Zip v%d";

}  // namespace

PackPasswordTable::PackPasswordTable() : slots_{} {
    std::snprintf(slots_[0], sizeof(slots_[0]), kCommentFormat, kFormatVersion);
    // The CRC runs over the whole seed buffer, its zero padding included: the derived
    // passwords depend on the buffer's size as much as on the seed text.
    unsigned char seed[260] = {};
    const uLong crcStart = crc32(0L, Z_NULL, 0);
    for (int i = 0; i < kVersionCount; ++i) {
        std::snprintf(reinterpret_cast<char*>(seed), sizeof(seed), "%s%08u", kSeedPrefix, kCounterStart - i);
        auto crc = static_cast<unsigned>(crc32(crcStart, seed, sizeof(seed)));
        // The templates are fixed texts with one conversion each.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::snprintf(slots_[i + 1], sizeof(slots_[i + 1]), kTemplates[i % 4], crc);
#pragma GCC diagnostic pop
    }
}

const PackPasswordTable& PackPasswordTable::instance() {
    static const PackPasswordTable table;
    return table;
}

const char* PackPasswordTable::comment() const { return slots_[0]; }

const char* PackPasswordTable::password(int version) const {
    if (version < 0 || version >= kVersionCount) return nullptr;
    return slots_[version + 1];
}

int PackPasswordTable::parseVersion(const char* text) {
    if (!text) return 0;
    // scanf semantics: a blank in the format matches any run of white space, none included;
    // %d skips leading white space and takes an optional sign.
    const char* p = text;
    for (const char* f = "Quorlan Zip v"; *f; ++f) {
        if (std::isspace(static_cast<unsigned char>(*f))) {
            while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        } else if (*p++ != *f) {
            return 0;
        }
    }
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        // An absurd version saturates instead of overflowing; it has no password either way.
        if (value < static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool PackPasswordTable::isUnderWritePassword(bool encrypted, std::uint16_t method, const char* entryPassword) const {
    return encrypted && method == zip::kMethodDeflated && entryPassword &&
           std::strcmp(entryPassword, writePassword()) == 0;
}

}  // namespace nimbrel
