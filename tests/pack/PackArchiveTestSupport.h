#pragma once
// Writing and reading back packs in the whole-pack operation tests.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pack/PackArchive.h"
#include "pack/PackEntryDate.h"
#include "pack/PackReader.h"
#include "pack/PackResult.h"
#include "pack/PackWriter.h"
#include "tests/support/ChildProcess.h"

namespace nimbrel::test {

using PackEntries = std::vector<std::pair<std::string, std::string>>;  // name, content, in archive order
using Progress = std::vector<std::intptr_t>;                           // WM_PATCH_PROGRESS values, in order

// Records the progress a pack operation reports, in order.
struct ProgressLog {
    Progress values;
    PackProgress callbacks() {
        return {[this](int percent) { values.push_back(percent); }, {}};
    }
    const Progress& progress() const { return values; }
};

inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline PackEntryDate sampleDate(std::uint32_t minute = 30) {
    PackEntryDate date;
    date.tm_sec = 12;
    date.tm_min = minute;
    date.tm_hour = 9;
    date.tm_mday = 17;
    date.tm_mon = 4;
    date.tm_year = 2019;
    return date;
}

// Every entry gets sampleDate(index) so that copies can be told apart by their dates.
inline bool writePack(const std::string& path, const PackEntries& entries) {
    PackWriter writer(path);
    if (!writer.isOpen()) return false;
    std::uint32_t minute = 0;
    for (const auto& [name, content] : entries) {
        if (writer.addBuffer(name, reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                             sampleDate(minute++)) != PACK_OK)
            return false;
    }
    return writer.close() == PACK_OK;
}

// Every entry read whole (CRC checked); a failure shows as an entry named "<error N>".
inline PackEntries readPack(const std::string& path) {
    PackEntries entries;
    PackReader reader(path);
    if (!reader.isOpen()) return {{"<not open>", ""}};
    if (reader.goToFirstEntry() != PACK_OK) return entries;
    do {
        int r = reader.readEntryInfo();
        if (r != PACK_OK) return entries.push_back({"<error " + std::to_string(r) + ">", ""}), entries;
        std::string content(reader.currentInfo().uncompressedSize, '\0');
        PackEntryDate date;
        r = reader.readEntryToBuffer(reinterpret_cast<unsigned char*>(content.data()), date);
        if (r != PACK_OK) return entries.push_back({"<error " + std::to_string(r) + ">", ""}), entries;
        entries.emplace_back(reader.currentName(), std::move(content));
    } while (reader.goToNextEntry() == PACK_OK);
    return entries;
}

inline std::vector<std::string> namesOf(const PackEntries& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.first);
    return names;
}

// Content that deflate cannot shrink, reproducible from the seed.
inline std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(random());
    return data;
}

// Runs a program with its arguments (no shell: passwords hold shell characters) in a working
// folder, its output beside it in out.txt and err.txt; its exit code, or -1.
inline int runProgram(const std::string& workingFolder, const std::vector<std::string>& args) {
    ChildProcess::Options options;
    options.workingFolder = workingFolder;
    options.outputFolder = workingFolder.ends_with('/') ? workingFolder : workingFolder + "/";
    int code = ChildProcess::run(args, options).exitCode;
    return code >= 128 ? -1 : code;
}

}  // namespace nimbrel::test
