#include "platform/TextCodec.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

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

    // Converts the whole input. With replaceInvalid, each undecodable byte becomes U+FFFD
    // (only meaningful when the output is UTF-8); otherwise the conversion fails.
    std::optional<std::string> convert(std::string_view input, bool replaceInvalid) {
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
            if (errno == E2BIG) continue;
            if (!replaceInvalid) return std::nullopt;
            out += "\xEF\xBF\xBD";
            ++in;
            --inLeft;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return out;
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
    return converter.convert(text, true).value_or(std::string(text));
}

std::optional<std::string> TextCodec::utf8ToCp949(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    if (!isValidUtf8(text)) return std::nullopt;
    Converter converter("CP949", "UTF-8");
    return converter.convert(text, false);
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
