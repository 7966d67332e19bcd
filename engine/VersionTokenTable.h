#pragma once
// The 2000 opaque tokens that stand for the client versions 0..1999 in version.ini. The index
// of a token is its version; the table is fixed data shared by every build that reads or
// writes an installation.

#include <cstddef>
#include <string_view>

namespace nimbrel {

class VersionTokenTable {
public:
    static constexpr std::size_t kCount = 2000;
    static constexpr std::size_t kTokenLength = 13;
    static constexpr int kNoVersion = -1;  // a token that is in no table row

    // The first version whose token equals text exactly (byte-wise, case-sensitive), or kNoVersion.
    static int versionFromToken(std::string_view text);
    static int versionFromToken(const char* text);
    // The token of a version below 2000; null otherwise (negative numbers wrap to large ones).
    static const char* tokenForVersion(unsigned version);
};

}  // namespace nimbrel
