#pragma once
// Where the running executable lies: its folder is the game folder unless one is given.

#include <string>

namespace nimbrel {

class ExecutablePath {
public:
    static std::string path();    // resolved /proc/self/exe
    static std::string folder();  // its folder, ending in "/"
    static std::string name();    // file name without extension (the user agent, the cache folder)
};

}  // namespace nimbrel
