#pragma once
// Progress of a pack operation on the command line: percentages go to stderr, and only when a
// person is watching it (a terminal), so scripts see clean output. SIGINT and SIGTERM become a
// stop request, which pack operations honour between entries, leaving the old pack in place.

#include <string>

#include "pack/PackArchive.h"

namespace nimbrel {

class ConsoleProgress {
public:
    explicit ConsoleProgress(std::string title);
    ~ConsoleProgress();  // ends the progress line
    ConsoleProgress(const ConsoleProgress&) = delete;
    ConsoleProgress& operator=(const ConsoleProgress&) = delete;

    PackProgress callbacks();
    static bool stopRequested();

private:
    void show(int percent);

    std::string title_;
    bool terminal_;
    long long shown_ = -1;
};

}  // namespace nimbrel
