#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <sstream>

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
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
}

ChildProcess::~ChildProcess() {
    if (started()) wait();
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
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_)
        output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    output.out = readWhole(outPath_);
    output.err = readWhole(errPath_);
    return output;
}

ProcessOutput ChildProcess::run(const std::vector<std::string>& argv, const Options& options) {
    return ChildProcess(argv, options).wait();
}

}  // namespace nimbrel::test
