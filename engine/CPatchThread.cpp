#include "engine/CPatchThread.h"

#include "engine/PatchSequence.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

CPatchThread::CPatchThread() : thread_([this] { loop(); }) {}

CPatchThread::~CPatchThread() {
    quit();
    join();
}

void CPatchThread::postThreadMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam) {
    {
        std::lock_guard guard(mutex_);
        if (quitting_) return;
        queue_.push_back({message, wParam, lParam});
    }
    wake_.notify_one();
}

void CPatchThread::quit() {
    {
        std::lock_guard guard(mutex_);
        quitting_ = true;
        queue_.clear();
    }
    wake_.notify_one();
}

void CPatchThread::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CPatchThread::loop() {
    for (;;) {
        ThreadMessage next{};
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quitting_ || !queue_.empty(); });
            if (quitting_) return;
            next = queue_.front();
            queue_.pop_front();
        }
        if (next.message == WM_PATCH_START && next.wParam != 0) {
            // Nothing may escape the worker: an exception here would end the process.
            try {
                reinterpret_cast<PatchSequence*>(next.wParam)->run();
            } catch (...) {
            }
        }
    }
}

}  // namespace nimbrel
