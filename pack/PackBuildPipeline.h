#pragma once
// Reads and deflates the files of a pack build on a small pool of worker threads while the
// calling thread takes the results strictly in order and writes the archive. Building is the
// longest wait a player has on a fresh install, so every core compresses; the archive
// handles, the password table and progress stay with the caller. Memory stays bounded by a byte
// budget over everything in flight (a file being compressed counts its input and its output,
// a finished one its output until the writer takes it), granted in file order so that a large
// file can never be starved by later ones; a file larger than the budget runs alone.
//
// A job may instead be an entry of a patch archive that moves into a pack compressed: the
// worker reads its stored bytes, decrypts them, inflates them to check the CRC and encrypts the
// stream under the write password, so that these checks, the slowest part of a patch, run on
// every core while the caller only appends.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pack/PackEntryDate.h"
#include "pack/PackResult.h"

namespace nimbrel {

class PackBuildPipeline {
public:
    // Where an archive entry's stored bytes lie, and what they must decode to.
    struct ArchiveEntry {
        int fd = -1;  // the caller keeps the archive open until the pipeline is gone
        std::uint64_t dataOffset = 0;
        std::uint64_t storedSize = 0;
        std::uint16_t method = 0;        // 0 or 8
        const char* password = nullptr;  // non-null exactly when the entry is encrypted
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        PackEntryDate date;
        int status = PACK_OK;  // an entry that could not be located fails with this code
    };
    struct Job {
        Job() = default;
        Job(std::string path, std::uint64_t size) : diskPath(std::move(path)), expectedSize(size) {}

        std::string diskPath;
        std::uint64_t expectedSize = 0;     // from the folder listing; only sizes the budget
        std::optional<ArchiveEntry> entry;  // set: diskPath is not read, this entry is
    };
    struct Result {
        int status = 0;  // 0, or -104 when the file could not be opened or read whole
        // Archive entries: the encryption header and the stream encrypted under the write
        // password; files: the plain deflate stream.
        std::vector<unsigned char> deflated;
        bool encrypted = false;
        std::uint32_t crc = 0;
        std::uint64_t size = 0;
        PackEntryDate date;  // the file's last-write time as local time; zeroed when unknown
    };

    // workers 0: one per core.
    explicit PackBuildPipeline(std::vector<Job> jobs, unsigned workers = 0, std::size_t budget = 42u << 20);
    ~PackBuildPipeline();  // abandons what is left and joins the workers
    PackBuildPipeline(const PackBuildPipeline&) = delete;
    PackBuildPipeline& operator=(const PackBuildPipeline&) = delete;

    // The result of the next job in order; blocks until it is ready.
    Result takeNext();

private:
    void workerLoop();
    std::size_t cost(std::size_t index) const;

    std::vector<Job> jobs_;
    std::vector<std::optional<Result>> results_;
    std::vector<std::size_t> retained_;  // budget a finished result holds until it is taken
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t nextToStart_ = 0;
    std::size_t nextToTake_ = 0;
    std::size_t budget_;
    std::size_t reserved_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace nimbrel
