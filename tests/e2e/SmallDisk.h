#pragma once
// A small file system (tmpfs) mounted over a folder for one case, unmounted when it ends.
// Mounting needs root: a case checks error() and skips with its reason where it cannot.

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace nimbrel::test {

class SmallDisk {
public:
    SmallDisk(const std::string& folder, const char* options) : folder_(folder) {
        std::filesystem::create_directories(folder);
        if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, options) != 0) error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (error_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    const std::string& error() const { return error_; }
    bool makeReadOnly() { return ::mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }
    // Writable again, with room to spare.
    bool giveRoom() { return ::mount(nullptr, folder_.c_str(), "tmpfs", MS_REMOUNT, "size=16m") == 0; }

private:
    std::string folder_;
    std::string error_;
};

}  // namespace nimbrel::test
