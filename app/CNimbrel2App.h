#pragma once
// The launcher process: builds the one window, runs it modally, tears it down. The process
// ends when the window closes.

#include <string>

namespace nimbrel {

class CNimbrel2App {
public:
    explicit CNimbrel2App(std::string commandLine);

    // Always false, as the original: there is no message loop of the application's own after
    // the window has closed.
    bool InitInstance();

private:
    std::string commandLine_;
};

}  // namespace nimbrel
