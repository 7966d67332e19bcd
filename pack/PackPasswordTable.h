#pragma once
// The process-wide table of pack passwords, derived at run time (never stored), and the
// format comment every written pack carries.

#include <cstdint>
#include <string>

namespace nimbrel {

class PackPasswordTable {
public:
    static constexpr int kFormatVersion = 3;  // version of every pack written
    static constexpr int kVersionCount = 1000;

    static const PackPasswordTable& instance();  // built on first use, thread-safe

    const char* comment() const;  // "Quorlan Zip v3"
    // Password of a format version 0..999; nullptr for any other version.
    const char* password(int version) const;
    const char* writePassword() const { return password(kFormatVersion); }
    // True for an entry whose stored bytes are already what a pack writes: deflated and
    // encrypted under writePassword(). Such bytes go over unchanged, never decrypted.
    bool isUnderWritePassword(bool encrypted, std::uint16_t method, const char* entryPassword) const;

    // scanf("Quorlan Zip v%d ") semantics: the number, or 0 when the text does not match.
    static int parseVersion(const char* text);

private:
    PackPasswordTable();
    char slots_[kVersionCount + 1][256];
};

}  // namespace nimbrel
