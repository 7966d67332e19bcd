#include "platform/ProcessLauncher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/GameProcessProbe.h"

namespace nimbrel {

namespace {

std::string gWineCommand = "wine";
std::string gWinePrefix;

int codeForErrno(int error) {
    switch (error) {
        case ENOENT:
            return ProcessLauncher::kFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return ProcessLauncher::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ProcessLauncher::kAccessDenied;
        case ENOMEM:
        case EAGAIN:
            return ProcessLauncher::kOutOfMemory;
        case ENOEXEC:
            return ProcessLauncher::kBadFormat;
        default:
            return ProcessLauncher::kNoAssociation;
    }
}

// Closes every descriptor above stderr except `keep`. The launcher holds the single-instance
// lock and Qt's own descriptors; a game client that inherited the lock would keep the name
// taken after the launcher ends. Only async-signal-safe calls: this runs between fork and exec.
void closeInheritedDescriptors(int keep) {
#ifdef SYS_close_range
    bool done = true;
    if (keep > 3 && ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) != 0) done = false;
    if (done && ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) != 0) done = false;
    if (done) return;
#endif
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (int fd = 3; fd < max; ++fd)
        if (fd != keep) ::close(fd);
}

// Starts argv detached (double fork, new session) and reports exec's errno, or 0 once the
// program is running. The grandchild reports a failed exec through a close-on-exec pipe, so
// an empty read means exec succeeded.
int spawnDetached(const std::vector<std::string>& arguments, const std::string& folder, bool hidden,
                  const std::vector<std::string>& setEnvironment = {}) {
    std::vector<char*> argv;
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The environment is made here: between fork and exec only async-signal-safe calls may run.
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        bool replaced = false;
        for (const auto& set : setEnvironment)
            replaced = replaced || entry.substr(0, entry.find('=') + 1) == set.substr(0, set.find('=') + 1);
        if (!replaced) envp.push_back(*e);
    }
    for (const auto& set : setEnvironment) envp.push_back(const_cast<char*>(set.c_str()));
    envp.push_back(nullptr);
    const char* workFolder = folder.empty() ? nullptr : folder.c_str();

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    FileDescriptor readEnd(pipeFds[0]);
    FileDescriptor writeEnd(pipeFds[1]);

    pid_t child = ::fork();
    if (child < 0) return errno;
    if (child == 0) {
        int reportFd = writeEnd.get();
        auto fail = [reportFd](int error) {
            ssize_t ignored = ::write(reportFd, &error, sizeof error);
            (void)ignored;
            ::_exit(127);
        };
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild < 0) fail(errno);
        if (grandchild > 0) ::_exit(0);
        if (workFolder && ::chdir(workFolder) != 0) fail(errno);
        int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, 0);
            if (hidden) {
                ::dup2(devNull, 1);
                ::dup2(devNull, 2);
            }
            if (devNull > 2) ::close(devNull);
        }
        closeInheritedDescriptors(reportFd);
        ::execve(argv[0], argv.data(), envp.data());
        fail(errno);
    }
    writeEnd.reset();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = ::read(readEnd.get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof error)) return error == 0 ? EINVAL : error;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return ECHILD;
}

}  // namespace

std::optional<std::string> ProcessLauncher::findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path || name.empty()) return std::nullopt;
    std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        std::string folder = list.substr(start, end - start);
        if (folder.empty()) folder = ".";
        std::string candidate = folder + "/" + name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

bool ProcessLauncher::isWindowsExecutable(const std::string& path) {
    FileDescriptor fd = FileDescriptor::openForReading(path);
    if (fd.get() < 0) return false;
    char magic[2] = {};
    return ::read(fd.get(), magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

int ProcessLauncher::execute(const std::string& file, const std::string& parameters, const std::string& folder,
                             Show show) {
    if (file.empty()) return kFileNotFound;
    std::string path = file;
    if (path.front() != '/') {
        std::string base = folder;
        if (base.empty()) {
            char* cwd = ::getcwd(nullptr, 0);
            if (cwd) base = cwd;
            std::free(cwd);
        }
        if (!base.empty() && base.back() != '/') base += '/';
        path = base + file;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return codeForErrno(errno);
    if (S_ISDIR(info.st_mode)) return kAccessDenied;

    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    if (isWindowsExecutable(path)) {
        std::optional<std::string> wine;
        if (gWineCommand.find('/') == std::string::npos)
            wine = findOnPath(gWineCommand);
        else if (::access(gWineCommand.c_str(), X_OK) == 0)
            wine = gWineCommand;
        if (!wine) return kWineNotFound;
        arguments = {*wine, path};
        if (!gWinePrefix.empty()) environment.push_back("WINEPREFIX=" + gWinePrefix);
    } else {
        arguments = {path};
    }
    if (!parameters.empty()) arguments.push_back(parameters);

    int error = spawnDetached(arguments, folder, show == Show::Hidden, environment);
    return error == 0 ? kStarted : codeForErrno(error);
}

void ProcessLauncher::useWine(const std::string& command, const std::string& prefix) {
    gWineCommand = command.empty() ? "wine" : command;
    gWinePrefix = prefix;
}

bool ProcessLauncher::windowsProgramRuns(const std::string& path) {
    std::string prefix = gWinePrefix;
    if (const char* inherited = std::getenv("WINEPREFIX"); prefix.empty() && inherited) prefix = inherited;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string first;
        // Not a process, one that has ended, or one that shows no drive path: Wine still starting.
        if (!std::getline(in, first, '\0') || first.size() < 3 || first[1] != ':' ||
            !std::isalpha(static_cast<unsigned char>(first[0])))
            continue;
        if (GameProcessProbe::commandLineNames(first, path, prefix)) return true;
    }
    return false;
}

int ProcessLauncher::openUrl(const std::string& url) {
    if (url.empty()) return kFileNotFound;
    auto opener = findOnPath("xdg-open");
    if (!opener) return kNoAssociation;
    int error = spawnDetached({*opener, url}, std::string(), false);
    return error == 0 ? kStarted : codeForErrno(error);
}

}  // namespace nimbrel
