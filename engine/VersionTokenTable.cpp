#include "engine/VersionTokenTable.h"

namespace nimbrel {

namespace {

constexpr const char* kTokens[] = {
#include "engine/VersionTokenData.inc"
};
static_assert(sizeof(kTokens) / sizeof(kTokens[0]) == VersionTokenTable::kCount);

}  // namespace

int VersionTokenTable::versionFromToken(std::string_view text) {
    for (std::size_t i = 0; i < kCount; ++i)
        if (text == kTokens[i]) return static_cast<int>(i);
    return kNoVersion;
}

int VersionTokenTable::versionFromToken(const char* text) {
    return text ? versionFromToken(std::string_view(text)) : kNoVersion;
}

const char* VersionTokenTable::tokenForVersion(unsigned version) {
    return version < kCount ? kTokens[version] : nullptr;
}

}  // namespace nimbrel
