#include "platform/WriteBack.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace nimbrel {
namespace {

struct Request {
    int fd;
    std::uint64_t offset;
    std::uint64_t length;
};

void writeBack(const Request& request) {
    ::sync_file_range(request.fd, static_cast<off_t>(request.offset), static_cast<off_t>(request.length),
                      SYNC_FILE_RANGE_WRITE);
}

// One thread for the whole process, started by the first request. It and its queue are never
// destroyed: a request may arrive while the process ends, and a queue torn down under the
// thread would be worse than the few bytes left behind.
struct Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Request> requests;
    bool started = false;
    bool unavailable = false;

    void run() {
        for (;;) {
            Request request;
            {
                std::unique_lock lock(mutex);
                ready.wait(lock, [&] { return !requests.empty(); });
                request = requests.front();
                requests.pop_front();
            }
            writeBack(request);
            ::close(request.fd);
        }
    }
};

Queue& queue() {
    static Queue* shared = new Queue;
    return *shared;
}

}  // namespace

void WriteBack::start(int fd, std::uint64_t offset, std::uint64_t length) {
    Queue& q = queue();
    {
        std::lock_guard lock(q.mutex);
        if (!q.started && !q.unavailable) {
            try {
                std::thread([&q] { q.run(); }).detach();
                q.started = true;
            } catch (const std::system_error&) {
                q.unavailable = true;
            }
        }
        if (q.started) {
            const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            if (own >= 0) {
                q.requests.push_back({own, offset, length});
                q.ready.notify_one();
                return;
            }
        }
    }
    writeBack({fd, offset, length});
}

}  // namespace nimbrel
