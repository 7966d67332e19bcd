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

class PatchWorker {
public:
    PatchWorker();   // starts the thread, idle in its loop
    ~PatchWorker();  // quit() then join()
    PatchWorker(const PatchWorker&) = delete;
    PatchWorker& operator=(const PatchWorker&) = delete;

    // Queues a job for the loop (the patch sequence). Jobs posted after quit() are dropped; an
    // exception a job throws ends that job, never the process.
    void post(std::function<void()> job);
    // The loop ends after the job it is running; queued ones are dropped.
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
