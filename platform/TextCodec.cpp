#include "platform/TextCodec.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace nimbrel {
namespace {

// RAII owner of one iconv conversion descriptor.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input; nothing when any of it does not convert.
    std::optional<std::string> convert(std::string_view input) {
        if (!ok()) return std::nullopt;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        std::vector<char> buffer(input.size() * 4 + 16);
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        while (inLeft > 0) {
            char* outPtr = buffer.data();
            size_t outLeft = buffer.size();
            size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
            out.append(buffer.data(), buffer.size() - outLeft);
            if (rc != static_cast<size_t>(-1)) continue;
            // A full buffer that took nothing would never move on.
            if (errno != E2BIG || outLeft == buffer.size()) return std::nullopt;
        }
        return out;
    }

    // Converts exactly the given bytes as one character: nothing unless all of them were taken
    // and the converter reported no error. glibc's code page 949 converter may consume a pair
    // it has no mapping for and still report it invalid, so how far it moved proves nothing
    // on its own.
    std::optional<std::string> convertOne(const char* bytes, size_t length) {
        if (!ok()) return std::nullopt;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char output[16];
        char* in = const_cast<char*>(bytes);
        size_t inLeft = length;
        char* outPtr = output;
        size_t outLeft = sizeof output;
        size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
        if (rc == static_cast<size_t>(-1) || inLeft != 0) return std::nullopt;
        return std::string(output, sizeof output - outLeft);
    }

private:
    iconv_t cd_;
};

bool isAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

// Decodes one UTF-8 sequence at text[i]; returns 0 length for a malformed one.
size_t decodeUtf8(std::string_view text, size_t i, char32_t& cp) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) return 0;
    cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

char32_t foldCase(char32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    static locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8Locale == static_cast<locale_t>(nullptr)) return cp;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), utf8Locale));
}

}  // namespace

bool TextCodec::isValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        size_t len = decodeUtf8(text, i, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string TextCodec::gameTextToUtf8(std::string_view text) {
    if (isValidUtf8(text)) return std::string(text);
    return cp949ToUtf8(text);
}

std::string TextCodec::cp949ToUtf8(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    Converter converter("UTF-8", "CP949");
    // One character at a time: a character is one ASCII byte or a lead byte and one more.
    // When a pair does not decode, only its lead byte becomes U+FFFD and the byte after it
    // is read again, so a name never loses a byte that follows a bad one.
    std::string out;
    out.reserve(text.size() * 3 / 2);
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out += text[i++];
            continue;
        }
        size_t taken = 0;
        for (size_t length = std::min<size_t>(2, text.size() - i); length > 0 && taken == 0; --length) {
            std::optional<std::string> decoded = converter.convertOne(text.data() + i, length);
            if (decoded && !decoded->empty() && isValidUtf8(*decoded)) {
                out += *decoded;
                taken = length;
            }
        }
        if (taken == 0) {
            out += "\xEF\xBF\xBD";
            taken = 1;
        }
        i += taken;
    }
    return out;
}

std::optional<std::string> TextCodec::utf8ToCp949(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    if (!isValidUtf8(text)) return std::nullopt;
    Converter converter("CP949", "UTF-8");
    return converter.convert(text);
}

bool TextCodec::equalsIgnoreCase(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        char32_t ca = 0, cb = 0;
        size_t la = decodeUtf8(a, i, ca), lb = decodeUtf8(b, j, cb);
        // Malformed bytes compare as themselves.
        if (la == 0) ca = 0x110000 + static_cast<unsigned char>(a[i]), la = 1;
        if (lb == 0) cb = 0x110000 + static_cast<unsigned char>(b[j]), lb = 1;
        if (foldCase(ca) != foldCase(cb)) return false;
        i += la;
        j += lb;
    }
    return i == a.size() && j == b.size();
}

}  // namespace nimbrel
