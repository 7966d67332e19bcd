#include "pack/PendingPackUpdates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "pack/PackJournal.h"
#include "platform/FileSystem.h"

namespace nimbrel {

PendingPackUpdates::PendingPackUpdates() : thread_([this] { run(); }) {}

PendingPackUpdates::~PendingPackUpdates() {
    while (!prepared_.empty()) dropPrepared(prepared_.begin()->first);
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

bool PendingPackUpdates::prepare(const std::vector<std::string>& packs) {
    std::vector<std::pair<std::string, std::uint64_t>> sizes;
    for (const auto& pack : packs) {
        if (prepared_.count(pack)) continue;
        // A journal left by a run cut off in this pack's update records the size to cut back
        // to; one written over it would make the cut-off bytes part of the pack.
        if (!PackJournal::recover(pack)) continue;
        Prepared held;
        held.lock = PackJournal::lock(pack);
        struct stat st {};
        if (!held.lock.isOpen() || ::fstat(held.lock.get(), &st) != 0) continue;
        held.size = static_cast<std::uint64_t>(st.st_size);
        sizes.emplace_back(pack, held.size);
        prepared_.emplace(pack, std::move(held));
    }
    if (PackJournal::beginAll(sizes)) return true;
    for (const auto& [pack, size] : sizes) dropPrepared(pack);
    return false;
}

bool PendingPackUpdates::takePrepared(const std::string& pack, std::uint64_t oldSize, FileDescriptor& lock) {
    auto found = prepared_.find(pack);
    if (found == prepared_.end()) return false;
    const bool matches = found->second.size == oldSize;
    // A journal recording another size would roll the update back to the wrong length.
    if (!matches) (void)PackJournal::finish(pack);
    lock = std::move(found->second.lock);
    prepared_.erase(found);
    return matches;
}

void PendingPackUpdates::dropPrepared(const std::string& pack) {
    auto found = prepared_.find(pack);
    if (found == prepared_.end()) return;
    // The pack is as its journal records it: a journal a failed removal leaves behind is
    // dropped by the next opener, which finds nothing to cut.
    (void)PackJournal::finish(pack);
    prepared_.erase(found);
}

bool PendingPackUpdates::wait() {
    while (!prepared_.empty()) dropPrepared(prepared_.begin()->first);
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
        const int error = done ? 0 : errno;
        // The lock goes first: the rollback takes it, as any opener would.
        update.lock.reset();
        if (!done) PackJournal::recover(update.pack);
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
            if (!done && !failed_ && DiskWriteFailure::isDiskError(error))
                failure_ = {error, FileSystem::folderOf(update.pack)};
            if (!done) failed_ = true;
        }
        changed_.notify_all();
    }
}

}  // namespace nimbrel
