// Writing packs and reading them back, reading archives made by other zip tools, and what
// damaged archives do to the reader.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pack/DeflateCodec.h"
#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/PackWriter.h"
#include "pack/ZipCrypto.h"
#include "platform/FileSystem.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using test::TempGameFolder;

std::vector<unsigned char> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeWhole(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

unsigned le16(const std::string& b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}
std::uint32_t le32(const std::string& b, std::size_t at) {
    return le16(b, at) | static_cast<std::uint32_t>(le16(b, at + 2)) << 16;
}

// Offset of the end-of-central-directory record.
std::size_t endRecord(const std::string& bytes) {
    for (std::size_t at = bytes.size() - 22;; --at) {
        if (le32(bytes, at) == 0x06054b50u && at + 22 + le16(bytes, at + 20) == bytes.size()) return at;
        if (at == 0) return std::string::npos;
    }
}

// The same archive under another archive comment.
std::string withComment(std::string bytes, const std::string& comment) {
    std::size_t end = endRecord(bytes);
    bytes.resize(end + 22);
    bytes[end + 20] = static_cast<char>(comment.size() & 0xFF);
    bytes[end + 21] = static_cast<char>(comment.size() >> 8);
    return bytes + comment;
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool haveInfoZip() { return ::access("/usr/bin/zip", X_OK) == 0; }

// Runs Info-ZIP zip inside folder; "-X" keeps its extra fields to a minimum.
int runZip(const std::string& folder, const std::string& arguments) {
    return test::ChildProcess::run({"/bin/sh", "-c", "/usr/bin/zip -q -X " + arguments},
                                   test::ChildProcess::collectOutput(folder))
        .exitCode;
}

std::size_t filesIn(const std::string& folder) {
    auto listing = FileSystem::listFolder(folder);
    return listing ? listing->size() - 2 : 0;  // "." and ".."
}

// Reads every entry both ways. Whatever reports success must be the original content; a
// failed extraction must leave nothing at its target.
struct ReadOutcome {
    bool opened = false;
    int succeeded = 0;
    int failed = 0;
    int unknownNames = 0;  // a damaged name cannot be matched to its original content
};

ReadOutcome readEverything(const std::string& archive, const std::map<std::string, std::string>& originals,
                           const std::string& outFolder) {
    ReadOutcome outcome;
    PackReader reader(archive);
    if (!reader.isOpen()) return outcome;
    outcome.opened = true;
    int index = 0;
    for (int rc = reader.goToFirstEntry(); rc == PACK_OK && index < 50; rc = reader.goToNextEntry(), ++index) {
        if (reader.readEntryInfo() != PACK_OK) {
            ++outcome.failed;
            continue;
        }
        auto original = originals.find(reader.currentName());
        if (original == originals.end()) ++outcome.unknownNames;
        std::uint64_t size = reader.currentInfo().uncompressedSize;
        if (size <= (1u << 20)) {
            std::vector<unsigned char> buffer(static_cast<std::size_t>(size));
            PackEntryDate date{};
            if (reader.readEntryToBuffer(buffer.data(), date) == PACK_OK) {
                ++outcome.succeeded;
                if (original != originals.end()) {
                    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), original->second);
                }
            } else {
                ++outcome.failed;
            }
        }
        std::string target = outFolder + "entry" + std::to_string(index);
        if (reader.extractEntryToFile(target) == PACK_OK) {
            ++outcome.succeeded;
            if (original != originals.end()) {
                EXPECT_EQ(readWhole(target), original->second);
            }
            ::unlink(target.c_str());
        } else {
            ++outcome.failed;
            EXPECT_FALSE(FileSystem::fileExists(target)) << "a failed extraction left " << target;
        }
    }
    EXPECT_EQ(filesIn(outFolder), 0u) << "temporaries left behind";
    return outcome;
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

std::map<std::string, std::string> originalsOf(const std::vector<Sample>& samples) {
    std::map<std::string, std::string> originals;
    for (const auto& s : samples) originals[s.name] = s.content;
    return originals;
}

std::vector<Sample> smallSamples() {
    std::string text;
    for (int i = 0; i < 60; ++i) text += "entry text " + std::to_string(i % 9) + "\n";
    return {{"first.txt", text, {0, 0, 12, 1, 0, 2010}}, {"second.bin", "\x01\x02\x03\x04\x05\x06\x07", {}}};
}

TEST(PackFormat, WrittenHeadersCarryVersionFlagsAndNoExtras) {
    TempGameFolder folder;
    std::string path = folder.file("f.QPAK");
    {
        PackWriter writer(path);
        std::string content(3000, 'q');
        auto data = bytesOf(content);
        ASSERT_EQ(writer.addBuffer("a.txt", data.data(), data.size(), {}), PACK_OK);
        ASSERT_EQ(writer.addBuffer("\xe2\x98\x83.txt", data.data(), data.size(), {}),
                  PACK_OK);  // no code page 949 form
        ASSERT_EQ(writer.close(), PACK_OK);
    }
    const std::string bytes = readWhole(path);
    const std::size_t end = endRecord(bytes);
    ASSERT_NE(end, std::string::npos);
    // The comment ends the file: no NUL is stored after it.
    EXPECT_EQ(le16(bytes, end + 20), 14u);
    EXPECT_EQ(bytes.substr(end + 22), "Quorlan Zip v3");
    EXPECT_EQ(le16(bytes, end + 10), 2u);

    std::size_t central = le32(bytes, end + 16);
    const unsigned expectedFlags[] = {0x0003, 0x0803};
    for (unsigned flags : expectedFlags) {
        SCOPED_TRACE(flags);
        ASSERT_EQ(le32(bytes, central), 0x02014b50u);
        EXPECT_EQ(le16(bytes, central + 4), 0u) << "version made by";
        EXPECT_EQ(le16(bytes, central + 6), 20u) << "version needed";
        EXPECT_EQ(le16(bytes, central + 8), flags);
        EXPECT_EQ(le16(bytes, central + 10), 8u) << "method";
        EXPECT_EQ(le16(bytes, central + 30), 0u) << "extra field";
        EXPECT_EQ(le16(bytes, central + 32), 0u) << "comment";
        EXPECT_EQ(le16(bytes, central + 36), 0u) << "internal attributes";
        EXPECT_EQ(le32(bytes, central + 38), 0u) << "external attributes";
        std::uint32_t crc = le32(bytes, central + 16);
        ASSERT_NE(crc >> 16, 0u);

        std::size_t local = le32(bytes, central + 42);
        ASSERT_EQ(le32(bytes, local), 0x04034b50u);
        EXPECT_EQ(le16(bytes, local + 4), 20u);
        EXPECT_EQ(le16(bytes, local + 6), flags);
        EXPECT_EQ(le16(bytes, local + 28), 0u) << "local extra field";
        EXPECT_EQ(le32(bytes, local + 14), crc);
        // The encryption header ends with the CRC's high word: the check every zip tool makes.
        std::size_t data = local + 30 + le16(bytes, local + 26);
        unsigned char header[ZipCrypto::kHeaderSize];
        std::memcpy(header, bytes.data() + data, sizeof(header));
        ZipCrypto(PackPasswordTable::instance().writePassword()).decrypt(header, sizeof(header));
        EXPECT_EQ(header[10], (crc >> 16) & 0xFF);
        EXPECT_EQ(header[11], crc >> 24);
        central += 46 + le16(bytes, central + 28);
    }
}

// The game reads the stored name; zip tools read a Korean one from Info-ZIP's Unicode path
// field (version 1, the CRC-32 of the stored name, the UTF-8 name), in both headers.
TEST(PackFormat, EntryNamesTravelAsCodePage949OrFlaggedUtf8) {
    TempGameFolder folder;
    std::string path = folder.file("names.QPAK");
    struct Case {
        std::string name;        // UTF-8, as callers pass it
        std::string storedName;  // bytes in the archive
        unsigned flags;
        bool unicodePath;
    };
    const Case cases[] = {
        {"plain.txt", "plain.txt", 0x0003, false},
        {"\xea\xb0\x80\xeb\x82\x98\xeb\x8b\xa4.bmp", "\xb0\xa1\xb3\xaa\xb4\xd9.bmp", 0x0003, true},  // Hangul
        {"\xe2\x98\x83.txt", "\xe2\x98\x83.txt", 0x0803, false},  // a snowman has no code page 949 form
    };
    {
        PackWriter writer(path);
        for (const auto& c : cases) ASSERT_EQ(writer.addBuffer(c.name, bytesOf("x").data(), 1, {}), PACK_OK);
        ASSERT_EQ(writer.close(), PACK_OK);
    }
    const std::string bytes = readWhole(path);
    std::size_t central = le32(bytes, endRecord(bytes) + 16);
    PackReader reader(path);
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t nameSize = le16(bytes, central + 28);
        EXPECT_EQ(le16(bytes, central + 8), c.flags);
        EXPECT_EQ(bytes.substr(central + 46, nameSize), c.storedName);
        std::string field;
        if (c.unicodePath) {
            const std::uint32_t crc =
                DeflateCodec::crc32(reinterpret_cast<const unsigned char*>(c.storedName.data()), c.storedName.size());
            field = std::string("\x75\x70", 2) + char(5 + c.name.size()) + '\0' + '\x01';
            for (int shift = 0; shift < 32; shift += 8) field += static_cast<char>(crc >> shift);
            field += c.name;
        }
        const std::size_t local = le32(bytes, central + 42);
        EXPECT_EQ(bytes.substr(central + 46 + nameSize, le16(bytes, central + 30)), field) << "central";
        EXPECT_EQ(bytes.substr(local + 30 + nameSize, le16(bytes, local + 28)), field) << "local";
        central += 46 + nameSize + le16(bytes, central + 30);
        ASSERT_EQ(reader.readEntryInfo(), PACK_OK);
        EXPECT_EQ(reader.currentName(), c.name);
        std::string content(1, '\0');
        PackEntryDate date{};
        EXPECT_EQ(reader.readEntryToBuffer(reinterpret_cast<unsigned char*>(content.data()), date), PACK_OK);
        EXPECT_EQ(content, "x");
        reader.goToNextEntry();
    }
}

TEST(PackCompatibility, InfoZipArchivesReadCorrectly) {
    if (!haveInfoZip()) GTEST_SKIP() << "Info-ZIP zip is not installed";
    const auto& table = PackPasswordTable::instance();
    struct Case {
        const char* what;
        std::string arguments;  // after "zip -q -X", run inside the source folder
        std::string comment;    // empty: none
        int version;
    };
    const Case cases[] = {
        {"plain", "../made.zip *", "", 0},
        {"encrypted under the version-0 password", "-P " + shellQuote(table.password(0)) + " ../made.zip *", "", 0},
        {"encrypted under the comment's version", "-P " + shellQuote(table.password(3)) + " ../made.zip *",
         "Quorlan Zip v3", 3},
        {"plain entries whatever the comment says", "../made.zip *", "Quorlan Zip v1000", 1000},
        {"written to a pipe, encrypted", "-P " + shellQuote(table.password(0)) + " - * > ../made.zip", "", 0},
    };
    std::mt19937 random(1);
    std::string noise(3000, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "Info-ZIP line " + std::to_string(i) + "\n";
    const std::map<std::string, std::string> files = {
        {"text.txt", text}, {"noise.bin", noise}, {"one.dat", "1"}, {"\xea\xb0\x80.bmp", "hangul"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempGameFolder folder;
        std::string src = folder.makeFolder("src");
        for (const auto& [name, content] : files) {
            // Info-ZIP stores the disk name's bytes: a code page 949 name, as the game's tools made them.
            std::string diskName = name == "\xea\xb0\x80.bmp" ? std::string("\xb0\xa1.bmp") : name;
            writeWhole(src + diskName, content);
        }
        ASSERT_EQ(runZip(src, c.arguments), 0);
        if (!c.comment.empty()) {
            const std::string command =
                "printf '%s' " + shellQuote(c.comment) + " | /usr/bin/zip -q -z " + shellQuote(folder.file("made.zip"));
            ASSERT_EQ(test::ChildProcess::run({"/bin/sh", "-c", command}, test::ChildProcess::collectOutput()).exitCode,
                      0);
        }
        std::string archive = folder.file("made.zip");
        {
            PackReader reader(archive);
            ASSERT_TRUE(reader.isOpen());
            EXPECT_EQ(reader.formatVersion(), c.version);
        }
        std::string out = folder.makeFolder("out");
        ReadOutcome outcome = readEverything(archive, files, out);
        EXPECT_TRUE(outcome.opened);
        EXPECT_EQ(outcome.failed, 0);
        EXPECT_EQ(outcome.unknownNames, 0);
        EXPECT_EQ(outcome.succeeded, 2 * static_cast<int>(files.size()));
    }
}

TEST(PackDamage, TruncatedArchivesFailCleanly) {
    TempGameFolder folder;
    auto samples = smallSamples();
    const std::string whole = readWhole(writeSamplePack(folder, samples));
    std::string out = folder.makeFolder("out");
    std::string cut = folder.file("cut.QPAK");
    for (std::size_t size = 0; size < whole.size(); ++size) {
        SCOPED_TRACE(size);
        writeWhole(cut, whole.substr(0, size));
        readEverything(cut, originalsOf(samples), out);
        if (HasFailure()) break;
    }
    // Cutting the data out of the middle while the directory stays is caught by the entry.
    std::string hollow = whole;
    for (std::size_t i = 60; i < 90; ++i) hollow[i] = 0;
    writeWhole(cut, hollow);
    ReadOutcome outcome = readEverything(cut, originalsOf(samples), out);
    EXPECT_TRUE(outcome.opened);
    EXPECT_GE(outcome.failed, 2);
}

TEST(PackDamage, FlippedBytesNeverPassAsContent) {
    TempGameFolder folder;
    auto samples = smallSamples();
    const std::string whole = readWhole(writeSamplePack(folder, samples));
    // Where each entry's stored bytes lie: a flip there must fail that entry.
    std::vector<std::pair<std::size_t, std::size_t>> dataRanges;
    for (std::size_t central = le32(whole, endRecord(whole) + 16); le32(whole, central) == 0x02014b50u;
         central += 46 + le16(whole, central + 28)) {
        std::size_t local = le32(whole, central + 42);
        std::size_t data = local + 30 + le16(whole, local + 26);
        dataRanges.emplace_back(data, data + le32(whole, central + 20));
    }
    ASSERT_EQ(dataRanges.size(), samples.size());
    std::string out = folder.makeFolder("out");
    std::string damaged = folder.file("damaged.QPAK");
    for (std::size_t at = 0; at < whole.size(); ++at) {
        SCOPED_TRACE(at);
        std::string bytes = whole;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
        writeWhole(damaged, bytes);
        ReadOutcome outcome = readEverything(damaged, originalsOf(samples), out);
        for (const auto& [from, to] : dataRanges)
            if (at >= from && at < to) {
                EXPECT_GE(outcome.failed, 2);
            }
        if (HasFailure()) break;
    }
}

TEST(PackDamage, WrongPasswordFailsAndKeepsTheOldFile) {
    TempGameFolder folder;
    auto samples = smallSamples();
    std::string path = writeSamplePack(folder, samples);
    // Version 4 selects another password for the same entries.
    writeWhole(path, withComment(readWhole(path), "Quorlan Zip v4"));
    std::string target = folder.write("out/first.txt", "the file as it was");
    PackReader reader(path);
    ASSERT_EQ(reader.formatVersion(), 4);
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    std::vector<unsigned char> buffer(samples[0].content.size());
    PackEntryDate date{};
    EXPECT_NE(reader.readEntryToBuffer(buffer.data(), date), PACK_OK);
    EXPECT_NE(reader.extractEntryToFile(target), PACK_OK);
    EXPECT_EQ(readWhole(target), "the file as it was");
    EXPECT_EQ(filesIn(folder.file("out/")), 1u);
}

TEST(PackReader, FormatVersionComesFromTheFirst64BytesOfTheComment) {
    TempGameFolder folder;
    auto samples = smallSamples();
    const std::string pack = readWhole(writeSamplePack(folder, samples));
    struct Case {
        std::string comment;
        int version;
        bool readable;
    };
    const Case cases[] = {
        {"Quorlan Zip v3" + std::string(100, ' ') + "v4", 3, true},
        {std::string(60, ' ') + "Quorlan Zip v3", 0, false},  // cut to 64 bytes before parsing
        {"Quorlan Zip v1000", 1000, false},                   // no password: the entry must not open
        {"Quorlan Zip v-1", -1, false},
        {"", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comment);
        std::string path = folder.file("v.QPAK");
        writeWhole(path, withComment(pack, c.comment));
        PackReader reader(path);
        ASSERT_TRUE(reader.isOpen());
        EXPECT_EQ(reader.comment(), c.comment.substr(0, 64));
        EXPECT_EQ(reader.formatVersion(), c.version);
        if (c.version < 0 || c.version > 999) {
            EXPECT_EQ(reader.entryPassword(), nullptr);
        }
        ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
        std::vector<unsigned char> buffer(samples[0].content.size());
        PackEntryDate date{};
        EXPECT_EQ(reader.readEntryToBuffer(buffer.data(), date) == PACK_OK, c.readable);
        std::vector<unsigned char> stream;
        if (c.version < 0 || c.version > 999) {
            EXPECT_NE(reader.readCompressedEntry(stream), PACK_OK);
        }
    }
}

TEST(PackReader, ArchiveWithoutEntriesOpensButHasNoFirstEntry) {
    TempGameFolder folder;
    std::string path = folder.file("empty.QPAK");
    {
        PackWriter writer(path);
        ASSERT_EQ(writer.close(), PACK_OK);
    }
    PackReader reader(path);
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.formatVersion(), 3);
    EXPECT_EQ(reader.goToFirstEntry(), PACK_BAD_ZIP_FILE);
    ASSERT_EQ(reader.readGlobalInfo(), PACK_OK);
    EXPECT_EQ(reader.entryCount(), 0u);
}

TEST(PackReader, ExtractionToAPathThatCannotBeCreatedGivesMinus104AndNoNewFile) {
    TempGameFolder folder;
    auto samples = smallSamples();
    std::string path = writeSamplePack(folder, samples);
    std::string readOnly = folder.write("ro/first.txt", "read-only content");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    folder.makeFolder("dir/first.txt");
    struct Case {
        const char* what;
        std::string target;
    };
    const Case cases[] = {
        {"missing folder", folder.file("missing/first.txt")},
        {"read-only file", readOnly},
        {"a folder in the way", folder.file("dir/first.txt")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PackReader reader(path);
        ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
        EXPECT_EQ(reader.extractEntryToFile(c.target), PACK_INTERNAL_ERROR);
    }
    EXPECT_FALSE(folder.exists("missing"));
    EXPECT_EQ(folder.read("ro/first.txt"), "read-only content");
    EXPECT_EQ(filesIn(folder.file("ro/")), 1u);
    EXPECT_EQ(filesIn(folder.file("dir/")), 1u);
}

TEST(PackWriter, AddFileTakesContentAndDateAndRefusesWhatItCannotRead) {
    TempGameFolder folder;
    std::string file = folder.write("src/a.bmp", "bitmap bytes");
    const PackEntryDate date{20, 30, 9, 14, 2, 2016};
    ASSERT_EQ(PackFileTime::setFileTimeFromEntry(file, date), 1);
    folder.makeFolder("src/sub");
    std::string path = folder.file("add.QPAK");
    {
        PackWriter writer(path);
        EXPECT_EQ(writer.addFile("gone.bmp", folder.file("src/gone.bmp")), PACK_INTERNAL_ERROR);
        EXPECT_EQ(writer.addFile("sub", folder.file("src/sub")), PACK_INTERNAL_ERROR);
        EXPECT_EQ(writer.addFile("a.bmp", file), PACK_OK);
        EXPECT_EQ(writer.close(), PACK_OK);
    }
    PackReader reader(path);
    ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
    std::vector<unsigned char> buffer(12);
    PackEntryDate got{};
    ASSERT_EQ(reader.readEntryToBuffer(buffer.data(), got), PACK_OK);
    EXPECT_EQ(reader.currentName(), "a.bmp");
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "bitmap bytes");
    EXPECT_EQ(PackFileTime::toDosDateTime(got), PackFileTime::toDosDateTime(date));
    EXPECT_EQ(reader.goToNextEntry(), PACK_END_OF_LIST);
}

TEST(PackWriter, CreateOverwritesAnOldFileAndFailsQuietlyWhereItCannot) {
    TempGameFolder folder;
    std::string path = folder.write("old.QPAK", std::string(100000, 'z'));
    {
        PackWriter writer(path);
        ASSERT_TRUE(writer.isOpen());
        ASSERT_EQ(writer.addBuffer("n.txt", bytesOf("new").data(), 3, {}), PACK_OK);
        ASSERT_EQ(writer.close(), PACK_OK);
    }
    ReadOutcome outcome = readEverything(path, {{"n.txt", "new"}}, folder.makeFolder("out"));
    EXPECT_EQ(outcome.succeeded, 2);

    PackWriter nowhere(folder.file("missing/x.QPAK"));
    EXPECT_FALSE(nowhere.isOpen());
    EXPECT_NE(nowhere.addBuffer("n.txt", bytesOf("new").data(), 3, {}), PACK_OK);
    EXPECT_NE(nowhere.close(), PACK_OK);
    EXPECT_FALSE(folder.exists("missing"));
}

TEST(PackWriter, CloseReportsAnArchiveThatNeverReachedTheDisk) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    PackWriter writer("/dev/full");
    ASSERT_TRUE(writer.isOpen());
    std::mt19937 random(2);
    std::vector<unsigned char> noise(1 << 20);
    for (auto& b : noise) b = static_cast<unsigned char>(random());
    (void)writer.addBuffer("noise.bin", noise.data(), noise.size(), {});
    EXPECT_NE(writer.close(), PACK_OK);
}

TEST(PackWriter, CopiedStreamsReadBackAsTheOriginalEntries) {
    TempGameFolder folder;
    auto samples = sampleEntries();
    std::string source = writeSamplePack(folder, samples);
    // The old pack under another version's password: its streams must be decrypted and re-encrypted.
    writeWhole(folder.file("v0.QPAK"), readWhole(source));
    std::string copy = folder.file("copy.QPAK");
    {
        PackReader reader(source);
        PackWriter writer(copy);
        ASSERT_EQ(reader.goToFirstEntry(), PACK_OK);
        int index = 0;
        do {
            ASSERT_EQ(reader.readEntryInfo(), PACK_OK);
            PackEntryInfo info = reader.currentInfo();
            std::vector<unsigned char> bytes;
            if (index++ % 2 == 0) {
                ASSERT_EQ(reader.readCompressedEntry(bytes), PACK_OK);
                ASSERT_EQ(writer.addPrecompressed(reader.currentName(), bytes.data(), bytes.size(), info.crc,
                                                  info.uncompressedSize, info.date),
                          PACK_OK);
            } else {
                ASSERT_EQ(reader.readStoredEntry(bytes), PACK_OK);
                EXPECT_EQ(bytes.size(), info.compressedSize);
                ASSERT_EQ(writer.addRawEncrypted(reader.currentName(), bytes.data(), bytes.size(), info.crc,
                                                 info.uncompressedSize, info.date),
                          PACK_OK);
            }
        } while (reader.goToNextEntry() == PACK_OK);
        ASSERT_EQ(writer.close(), PACK_OK);
    }
    ReadOutcome outcome = readEverything(copy, originalsOf(samples), folder.makeFolder("out"));
    EXPECT_EQ(outcome.failed, 0);
    EXPECT_EQ(outcome.unknownNames, 0);
    EXPECT_EQ(outcome.succeeded, 2 * static_cast<int>(samples.size()));
}

}  // namespace
}  // namespace nimbrel
