#include "pack/PackParallelExtractor.h"

#include <algorithm>
#include <cerrno>
#include <functional>

#include "pack/PackReader.h"
#include "pack/PackResult.h"

namespace nimbrel {

PackParallelExtractor::PackParallelExtractor(std::string archivePath, std::string folder, std::vector<Item> items,
                                             unsigned workers)
    : archivePath_(std::move(archivePath)),
      folder_(std::move(folder)),
      items_(std::move(items)),
      owner_(items_.size()),
      results_(items_.size(), PACK_OK),
      errors_(items_.size(), 0),
      done_(items_.size(), false) {
    if (workers == 0) workers = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, std::max<std::size_t>(items_.size(), 1)));
    for (std::size_t i = 0; i < items_.size(); ++i)
        owner_[i] = static_cast<unsigned>(std::hash<std::string>()(items_[i].name) % workers);
    // A single file (patches often carry one per archive) is written here and now: a thread
    // and a second reader would cost more than the file.
    if (items_.size() <= 1) {
        workerLoop(0, 1);
        return;
    }
    for (unsigned w = 0; w < workers; ++w) workers_.emplace_back([this, w, workers] { workerLoop(w, workers); });
}

PackParallelExtractor::~PackParallelExtractor() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    for (auto& worker : workers_) worker.join();
}

void PackParallelExtractor::workerLoop(unsigned worker, unsigned) {
    PackReader reader(archivePath_);
    std::size_t position = 0;  // entry index the reader stands on
    bool positioned = reader.isOpen() && reader.goToFirstEntry() == PACK_OK;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (owner_[i] != worker) continue;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        int result = positioned ? PACK_OK : PACK_BAD_ZIP_FILE;
        while (result == PACK_OK && position < items_[i].entryIndex) {
            result = reader.goToNextEntry();
            ++position;
        }
        const std::string& name = items_[i].name;
        errno = 0;  // what the extraction leaves tells a refused write from a damaged entry
        if (result == PACK_OK) result = reader.extractEntryToFile(name.starts_with('/') ? name : folder_ + name, true);
        const int error = result == PACK_ERRNO || result == PACK_INTERNAL_ERROR ? errno : 0;
        if (result == PACK_END_OF_LIST) result = PACK_BAD_ZIP_FILE;
        {
            std::lock_guard lock(mutex_);
            results_[i] = result;
            errors_[i] = error;
            done_[i] = true;
        }
        changed_.notify_all();
        if (result != PACK_OK) positioned = false;  // the rest of this thread's items fail too
    }
}

int PackParallelExtractor::takeNext() {
    std::unique_lock lock(mutex_);
    if (nextToTake_ >= items_.size()) return PACK_PARAM_ERROR;
    std::size_t index = nextToTake_++;
    changed_.wait(lock, [&] { return done_[index]; });
    return results_[index];
}

}  // namespace nimbrel
