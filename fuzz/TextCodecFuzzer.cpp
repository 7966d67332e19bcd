// Game text decoding and encoding: whatever the bytes, the result is UTF-8, the decoder never
// loses the ASCII between bad bytes, and what converts whole converts back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzScratch.h"
#include "platform/TextCodec.h"

using nimbrel::TextCodec;
using nimbrel::fuzz::FuzzScratch;

namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

std::string asciiOf(const std::string& text) {
    std::string ascii;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x80) ascii += c;
    return ascii;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    const std::string decoded = TextCodec::cp949ToUtf8(input);
    if (!TextCodec::isValidUtf8(decoded)) FuzzScratch::fail("decoding gave something other than UTF-8");
    const std::string game = TextCodec::gameTextToUtf8(input);
    if (!TextCodec::isValidUtf8(game)) FuzzScratch::fail("game text gave something other than UTF-8");
    if (TextCodec::isValidUtf8(input) && game != input) FuzzScratch::fail("UTF-8 game text changed");

    // Digits and punctuation are never the second byte of a character: they always survive.
    std::string kept;
    for (char c : asciiOf(input))
        if ((c >= '0' && c <= '9') || c == '.' || c == '\\' || c == '/' || c == ' ') kept += c;
    std::string keptOut;
    for (char c : asciiOf(decoded))
        if ((c >= '0' && c <= '9') || c == '.' || c == '\\' || c == '/' || c == ' ') keptOut += c;
    if (kept != keptOut) FuzzScratch::fail("decoding lost or invented a byte that follows a bad one");

    if (decoded.find(kReplacement) == std::string::npos && TextCodec::utf8ToCp949(decoded) != input)
        FuzzScratch::fail("text that decoded whole does not encode back to the same bytes");
    if (auto encoded = TextCodec::utf8ToCp949(input)) {
        if (TextCodec::cp949ToUtf8(*encoded) != input) FuzzScratch::fail("encoded text does not decode back");
        if (!TextCodec::equalsIgnoreCase(input, input)) FuzzScratch::fail("a name differs from itself");
    }
    if (TextCodec::equalsIgnoreCase(input, decoded) != TextCodec::equalsIgnoreCase(decoded, input))
        FuzzScratch::fail("case-insensitive comparison is not symmetric");
    return 0;
}
