#pragma once
// What a patch archive holds, read whole before anything of it is written: every entry's name,
// size and kind, or why the archive cannot be applied (damaged, or made with a method or a
// cipher we do not read). Zip tools on Windows write names with "\" between folders, bsdtar
// starts them with "./"; both are given here as plain relative paths.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nimbrel {

class ArchiveCheck {
public:
    enum class Verdict { Usable, Damaged, Unsupported };

    struct Entry {
        std::string name;  // as entryPath() gives it
        std::uint64_t size = 0;
        bool isDirectory = false;
    };
    struct Inspection {
        Verdict verdict = Verdict::Damaged;
        std::string unsupported;  // for Unsupported: the method or cipher ("bzip2", "AES", "encrypted")
        std::vector<Entry> entries;
    };

    // An archive without entries is usable and holds nothing. Entries encrypted with a pack
    // password are ours (the archive's comment names the pack format); any other encryption
    // is not.
    [[nodiscard]] static Inspection inspect(const std::string& path);

    // "\" becomes "/", and a leading "./" goes.
    static std::string entryPath(std::string_view name);

    // True for a well-formed zip that holds no entry: its end record alone, with its comment.
    static bool isArchiveWithoutEntries(const std::string& path);
};

}  // namespace nimbrel
