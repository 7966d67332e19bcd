// An archive read from afar, span by span: every entry of a pack decodes from its span alone to
// the content the pack was given; any prefix cut from the tail or a span, and any byte changed in
// an entry's data, is refused, never decoded to other bytes.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "pack/PackResult.h"
#include "pack/ZipEntrySpans.h"
#include "tests/pack/PackArchiveTestSupport.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

// The archive's directory as a remote reader gets it: its tail, then the directory's bytes.
std::optional<ZipEntrySpans> readSpans(const std::string& archive, std::size_t tailSize) {
    const std::string tail = archive.substr(archive.size() - std::min(tailSize, archive.size()));
    std::optional<zip::DirectoryPlace> place = ZipEntrySpans::locate(tail, archive.size());
    if (!place) return std::nullopt;
    std::string error;
    return ZipEntrySpans::read(*place, std::string_view(archive).substr(place->begin, place->size), error);
}

std::string decoded(const ZipEntrySpans& spans, const ZipEntrySpans::Entry& entry, std::string_view span, int& code) {
    std::vector<unsigned char> content;
    code = spans.decode(entry, span, content);
    return std::string(content.begin(), content.end());
}

TEST(ZipEntrySpansTest, EveryEntryDecodesFromItsSpanAndDamageIsRefused) {
    test::TempGameFolder folder;
    const test::PackEntries entries{{"a.dat", std::string(70000, 'a') + "end"},
                                    {"empty.dat", ""},
                                    {"b.dat", "short"},
                                    {"무기.dat", std::string(3000, 'k')}};
    ASSERT_TRUE(test::writePack(folder.file("x.QPAK"), entries));
    const std::string archive = test::fileBytes(folder.file("x.QPAK"));

    std::optional<ZipEntrySpans> spans = readSpans(archive, ZipEntrySpans::kTailSize);
    ASSERT_TRUE(spans);
    ASSERT_EQ(spans->entries().size(), entries.size());
    for (const auto& [name, content] : entries) {
        SCOPED_TRACE(name);
        const std::string& expected = content;
        const ZipEntrySpans::Entry* entry = spans->find(name);
        ASSERT_NE(entry, nullptr);
        const std::string_view span = std::string_view(archive).substr(entry->begin, entry->end - entry->begin);
        int code = -1;
        EXPECT_EQ(decoded(*spans, *entry, span, code), content);
        EXPECT_EQ(code, PACK_OK);
        // A span cut anywhere before its data ends is refused.
        for (std::size_t cut = 0; cut < span.size(); cut += 1 + span.size() / 50) {
            (void)decoded(*spans, *entry, span.substr(0, cut), code);
            EXPECT_NE(code, PACK_OK) << "cut at " << cut;
        }
        // Each changed byte of the stored data is refused, or (a padding bit of the deflate
        // stream) still gives the same content.
        const auto* local = reinterpret_cast<const unsigned char*>(span.data());
        const std::size_t dataAt = zip::kLocalHeaderSize + zip::le16(local + 26) + zip::le16(local + 28);
        for (std::size_t at = dataAt; at < dataAt + entry->record.compressedSize; at += 1 + span.size() / 40) {
            std::string changed(span);
            changed[at] ^= 0x20;
            const std::string content = decoded(*spans, *entry, changed, code);
            EXPECT_TRUE(code != PACK_OK || content == expected) << "byte " << at;
        }
    }
    // A tail too short to hold the end record finds nothing; none reads past what it was given.
    for (std::size_t tail = 0; tail < zip::kEndRecordSize; ++tail) EXPECT_FALSE(readSpans(archive, tail)) << tail;
}

}  // namespace
}  // namespace nimbrel
