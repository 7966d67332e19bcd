#include "pack/PackBuildPipeline.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "pack/PackFileTime.h"
#include "platform/FileDescriptor.h"

namespace nimbrel {
namespace {

// The pack format's deflate level.
constexpr int kDeflateLevel = 8;

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorDeleter>;

// Reads the whole file as it is now (the listing's size may be stale). False when it cannot
// be opened or read whole.
bool readWholeFile(const std::string& path, std::vector<unsigned char>& data) {
    FileDescriptor fd = FileDescriptor::openForReading(path);
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PackBuildPipeline::PackBuildPipeline(std::vector<Job> jobs, unsigned workers, std::size_t budget)
    : jobs_(std::move(jobs)), results_(jobs_.size()), retained_(jobs_.size()), budget_(budget) {
    if (workers == 0) workers = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, std::max<std::size_t>(jobs_.size(), 1)));
    workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this] { workerLoop(); });
}

PackBuildPipeline::~PackBuildPipeline() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
}

std::size_t PackBuildPipeline::cost(std::size_t index) const {
    // The input, and an output buffer for deflate's worst case, a little above the input.
    std::uint64_t size = jobs_[index].expectedSize;
    return static_cast<std::size_t>(2 * size + size / 64 + 1024);
}

void PackBuildPipeline::workerLoop() {
    Compressor compressor(libdeflate_alloc_compressor(kDeflateLevel));
    std::vector<unsigned char> input;
    for (;;) {
        std::size_t index;
        std::size_t reservation;
        {
            std::unique_lock lock(mutex_);
            // Reservations are granted in file order: whatever holds the budget is older than
            // the waiting file, and the writer consumes those first, so the wait always ends.
            changed_.wait(lock, [&] {
                if (stopping_ || nextToStart_ >= jobs_.size()) return true;
                return reserved_ == 0 || reserved_ + cost(nextToStart_) <= budget_;
            });
            if (stopping_ || nextToStart_ >= jobs_.size()) return;
            index = nextToStart_++;
            reservation = cost(index);
            reserved_ += reservation;
        }

        Result result;
        const Job& job = jobs_[index];
        if (!compressor || !readWholeFile(job.diskPath, input)) {
            result.status = -104;
        } else {
            result.size = input.size();
            result.crc = static_cast<std::uint32_t>(libdeflate_crc32(0, input.data(), input.size()));
            PackFileTime::getFileTimeForEntry(job.diskPath, result.date);
            result.deflated.resize(libdeflate_deflate_compress_bound(compressor.get(), input.size()));
            std::size_t n = libdeflate_deflate_compress(compressor.get(), input.data(), input.size(),
                                                        result.deflated.data(), result.deflated.size());
            if (n == 0) result.status = -104;
            result.deflated.resize(n);
            // Compressible files would otherwise keep their worst-case buffer while they wait.
            if (n < result.deflated.capacity() / 4 * 3) result.deflated.shrink_to_fit();
        }
        // Only small inputs stay with the worker for reuse: a large buffer would sit outside the budget.
        if (input.capacity() > (1u << 20)) std::vector<unsigned char>().swap(input);

        {
            std::lock_guard lock(mutex_);
            retained_[index] = std::min(reservation, result.deflated.capacity());
            reserved_ -= reservation - retained_[index];
            results_[index] = std::move(result);
        }
        changed_.notify_all();
    }
}

PackBuildPipeline::Result PackBuildPipeline::takeNext() {
    std::unique_lock lock(mutex_);
    std::size_t index = nextToTake_;
    if (index >= jobs_.size()) {
        Result none;
        none.status = -104;
        return none;
    }
    changed_.wait(lock, [&] { return results_[index].has_value(); });
    Result result = std::move(*results_[index]);
    results_[index].reset();
    ++nextToTake_;
    reserved_ -= retained_[index];
    lock.unlock();
    changed_.notify_all();
    return result;
}

}  // namespace nimbrel
