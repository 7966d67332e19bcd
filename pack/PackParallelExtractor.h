#pragma once
// Extracts chosen entries of one archive on several threads, each with its own reader (archive
// handles are never shared between threads). The traditional zip cipher decrypts one byte
// after another, so one thread cannot go faster than it; entries in parallel can. Results are
// handed back in entry order so that the caller posts progress exactly as a one-by-one
// extraction would. Entries of the same name go to the same thread, in order, so the last of
// them still ends up on disk.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nimbrel {

class PackParallelExtractor {
public:
    struct Item {
        std::size_t entryIndex;  // position in the archive's entry list
        // Where it goes, already checked to stay inside the folder: relative to the folder, or
        // absolute (the target of a link the player made there).
        std::string name;
    };

    // Starts extracting items (in entry order) of archivePath into folder.
    PackParallelExtractor(std::string archivePath, std::string folder, std::vector<Item> items, unsigned workers = 0);
    ~PackParallelExtractor();  // stops what has not started and joins
    PackParallelExtractor(const PackParallelExtractor&) = delete;
    PackParallelExtractor& operator=(const PackParallelExtractor&) = delete;

    std::size_t size() const { return items_.size(); }

    // The reader's result for the next item in order (0 when it was extracted); blocks until known.
    int takeNext();
    // The errno left by the item takeNext() gave last, when it failed.
    int lastError() const { return nextToTake_ > 0 ? errors_[nextToTake_ - 1] : 0; }

private:
    void workerLoop(unsigned worker, unsigned workers);

    std::string archivePath_;
    std::string folder_;
    std::vector<Item> items_;
    std::vector<unsigned> owner_;
    std::vector<int> results_;
    std::vector<int> errors_;
    std::vector<bool> done_;
    std::size_t nextToTake_ = 0;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::thread> workers_;
};

}  // namespace nimbrel
