#include "engine/PatchWorker.h"

#include <utility>

namespace nimbrel {

PatchWorker::PatchWorker() : thread_([this] { loop(); }) {}

PatchWorker::~PatchWorker() {
    quit();
    join();
}

void PatchWorker::post(std::function<void()> job) {
    {
        std::lock_guard guard(mutex_);
        if (quitting_ || !job) return;
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void PatchWorker::quit() {
    {
        std::lock_guard guard(mutex_);
        quitting_ = true;
        queue_.clear();
    }
    wake_.notify_one();
}

void PatchWorker::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void PatchWorker::loop() {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
            if (quitting_) return;
            next = std::move(queue_.front());
            queue_.pop_front();
        }
        // Nothing may escape the worker: an exception here would end the process.
        try {
            next();
        } catch (...) {
        }
    }
}

}  // namespace nimbrel
