#pragma once
// Every entry of one archive read in a single pass, for a caller that wants all of their bytes
// (checking a whole installation): the entries' stored bytes are read in directory order and
// decrypted several at a time, side by side (see ZipCrypto::decryptSideBySide), then
// inflated. A damaged entry is reported and the pass goes on.

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace nimbrel {

class PackReader;

class PackBulkReader {
public:
    // visit gets each entry's name and its bytes, or an empty span and why they cannot be read
    // (a damaged entry: its CRC or its deflate stream). Gives PACK_OK when every entry of the
    // directory was visited, else the code of the damaged directory record.
    using Visit =
        std::function<void(const std::string& name, std::span<const unsigned char> data, const std::string& failure)>;
    static int forEachEntry(PackReader& reader, const Visit& visit);
};

}  // namespace nimbrel
