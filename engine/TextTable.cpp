#include "engine/TextTable.h"

#include <cstring>

extern const unsigned char kTextTableResource[];
extern const std::size_t kTextTableResourceSize;

namespace nimbrel {

int TextTable::load() {
    // The resource is a zero-terminated string: take it up to its first zero byte.
    const char* data = reinterpret_cast<const char*>(kTextTableResource);
    return loadFrom(std::string_view(data, ::strnlen(data, kTextTableResourceSize)));
}

int TextTable::loadFrom(std::string_view text) {
    lines_.clear();
    if (text.empty()) return kMissing;
    for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n')) {
        // One character in front of each line feed (the carriage return) is dropped.
        lines_.emplace_back(text.substr(0, lf == 0 ? 0 : lf - 1));
        text.remove_prefix(lf + 1);
        if (text.empty()) break;
    }
    return kLoaded;
}

const std::string& TextTable::line(int n) const {
    if (n < 0 || static_cast<size_t>(n) >= lines_.size())
        throw std::out_of_range("text table has no line " + std::to_string(n));
    return lines_[static_cast<size_t>(n)];
}

}  // namespace nimbrel
