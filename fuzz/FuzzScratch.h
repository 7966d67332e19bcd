#pragma once
// The throwaway tree every fuzz target works in: a work folder emptied before each input; beside
// it a linked folder, made afresh for each input, that stands for a player's data moved to
// another disk and linked back (a patch may change it through the links a target places in its
// work folder, as it may change the player's own linked folders); and a sentinel folder whose
// files must survive every input untouched, so a step that climbs out with "..", an absolute
// path or a link a patch made stops the run.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/PatchWindow.h"

namespace nimbrel::fuzz {

class FuzzScratch {
public:
    // Made once per process; removed when the process ends normally, left behind by a crash.
    static FuzzScratch& instance();

    const std::string& root() const { return root_; }
    const std::string& work() const { return work_; }          // ends in "/"
    const std::string& sentinel() const { return sentinel_; }  // ends in "/"
    const std::string& linked() const { return linked_; }      // ends in "/"

    // Empties the work folder and makes the linked folder afresh (the sentinel folder is never
    // touched here).
    void resetWork();
    // Aborts with a description when anything outside the work folder changed, and goes back
    // to the folder the process started in: the engine makes the game folder the current one,
    // and libFuzzer reads its corpus and writes its findings by relative paths.
    void checkOutsideUntouched() const;

    static void write(const std::string& path, std::string_view bytes);
    // Every file, folder and link below folder: relative path -> kind and content or target.
    static std::map<std::string, std::string> tree(const std::string& folder);
    // Aborts unless path lies lexically inside folder (which ends in "/").
    static void checkInside(const std::string& path, const std::string& folder, const char* what);
    [[noreturn]] static void fail(const std::string& why);

private:
    FuzzScratch();

    std::string root_;
    std::string work_;
    std::string sentinel_;
    std::string linked_;
    std::string startFolder_;
    std::map<std::string, std::string> outsideBefore_;
};

// A window that is never shown.
class SilentWindow : public PatchWindow {
public:
    void postProgress(int) override {}
    void postResult(int, int) override {}
    void setLabelText(int, const std::string&) override {}
    void messageBox(const std::string&, const std::string&) override {}
};

}  // namespace nimbrel::fuzz
