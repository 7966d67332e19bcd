// Writing packs and reading them back, reading archives made by other zip tools, and what
// damaged archives do to the reader.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/PackWriter.h"
#include "pack/ZipCrypto.h"
#include "platform/FileSystem.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;

std::vector<unsigned char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Mixed content: compressible text, incompressible noise, and the empty and one-byte edges.
struct Sample {
    std::string name;
    std::string content;
    PackEntryDate date;
};

std::vector<Sample> sampleEntries() {
    std::mt19937 random(7);
    std::string noise(200000, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "line " + std::to_string(i) + " of a fairly repetitive text\n";
    return {
        {"readme.txt", text, {10, 20, 13, 5, 6, 2007}},
        {"noise.bin", noise, {59, 59, 23, 31, 11, 2030}},
        {"one.dat", "x", {0, 0, 0, 1, 0, 1980}},
        {"empty.dat", "", {2, 3, 4, 15, 1, 2010}},
    };
}

std::string writeSamplePack(const TempGameFolder& folder, const std::vector<Sample>& samples) {
    std::string path = folder.file("sample.QPAK");
    PackWriter writer(path);
    EXPECT_TRUE(writer.isOpen());
    for (const auto& s : samples) {
        auto data = bytesOf(s.content);
        EXPECT_EQ(writer.addBuffer(s.name, data.data(), data.size(), s.date), PACK_OK) << s.name;
    }
    EXPECT_EQ(writer.close(), PACK_OK);
    return path;
}

TEST(PackRoundTrip, WrittenPackReadsBackAsVersion3WithEveryEntryByteForByte) {
    TempGameFolder folder;
    auto samples = sampleEntries();
    std::string path = writeSamplePack(folder, samples);

    PackReader reader(path);
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.comment(), "Quorlan Zip v3");
    EXPECT_EQ(reader.formatVersion(), 3);
    ASSERT_EQ(reader.readGlobalInfo(), PACK_OK);
    EXPECT_EQ(reader.entryCount(), samples.size());
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        SCOPED_TRACE(samples[i].name);
        ASSERT_EQ(reader.readEntryInfo(), PACK_OK);
        EXPECT_EQ(reader.currentName(), samples[i].name);
        EXPECT_EQ(reader.currentInfo().uncompressedSize, samples[i].content.size());
        std::vector<unsigned char> buffer(samples[i].content.size());
        PackEntryDate date{};
        ASSERT_EQ(reader.readEntryToBuffer(buffer.data(), date), PACK_OK);
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), samples[i].content);
        const PackEntryDate& want = samples[i].date;
        EXPECT_EQ(date.tm_sec, want.tm_sec / 2 * 2);  // 2-second resolution
        EXPECT_EQ(date.tm_min, want.tm_min);
        EXPECT_EQ(date.tm_hour, want.tm_hour);
        EXPECT_EQ(date.tm_mday, want.tm_mday);
        EXPECT_EQ(date.tm_mon, want.tm_mon);
        EXPECT_EQ(date.tm_year, want.tm_year);
        int next = reader.goToNextEntry();
        EXPECT_EQ(next, i + 1 < samples.size() ? PACK_OK : PACK_END_OF_LIST);
    }
}

TEST(PackRoundTrip, ExtractedFilesMatchAndCarryTheEntryDate) {
    TempGameFolder folder;
    auto samples = sampleEntries();
    std::string path = writeSamplePack(folder, samples);
    PackReader reader(path);
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        std::string target = folder.file("out-" + s.name);
        ASSERT_EQ(reader.extractEntryToFile(target), PACK_OK);
        EXPECT_EQ(readWhole(target), s.content);
        PackEntryDate onDisk{};
        ASSERT_EQ(PackFileTime::getFileTimeForEntry(target, onDisk), 1);
        EXPECT_EQ(PackFileTime::toDosDateTime(onDisk), PackFileTime::toDosDateTime(s.date));
        reader.goToNextEntry();
    }
    // Nothing but the pack and the extracted files: no temporary stays behind.
    auto listing = FileSystem::listFolder(folder.path());
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->size(), 2 + 1 + samples.size());
}

}  // namespace
}  // namespace nimbrel
