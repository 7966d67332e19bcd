#pragma once
// The entries of an archive read from afar, over a byte source that gives ranges of the file
// (HTTP byte ranges): the directory is found from the archive's last bytes, and each entry is
// given the span of the file that holds it, from its local header up to the next entry's (or
// the directory), so that a reader fetches only the spans it needs and decodes each entry from
// its span alone: local header, then decryption under the archive's format password,
// inflation, and the CRC and size check, as PackReader reads a local archive.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pack/ZipRecords.h"

namespace nimbrel {

class ZipEntrySpans {
public:
    struct Entry {
        std::string name;  // UTF-8, as PackReader names it
        zip::CentralRecord record;
        std::uint64_t begin = 0;  // the span in the file: local header to the next entry or the directory
        std::uint64_t end = 0;
    };

    // The last bytes of the archive to fetch first: they hold its end records.
    static constexpr std::size_t kTailSize = zip::kTailSize;

    // Where the directory of a fileSize-byte archive lies, from the file's last tail.size()
    // bytes. Nothing when they hold no end record that makes sense.
    static std::optional<zip::DirectoryPlace> locate(std::string_view tail, std::uint64_t fileSize);
    // The entries from the directory's bytes; nothing, with the reason in error, for a damaged
    // directory or entries that overlap each other or the directory.
    static std::optional<ZipEntrySpans> read(const zip::DirectoryPlace& place, std::string_view directory,
                                             std::string& error);

    const std::vector<Entry>& entries() const { return entries_; }
    // The last entry of that name (the copy a pack update keeps), or null.
    const Entry* find(const std::string& name) const;
    // The entry's content from the bytes of its span: PACK_OK, or the code of the damage
    // (PACK_BAD_ZIP_FILE for a local header that disagrees with the directory, PACK_CRC_ERROR,
    // PACK_UNSUPPORTED for a method or cipher we do not read).
    [[nodiscard]] int decode(const Entry& entry, std::string_view span, std::vector<unsigned char>& content) const;

private:
    std::vector<Entry> entries_;
    int formatVersion_ = 0;
};

}  // namespace nimbrel
