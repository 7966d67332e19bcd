#pragma once
// The launcher process: builds the one window, runs it modally, tears it down. The process
// ends when the window closes.

#include <string>

namespace nimbrel {

class CNimbrel2App {
public:
    // gameFolder: the folder to patch; empty: the executable's folder.
    explicit CNimbrel2App(std::string commandLine, std::string gameFolder = std::string());

    // Always false, as the original: there is no message loop of the application's own after
    // the window has closed.
    bool InitInstance();

private:
    std::string commandLine_;
    std::string gameFolder_;
};

}  // namespace nimbrel
