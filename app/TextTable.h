#pragma once
// The launcher's table of texts, skin picture names, web addresses and the launch token:
// lines of the text resource compiled into the program, addressed by number.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

class TextTable {
public:
    // Loads the resource built into the program: 0, or -1 when it is missing or empty.
    int load();
    // Loads from given resource data (the text before its terminating zero byte).
    int loadFrom(std::string_view resource);

    // Line n; throws std::out_of_range for a number outside the table.
    const std::string& line(int n) const;
    std::size_t size() const { return lines_.size(); }

private:
    std::vector<std::string> lines_;
};

}  // namespace nimbrel
