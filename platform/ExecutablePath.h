#pragma once
// Stand-in for the module path of the original platform: where the running executable lies.

#include <string>

namespace nimbrel {

class ExecutablePath {
public:
    static std::string path();    // resolved /proc/self/exe
    static std::string folder();  // its folder, ending in "/"
    static std::string name();    // file name without extension (the user agent, the cache folder)
};

}  // namespace nimbrel
