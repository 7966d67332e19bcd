#pragma once
// The launcher's table of texts, skin picture names, web addresses and the launch token:
// lines of the text resource compiled into the program, addressed by number.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

// The line numbers are the interface: every user names a line by its number.
namespace TextLine {
constexpr int kLaunchToken = 0;
constexpr int kNotFound = 1;
constexpr int kStartFailed = 2;
constexpr int kCompleted = 3;
constexpr int kPatchUrl = 4;
constexpr int kStopped = 7;
constexpr int kLatest = 8;
constexpr int kHomePage = 9;
constexpr int kRegister = 10;
constexpr int kUpdating = 11;
constexpr int kCounterCaption = 12;
constexpr int kWaiting = 13;
constexpr int kCannotConnect = 14;
constexpr int kDownloadError = 15;
constexpr int kUpdatePage = 16;
constexpr int kDeleting = 21;
constexpr int kCollecting = 22;
constexpr int kBackground = 23;
constexpr int kButtonSkin = 24;
}  // namespace TextLine

class TextTable {
public:
    static constexpr int kLoaded = 0;
    static constexpr int kMissing = -1;  // the resource is missing or empty

    // Loads the resource built into the program: kLoaded or kMissing.
    int load();
    // Loads from given resource data (the text before its terminating zero byte).
    int loadFrom(std::string_view resource);

    // Line n; throws std::out_of_range for a number outside the table.
    const std::string& line(int n) const;
    // Line n, or an empty text: a table that failed to load must not end the launcher.
    std::string lineOrEmpty(int n) const {
        return n >= 0 && static_cast<std::size_t>(n) < lines_.size() ? lines_[static_cast<std::size_t>(n)]
                                                                     : std::string();
    }
    std::size_t size() const { return lines_.size(); }

private:
    std::vector<std::string> lines_;
};

}  // namespace nimbrel
