#include "platform/ExecutablePath.h"

#include <unistd.h>

#include <climits>

#include "platform/FileSystem.h"

namespace nimbrel {

std::string ExecutablePath::path() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

std::string ExecutablePath::folder() { return FileSystem::folderOf(path()); }

std::string ExecutablePath::name() {
    std::string file = FileSystem::nameOf(path());
    size_t dot = file.rfind('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

}  // namespace nimbrel
