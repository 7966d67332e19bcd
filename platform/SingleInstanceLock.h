#pragma once
// The name "quorlan_client" that the launcher shares with the game client, so that neither
// runs beside the other: an exclusive flock() on a lock file named after it in
// $XDG_RUNTIME_DIR (else the temporary folder). The lock exists while its holder keeps it and
// vanishes when the holder closes it or dies.

#include <string>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class SingleInstanceLock {
public:
    // What a second launcher, or a launcher started while the game runs, tells the player.
    static constexpr const char* kDoubleExecutionText =
        "please don't double execute the following programs (Quorlan.exe or nimbrel.exe)";

    enum class Result {
        Acquired,       // we hold the name now
        AlreadyExists,  // another launcher or the game client holds it
        Failed          // the lock file cannot be opened; nobody can be kept out
    };

    static constexpr const char* kClientName = "quorlan_client";

    explicit SingleInstanceLock(std::string name = kClientName);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    Result acquire();
    // Gives the name up (release() at the run's end, close() before starting the game or the
    // self-updater): after either, a program we start can take the name itself.
    void release();
    void close();
    bool held() const { return fd_.isOpen(); }

    // The lock file for a name: $XDG_RUNTIME_DIR/<name>.lock, else <temp folder>/<name>.lock.
    static std::string lockPath(const std::string& name);

private:
    std::string name_;
    FileDescriptor fd_;
};

}  // namespace nimbrel
