#include "tests/support/ReadFile.h"

#include <fstream>
#include <sstream>

namespace nimbrel::test {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace nimbrel::test
