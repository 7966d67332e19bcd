#pragma once
// A game folder as the game client sees it, in lines of text: read from disk by
// game-folder-view.py (Python's own zip reader, none of our pack code), and expected from a
// release build. Two folders are the same game exactly when their views are equal.
//
//   file PATH MODE SHA256     a loose file, MODE in octal
//   entry PATH SHA256         a file the game reads from its folder's pack
//   folder PATH               an empty folder

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/PatchSignature.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ReleaseHistory.h"

namespace nimbrel::test {

class GameFolderView {
public:
    static std::string script() { return std::string(NIMBREL_TEST_DATA_DIR) + "/../e2e/game-folder-view.py"; }

    // What the game folder holds after a run that installed the build: files of packed folders
    // in their packs, the others loose with their modes.
    static std::string expected(const ReleaseHistory::Build& build) {
        std::vector<std::string> lines;
        for (const auto& [path, file] : build.files) {
            const std::string sha = PatchSignature::describeBytes(*file.bytes, path).sha256;
            if (!ReleaseHistory::packedFolderOf(path).empty()) {
                lines.push_back("entry " + path + " " + sha);
                continue;
            }
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", file.mode);
            lines.push_back("file " + path + " " + mode + " " + sha);
        }
        for (const std::string& folder : build.emptyFolders) lines.push_back("folder " + folder);
        return joined(std::move(lines));
    }

    // The folder as it is, leaving out the launcher's own files (its version file, the serial of
    // the list it accepted, update/).
    static std::string read(const std::string& folder, const std::string& packPassword) {
        return python({"view", folder, packPassword, "version.ini", "version.serial", "update"});
    }

    // Where the stored bytes of a pack's entry lie: offset and length.
    static std::pair<long, long> locate(const std::string& pack, const std::string& entry,
                                        const std::string& packPassword) {
        long offset = -1, length = -1;
        std::sscanf(python({"locate", pack, entry, packPassword}).c_str(), "%ld %ld", &offset, &length);
        return {offset, length};
    }

    // The lines only one of two views holds: "- " those missing from the folder, "+ " those
    // it holds beyond the expected ones. Empty when the views are equal.
    static std::string difference(const std::string& actual, const std::string& expected) {
        auto lines = [](const std::string& text) {
            std::vector<std::string> list;
            std::istringstream in(text);
            for (std::string line; std::getline(in, line);) list.push_back(line);
            std::sort(list.begin(), list.end());
            return list;
        };
        const std::vector<std::string> have = lines(actual), want = lines(expected);
        std::vector<std::string> missing, extra;
        std::set_difference(want.begin(), want.end(), have.begin(), have.end(), std::back_inserter(missing));
        std::set_difference(have.begin(), have.end(), want.begin(), want.end(), std::back_inserter(extra));
        std::string text;
        for (const std::string& line : missing) text += "- " + line + "\n";
        for (const std::string& line : extra) text += "+ " + line + "\n";
        return text;
    }

private:
    static std::string joined(std::vector<std::string> lines) {
        std::sort(lines.begin(), lines.end());
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }

    static std::string python(std::vector<std::string> words) {
        words.insert(words.begin(), {"/usr/bin/python3", script()});
        ChildProcess::Options options;
        options.setEnvironment = {"PYTHONUTF8=1"};
        options.watchOutput = true;
        options.errorIntoOutput = true;  // Python's complaint shows in the failed comparison
        ChildProcess child(words, options);
        ProcessOutput output = child.wait();
        EXPECT_EQ(output.exitCode, 0) << output.out;
        return output.out;
    }
};

}  // namespace nimbrel::test
