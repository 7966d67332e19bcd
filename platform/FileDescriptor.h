#pragma once
// Owner of one POSIX file descriptor: closed on every path out of the scope that opened it.

#include <cstddef>
#include <string>

namespace nimbrel {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    static FileDescriptor openForReading(const std::string& path);

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes quietly (nothing is open afterwards).
    void reset();
    // Closes now so that a failing close (a delayed write error) can be reported.
    bool close();

    bool writeAll(const void* data, std::size_t size) const { return writeAll(fd_, data, size); }
    // Writes everything, across short writes and interruptions; errno tells why it failed.
    static bool writeAll(int fd, const void* data, std::size_t size);

private:
    int fd_;
};

}  // namespace nimbrel
