#pragma once
// Writing and reading whole archives in tests: patch archives and packs are made with the
// real PackWriter and checked entry by entry with the real PackReader.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pack/PackReader.h"
#include "pack/PackWriter.h"

namespace nimbrel::test {

using Files = std::vector<std::pair<std::string, std::string>>;  // entry name, content

// Creates the archive (and its folders); fails the test when it cannot be written whole.
inline void writeArchive(const std::string& path, const Files& files) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    PackWriter writer(path);
    ASSERT_TRUE(writer.isOpen()) << path;
    PackEntryDate date{0, 0, 12, 1, 5, 2021};
    for (const auto& [name, data] : files)
        ASSERT_EQ(writer.addBuffer(name, reinterpret_cast<const unsigned char*>(data.data()), data.size(), date), 0)
            << name;
    ASSERT_EQ(writer.close(), 0) << path;
}

// Every entry in archive order with its content, every CRC checked; nothing when the archive
// cannot be opened or any entry cannot be read.
inline std::optional<Files> tryReadArchive(const std::string& path) {
    Files files;
    PackReader reader(path);
    if (!reader.isOpen()) return std::nullopt;
    int rc = reader.goToFirstEntry();
    if (rc == PACK_BAD_ZIP_FILE || rc == PACK_END_OF_LIST) return files;
    if (rc != 0) return std::nullopt;
    do {
        if (reader.readEntryInfo() != 0) return std::nullopt;
        std::string data(reader.currentInfo().uncompressedSize, '\0');
        PackEntryDate date;
        if (reader.readEntryToBuffer(reinterpret_cast<unsigned char*>(data.data()), date) != 0) return std::nullopt;
        files.emplace_back(reader.currentName(), data);
    } while (reader.goToNextEntry() == 0);
    return files;
}

inline Files readArchive(const std::string& path) { return tryReadArchive(path).value_or(Files{}); }

}  // namespace nimbrel::test
