#pragma once
// In-place pack updates whose last step runs on a thread of its own: flushing the appended
// entries and directory, then dropping the journal. The caller goes on to its next pack while
// the disk works. The pack's update lock stays held until the journal is gone, so nobody takes
// the update for a cut-off one meanwhile; an update that fails there is rolled back.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class PendingPackUpdates {
public:
    PendingPackUpdates();
    ~PendingPackUpdates();  // waits for every update given
    PendingPackUpdates(const PendingPackUpdates&) = delete;
    PendingPackUpdates& operator=(const PendingPackUpdates&) = delete;

    // `written` is the pack open for writing with its new end record written; `lock` its update lock.
    void add(std::string pack, FileDescriptor written, FileDescriptor lock);
    // Waits for every update given so far. True when each one reached the disk; the packs of
    // those that did not are back as they were.
    [[nodiscard]] bool wait();

private:
    struct Update {
        std::string pack;
        FileDescriptor written;
        FileDescriptor lock;
    };
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Update> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace nimbrel
