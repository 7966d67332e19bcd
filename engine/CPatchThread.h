#pragma once
// The patch worker: a thread idling in a small message loop until it is told to run a patch
// sequence (WM_PATCH_START with a PatchSequence* in wParam) or to quit. Its owner destroys it
// before the engine, so the sequence never outlives the state it works on.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace nimbrel {

class CPatchThread {
public:
    CPatchThread();   // starts the thread, idle in its loop
    ~CPatchThread();  // quit() then join()
    CPatchThread(const CPatchThread&) = delete;
    CPatchThread& operator=(const CPatchThread&) = delete;

    // Queues a message for the loop. WM_PATCH_START with a PatchSequence* in wParam runs that
    // sequence; other messages are ignored. Messages posted after quit() are dropped.
    void postThreadMessage(unsigned message, std::intptr_t wParam, std::intptr_t lParam);
    // The loop ends after the message it is handling; queued ones are dropped.
    void quit();
    // Waits for the loop to end; safe to call more than once.
    void join();

private:
    struct ThreadMessage {
        unsigned message;
        std::intptr_t wParam;
        std::intptr_t lParam;
    };

    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<ThreadMessage> queue_;
    bool quitting_ = false;
    std::thread thread_;
};

}  // namespace nimbrel
