#include "pack/PendingPackUpdates.h"

#include <unistd.h>

#include "pack/PackJournal.h"

namespace nimbrel {

PendingPackUpdates::PendingPackUpdates() : thread_([this] { run(); }) {}

PendingPackUpdates::~PendingPackUpdates() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void PendingPackUpdates::add(std::string pack, FileDescriptor written, FileDescriptor lock) {
    {
        std::lock_guard guard(mutex_);
        queue_.push_back({std::move(pack), std::move(written), std::move(lock)});
    }
    changed_.notify_all();
}

bool PendingPackUpdates::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
    const bool allDone = !failed_;
    failed_ = false;
    return allDone;
}

void PendingPackUpdates::run() {
    for (;;) {
        Update update;
        {
            std::unique_lock lock(mutex_);
            // Updates already given are finished even when stopping: each holds a journal.
            changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            update = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
        bool done = ::fsync(update.written.get()) == 0 && update.written.close() && PackJournal::finish(update.pack);
        // The lock goes first: the rollback takes it, as any opener would.
        update.lock.reset();
        if (!done) PackJournal::recover(update.pack);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
            if (!done) failed_ = true;
        }
        changed_.notify_all();
    }
}

}  // namespace nimbrel
