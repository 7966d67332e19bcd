#pragma once
// Parses the patch list (update/version.ini, or ManualPatch.ini in manual mode) into the
// engine's PatchList, its targetVersion and its self-update flag.

#include <string>
#include <string_view>

#include "engine/PatchListEntry.h"

namespace nimbrel {

class PatchEngine;

class PatchListReader {
public:
    explicit PatchListReader(PatchEngine& engine) : engine_(engine) {}

    // 0 read to the end; -1 no usable list file; -6 already current; -7 stop requested;
    // -12 (manual mode) the list starts beyond the next version.
    int read(int fromManualFile);

    // The number at a fixed index of a line: blanks skipped, optional sign, digits; 0 when
    // there are none or the line is shorter.
    static int numberAt(std::string_view line, std::size_t index);
    // The folder a patch archive of this key belongs to, below baseFolder, ending in "/".
    static std::string targetFolderFor(const std::string& baseFolder, const std::string& key);

private:
    void applyFlagsLine(const std::string& line, std::string& pendingDeletion);
    void appendFileLine(std::string line, int version);

    PatchEngine& engine_;
};

}  // namespace nimbrel
