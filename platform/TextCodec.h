#pragma once
// The one place where text crosses between the game's 8-bit world (code page 949, the
// Korean code page the game client reads its packs, lists and texts in) and ours (UTF-8
// everywhere).

#include <optional>
#include <string>
#include <string_view>

namespace nimbrel {

class TextCodec {
public:
    // True when the bytes are well-formed UTF-8 (plain ASCII included).
    static bool isValidUtf8(std::string_view text);

    // Text from the game's side (patch lists, deletion lists, archive entry names without
    // the UTF-8 flag): kept when it is valid UTF-8, otherwise decoded from code page 949.
    // Bytes that code page 949 cannot decode become U+FFFD.
    static std::string gameTextToUtf8(std::string_view text);

    // Decodes code page 949 unconditionally (ASCII unchanged).
    static std::string cp949ToUtf8(std::string_view text);

    // Encodes UTF-8 to code page 949; nothing when some character has no such encoding.
    static std::optional<std::string> utf8ToCp949(std::string_view text);

    // Case-insensitive comparison of two UTF-8 names (ASCII letters and the other letters
    // that have a simple case mapping), as the game client compares names.
    static bool equalsIgnoreCase(std::string_view a, std::string_view b);
};

}  // namespace nimbrel
