#pragma once
// Starts the write-back of a file's bytes to the disk on a thread of its own, without waiting.
//
// A download is flushed before it is named, and its write-back is started as it grows so that
// the flush finds little left. Starting it costs the caller the submission of every block to
// the disk (on a virtual machine, an exit to the host per batch); made by the thread that also
// receives every transfer, that held up the network on loopback. Nothing here decides when a
// file is safe: whoever names it still waits for all of its data first.

#include <cstdint>

namespace nimbrel {

class WriteBack {
public:
    // Starts writing back `length` bytes from `offset` (0: to the end) of the file open as fd.
    // The request holds a descriptor of its own, so fd may be closed at once. Where no thread
    // or descriptor is to be had, the write-back is started before returning.
    static void start(int fd, std::uint64_t offset, std::uint64_t length);
};

}  // namespace nimbrel
