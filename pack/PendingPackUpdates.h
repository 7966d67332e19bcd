#pragma once
// In-place pack updates whose last step runs on a thread of its own: flushing the appended
// entries and directory, then dropping the journal. The caller goes on to its next pack while
// the disk works. The pack's update lock stays held until the journal is gone, so nobody takes
// the update for a cut-off one meanwhile; an update that fails there is rolled back.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pack/PackResult.h"
#include "platform/FileDescriptor.h"

namespace nimbrel {

class PendingPackUpdates {
public:
    PendingPackUpdates();
    ~PendingPackUpdates();  // waits for every update given
    PendingPackUpdates(const PendingPackUpdates&) = delete;
    PendingPackUpdates& operator=(const PendingPackUpdates&) = delete;

    // Takes the update locks of these packs and writes their journals, with one flush for all:
    // the updates that follow append without a flush of their own first. A pack that is not
    // updated after all has its journal dropped by wait(). False when a journal could not be
    // written; the packs are then left to journal their updates one by one.
    bool prepare(const std::vector<std::string>& packs);
    // The update lock of a prepared pack (invalid when it was not prepared); true when its
    // journal records oldSize and may stand for the update about to start.
    bool takePrepared(const std::string& pack, std::uint64_t oldSize, FileDescriptor& lock);
    // The pack is written afresh instead: its prepared journal must not outlive the old file.
    void dropPrepared(const std::string& pack);

    // `written` is the pack open for writing with its new end record written; `lock` its update lock.
    void add(std::string pack, FileDescriptor written, FileDescriptor lock);
    // Waits for every update given so far. True when each one reached the disk; the packs of
    // those that did not are back as they were.
    [[nodiscard]] bool wait();
    // After a wait() that gave false: why the first update failed, where the disk refused it.
    const DiskWriteFailure& failure() const { return failure_; }

private:
    struct Update {
        std::string pack;
        FileDescriptor written;
        FileDescriptor lock;
    };
    void run();
    struct Prepared {
        FileDescriptor lock;
        std::uint64_t size = 0;
    };
    std::map<std::string, Prepared> prepared_;  // used by the caller's thread only

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Update> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    DiskWriteFailure failure_;
    std::thread thread_;
};

}  // namespace nimbrel
