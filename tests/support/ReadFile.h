#pragma once
// The whole content of a file as bytes, for tests comparing what landed on the disk.

#include <string>

namespace nimbrel::test {

// Empty when the file is missing or unreadable.
std::string readFile(const std::string& path);

}  // namespace nimbrel::test
