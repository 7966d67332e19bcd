#pragma once
// The debug output lines (download progress, button states). Nothing is shown unless the
// environment variable NIMBREL_DEBUG is set; then each line goes to standard error.

#include <string_view>

namespace nimbrel {

class DebugOutput {
public:
    static void write(std::string_view text);
    static bool enabled();
};

}  // namespace nimbrel
