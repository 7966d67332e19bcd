#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

namespace nimbrel::test {
namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> environmentFor(const ChildProcess::Options& options) {
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e), name = nameOf(entry);
        bool dropped = false;
        for (const auto& unset : options.unsetEnvironment) dropped = dropped || name == unset;
        for (const auto& set : options.setEnvironment) dropped = dropped || name == nameOf(set);
        if (!dropped) environment.push_back(entry);
    }
    environment.insert(environment.end(), options.setEnvironment.begin(), options.setEnvironment.end());
    return environment;
}

}  // namespace

std::string ProcessOutput::lastLine() const {
    std::string text = out;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::size_t lf = text.rfind('\n');
    return lf == std::string::npos ? text : text.substr(lf + 1);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options)
    : group_(options.ownProcessGroup),
      outPath_(options.outputFolder + "out.txt"),
      errPath_(options.outputFolder + "err.txt") {
    std::vector<std::string> arguments = argv, environment = environmentFor(options);
    std::vector<char*> cargv, cenv;
    for (auto& a : arguments) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeEnds[2] = {-1, -1};
    if (options.watchOutput) {
        // Close-on-exec keeps the program's copies of both ends from holding the pipe open;
        // dup2 clears the flag on the output it makes.
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return;
        }
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (options.errorIntoOutput)
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!options.workingFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.workingFolder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (group_) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    if (posix_spawn(&pid_, cargv[0], &actions, &attributes, cargv.data(), cenv.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (options.watchOutput) {
        ::close(pipeEnds[1]);
        pipe_ = pipeEnds[0];
    }
    if (options.errorIntoOutput) errPath_.clear();
}

ChildProcess::~ChildProcess() {
    if (started()) wait();
    if (pipe_ >= 0) ::close(pipe_);
}

bool ChildProcess::readPipe() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        piped_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
}

bool ChildProcess::waitForLine(const std::string& text, int occurrence) {
    if (pipe_ < 0) return false;
    for (;;) {
        for (std::size_t eol; (eol = piped_.find('\n', scanned_)) != std::string::npos; scanned_ = eol + 1)
            if (std::string_view(piped_).substr(scanned_, eol - scanned_).find(text) != std::string_view::npos &&
                ++seen_ == occurrence) {
                scanned_ = eol + 1;
                return true;
            }
        if (!readPipe()) return false;
    }
}

bool ChildProcess::running() const {
    if (!started()) return false;
    siginfo_t info{};
    // WNOWAIT leaves an ended child to wait(), which still collects its status.
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void ChildProcess::signal(int number) const {
    if (started()) ::kill(group_ ? -pid_ : pid_, number);
}

ProcessOutput ChildProcess::wait() {
    ProcessOutput output;
    if (!started()) return output;
    // Drained first: a program blocked on a full pipe would never end.
    if (pipe_ >= 0)
        while (readPipe()) {
        }
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_)
        output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    output.out = pipe_ >= 0 ? piped_ : readWhole(outPath_);
    if (!errPath_.empty()) output.err = readWhole(errPath_);
    return output;
}

ProcessOutput ChildProcess::run(const std::vector<std::string>& argv, const Options& options) {
    return ChildProcess(argv, options).wait();
}

}  // namespace nimbrel::test
