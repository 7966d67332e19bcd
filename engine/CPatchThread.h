#pragma once
// The patch worker: a thread idling in a small loop until it is given a job (the patch
// sequence, once per launcher start) or told to quit. Its owner destroys it before the
// engine, so the sequence never outlives the state it works on.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace nimbrel {

class CPatchThread {
public:
    CPatchThread();   // starts the thread, idle in its loop
    ~CPatchThread();  // quit() then join()
    CPatchThread(const CPatchThread&) = delete;
    CPatchThread& operator=(const CPatchThread&) = delete;

    // Queues a job for the loop (the original's WM_PATCH_START). Jobs posted after quit() are
    // dropped; an exception a job throws ends that job, never the process.
    void post(std::function<void()> job);
    // The loop ends after the message it is handling; queued ones are dropped.
    void quit();
    // Waits for the loop to end; safe to call more than once.
    void join();

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool quitting_ = false;
    std::thread thread_;
};

}  // namespace nimbrel
