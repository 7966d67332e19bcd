#pragma once
// A program started by a test, with its standard output and error captured in files (or its
// output read through a pipe as it is written, for a test that acts on a line) and an
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
        // Standard error joins standard output, interleaved as written; err stays empty.
        bool errorIntoOutput = false;
        // The output comes through a pipe, so that waitForLine() sees each line as it is
        // written; outputFolder is then not used.
        bool watchOutput = false;
    };

    ChildProcess(const std::vector<std::string>& argv, const Options& options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running() const;           // started and not ended yet
    void signal(int number) const;  // to its group too, with ownProcessGroup
    // With watchOutput: reads the output until the occurrence-th line containing text has been
    // written (true), or the program closed its output (false). An empty text matches any line.
    bool waitForLine(const std::string& text, int occurrence = 1);
    const std::string& outputSoFar() const { return piped_; }
    ProcessOutput wait();

    static ProcessOutput run(const std::vector<std::string>& argv, const Options& options);
    // For a helper program (openssl, zip, python3) whose output the test only collects: both
    // streams through the pipe, no files.
    static Options collectOutput(const std::string& workingFolder = {}) {
        Options options;
        options.workingFolder = workingFolder;
        options.errorIntoOutput = true;
        options.watchOutput = true;
        return options;
    }

private:
    pid_t pid_ = -1;
    bool group_ = false;
    std::string outPath_;
    std::string errPath_;
    int pipe_ = -1;            // the read end, with watchOutput
    std::string piped_;        // what came through it so far
    std::size_t scanned_ = 0;  // piped_ up to here was searched line by line
    int seen_ = 0;             // matching lines found so far
    // Appends what the pipe holds; false once the program closed its output.
    bool readPipe();
};

}  // namespace nimbrel::test
