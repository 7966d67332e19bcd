#pragma once
// Starting the qpak executable from the end-to-end tests: synchronously with its output
// captured, or in the background so that a test can kill it mid-way.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nimbrel::test {

struct QpakRun {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out;
    std::string err;
};

// Starts qpak with its output going to the two files (or /dev/null).
inline pid_t startQpak(const std::vector<std::string>& args, const std::string& outPath = "/dev/null",
                       const std::string& errPath = "/dev/null") {
    // Everything the child needs is made before the fork: it only opens, duplicates and execs.
    std::vector<char*> argv{const_cast<char*>(QPAK_PATH)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child != 0) return child;
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(QPAK_PATH, argv.data());
    ::_exit(127);
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// scratch: a folder for the captured output.
inline QpakRun runQpak(const std::string& scratch, const std::vector<std::string>& args) {
    QpakRun run;
    pid_t child = startQpak(args, scratch + "qpak.out", scratch + "qpak.err");
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = slurp(scratch + "qpak.out");
    run.err = slurp(scratch + "qpak.err");
    return run;
}

}  // namespace nimbrel::test
