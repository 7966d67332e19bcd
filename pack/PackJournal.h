#pragma once
// The journal of an in-place pack update. An update only ever appends to the pack (new
// entries, then a new directory and end record); the journal beside it records the pack's
// size before the first appended byte and is on the disk before that byte is written. Whoever
// opens the pack next and finds a journal cuts the pack back to that size, which is exactly
// the old pack. The journal goes once the new end record is on the disk.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.h"

namespace nimbrel {

class PackJournal {
public:
    // "<pack>.journal": the ".QPAK" in it keeps it out of every pack.
    static std::string pathFor(const std::string& pack);

    // Takes the pack's update lock: a process updating the pack holds it, so that another one
    // opening the pack meanwhile does not mistake the live update for a cut-off one. Invalid when
    // another process holds it.
    static FileDescriptor lock(const std::string& pack);
    // Writes and flushes the journal. False when it could not; the pack must then not be touched.
    [[nodiscard]] static bool begin(const std::string& pack, std::uint64_t oldSize);
    // The journals of several packs with one flush between them all, for updates that follow
    // one another. False when any could not be written; those that were stay, and are harmless
    // while their packs keep the sizes they record.
    [[nodiscard]] static bool beginAll(const std::vector<std::pair<std::string, std::uint64_t>>& packSizes);
    // The update is on the disk whole: the journal goes.
    [[nodiscard]] static bool finish(const std::string& pack);
    // Rolls back an update cut off before finish(). True when there was nothing to do, the
    // update is still running in another process, or the pack is back as it was; false when a
    // journal is there and the pack could not be restored.
    static bool recover(const std::string& pack);
};

}  // namespace nimbrel
