// Reading a whole pack in one pass, several entries decrypted side by side: every entry comes
// back as the entry-by-entry reader gives it, whatever the mix of lengths, and a damaged entry
// is named while the others still come through.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pack/PackBulkReader.h"
#include "pack/PackReader.h"
#include "pack/PackWriter.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using Contents = std::map<std::string, std::string>;  // name -> bytes, or "! failure"

Contents readBulk(const std::string& pack) {
    Contents contents;
    PackReader reader(pack);
    EXPECT_EQ(PackBulkReader::forEachEntry(
                  reader,
                  [&](const std::string& name, std::span<const unsigned char> data, const std::string& failure) {
                      contents[name] = failure.empty() ? std::string(data.begin(), data.end()) : "! " + failure;
                  }),
              PACK_OK);
    return contents;
}

TEST(PackBulkReader, GivesEveryEntryAsWrittenAndNamesADamagedOne) {
    std::mt19937 random(7);
    Contents written;
    // Lengths that make the side-by-side lanes end at every point of each other's data.
    for (std::size_t size : {0u, 1u, 13u, 4096u, 4097u, 70000u, 1u << 20, 5u, 300000u, 12u, 65536u}) {
        std::string bytes(size, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % (size % 2 ? 256 : 8));
        written["entry" + std::to_string(written.size()) + ".dat"] = bytes;
    }
    test::TempGameFolder folder;
    const std::string pack = folder.file("test.QPAK");
    {
        PackWriter writer(pack);
        for (const auto& [name, bytes] : written)
            ASSERT_EQ(writer.addBuffer(name, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), {}),
                      PACK_OK);
        ASSERT_EQ(writer.close(), 0);
    }
    EXPECT_EQ(readBulk(pack), written);

    // One byte of the 1 MiB entry's data flipped.
    std::uint64_t begin = 0, end = 0;
    {
        PackReader reader(pack);
        for (int status = reader.goToFirstEntry(); status == PACK_OK; status = reader.goToNextEntry())
            if (reader.readEntryInfo() == PACK_OK && reader.currentName() == "entry6.dat") {
                ASSERT_EQ(reader.entryExtent(begin, end), PACK_OK);
            }
    }
    std::fstream file(pack, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>((begin + end) / 2));
    const char c = static_cast<char>(file.get() ^ 0x10);
    file.seekp(static_cast<std::streamoff>((begin + end) / 2));
    file.put(c);
    file.close();
    Contents damaged = readBulk(pack);
    EXPECT_EQ(damaged["entry6.dat"].substr(0, 2), "! ");
    damaged.erase("entry6.dat");
    written.erase("entry6.dat");
    EXPECT_EQ(damaged, written);
}

}  // namespace
}  // namespace nimbrel
