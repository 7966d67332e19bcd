#pragma once
// Starting the qpak executable from the end-to-end tests: synchronously with its output
// captured, or in the background so that a test can kill it mid-way.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace nimbrel::test {

struct QpakRun {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Starts qpak in the background; its output goes to out.txt and err.txt in outputFolder.
inline std::unique_ptr<ChildProcess> startQpak(const std::string& outputFolder, const std::vector<std::string>& args) {
    std::vector<std::string> argv{QPAK_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess::Options options;
    options.outputFolder = outputFolder;
    return std::make_unique<ChildProcess>(argv, options);
}

// scratch: a folder for the captured output.
inline QpakRun runQpak(const std::string& scratch, const std::vector<std::string>& args) {
    ProcessOutput output = startQpak(scratch, args)->wait();
    QpakRun run;
    // A qpak ended by a signal did not exit normally.
    run.exitCode = output.exitCode >= 128 ? -1 : output.exitCode;
    run.out = std::move(output.out);
    run.err = std::move(output.err);
    return run;
}

}  // namespace nimbrel::test
