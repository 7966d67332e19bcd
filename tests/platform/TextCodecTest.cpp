// Game text from code page 949: known characters decode to their published code points,
// and no byte sequence, however malformed, makes the decoder read outside its input, emit
// anything but UTF-8, or swallow what follows a bad byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

TEST(TextCodec, GameTextDecodesToTheExpectedCharacters) {
    struct Case {
        const char* what;
        std::string game;
        std::string utf8;
    };
    const Case cases[] = {
        {"ASCII stays", "item\\sword.dat", "item\\sword.dat"},
        {"UTF-8 stays", "\xEA\xB0\x80.txt", "\xEA\xB0\x80.txt"},
        {"a KS X 1001 syllable", "\xB0\xA1", "\xEA\xB0\x80"},  // U+AC00
        {"an extended syllable", "\x81\x41", "\xEA\xB0\x82"},  // U+AC02
        {"a lead byte at the end", "a\xB0", "a" + kReplacement},
        {"a pair with no character, at the end", "a\xA2\xE8", "a" + kReplacement + kReplacement},
        {"a pair with no character, then ASCII", "\xA2\xE8\x41\x42", kReplacement + kReplacement + "AB"},
        {"a byte no character starts", "\x80x", kReplacement + "x"},
    };
    for (const Case& c : cases) EXPECT_EQ(TextCodec::gameTextToUtf8(c.game), c.utf8) << c.what;
}

// Every one- and two-byte sequence that starts outside ASCII, and three-byte ones built
// from the troublesome lead bytes, alone (ending the input) and followed by digits, which
// are never the second byte of a character.
TEST(TextCodec, EveryShortSequenceDecodesToUtf8WithoutLosingWhatFollows) {
    std::vector<std::string> sequences;
    for (int first = 0x80; first <= 0xFF; ++first) {
        sequences.push_back(std::string(1, static_cast<char>(first)));
        for (int second = 0; second <= 0xFF; ++second)
            sequences.push_back({static_cast<char>(first), static_cast<char>(second)});
    }
    for (int third : {0x00, 0x41, 0x80, 0xA1, 0xE8, 0xFE, 0xFF})
        for (const char* pair : {"\xA2\xE8", "\xC9\xA1", "\xFE\xFE", "\x80\x80", "\xB0\xA1"})
            sequences.push_back(std::string(pair) + static_cast<char>(third));

    for (const std::string& sequence : sequences) {
        for (const std::string& suffix : {std::string(), std::string("09")}) {
            const std::string decoded = TextCodec::cp949ToUtf8(sequence + suffix);
            SCOPED_TRACE(testing::PrintToString(sequence + suffix));
            ASSERT_TRUE(TextCodec::isValidUtf8(decoded));
            ASSERT_TRUE(decoded.ends_with(suffix));
            ASSERT_LE(count(decoded, kReplacement), sequence.size());
            // What decoded whole encodes back to the same bytes.
            if (count(decoded, kReplacement) == 0) {
                ASSERT_EQ(TextCodec::utf8ToCp949(decoded), sequence + suffix);
            }
        }
    }
}

TEST(TextCodec, EncodingRefusesWhatCodePage949CannotHold) {
    EXPECT_EQ(TextCodec::utf8ToCp949("\xEA\xB0\x80"
                                     "a"),
              std::string("\xB0\xA1"
                          "a"));
    EXPECT_EQ(TextCodec::utf8ToCp949("\xF0\x9F\x98\x80"), std::nullopt);  // an emoji
    EXPECT_EQ(TextCodec::utf8ToCp949("\xA2\xE8"), std::nullopt);          // not UTF-8 at all
}

}  // namespace
}  // namespace nimbrel
