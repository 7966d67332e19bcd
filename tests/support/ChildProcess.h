#pragma once
// A program started by a test, with its standard output and error captured in files and an
// environment of the test's choosing. Waited for (and reaped) at the latest in the destructor.

#include <sys/types.h>

#include <string>
#include <vector>

namespace nimbrel::test {

struct ProcessOutput {
    int exitCode = -1;  // 128 + the signal's number for a program ended by a signal
    std::string out;
    std::string err;

    std::string lastLine() const;  // of the standard output
};

class ChildProcess {
public:
    struct Options {
        std::vector<std::string> setEnvironment;    // "NAME=value", added or replacing
        std::vector<std::string> unsetEnvironment;  // names removed from this process's environment
        std::string outputFolder;                   // where out.txt and err.txt go; ends in "/"
        std::string workingFolder;                  // empty: this process's
        // A group of its own, so that signal() reaches the helpers it starts too (a browser's).
        bool ownProcessGroup = false;
    };

    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    bool running() const;           // started and not ended yet
    void signal(int number) const;  // to its group too, with ownProcessGroup
    ProcessOutput wait();

    static ProcessOutput run(const std::vector<std::string>& argv, const Options& options);

private:
    pid_t pid_ = -1;
    bool group_ = false;
    std::string outPath_;
    std::string errPath_;
};

}  // namespace nimbrel::test
