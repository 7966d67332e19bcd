#pragma once
// The file-system calls the engine and the packs need: existence by opening, folder
// listing, the read-only attribute (here: the owner's write permission), forced deletion,
// and crash-safe replacement of a file. Paths are UTF-8, folders end in "/".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace nimbrel {

class FileSystem {
public:
    struct FolderEntry {
        std::string name;
        bool isDirectory = false;
        std::uint64_t size = 0;
    };

    // True when the file can be opened for reading (and is not a folder).
    static bool fileExists(const std::string& path);
    static bool isDirectory(const std::string& path);
    // A whole file's bytes; nothing, errno set, when it cannot be opened or read (a /proc file
    // of a process that ended meanwhile fails its read, and never throws).
    static std::optional<std::string> readWholeFile(const std::string& path);
    // Creates one folder level; true when it exists afterwards.
    static bool createDirectory(const std::string& path);
    // Creates the folder and every missing folder above it; true when it exists afterwards.
    static bool createDirectories(const std::string& path);

    // Every entry of a folder, "." and ".." included (a pack build's progress counts them),
    // sorted by name so that every run walks the same order. Nothing when the folder
    // cannot be listed.
    static std::optional<std::vector<FolderEntry>> listFolder(const std::string& folder);

    // A file is read-only when its owner may not write it (patches clear it before replacing).
    static bool isReadOnly(const std::string& path);
    static bool clearReadOnly(const std::string& path);
    // Clears read-only first, then deletes. True when the file was deleted.
    static bool deleteFileForce(const std::string& path);
    // deleteFileForce on each path, a few at a time: where the file system discards freed
    // blocks, each deletion waits for the disk (a millisecond for a patch archive), and those
    // waits overlap. A file that is missing or cannot be deleted is left as it is.
    static void deleteFilesForce(const std::vector<std::string>& paths);

    // Flushes a file's or a folder's contents to the disk.
    static bool syncPath(const std::string& path);
    // Flushes everything written to the file system that holds path (syncfs).
    static bool syncFileSystem(const std::string& path);
    // Renames over an existing file and makes the rename durable (the folder is flushed).
    static bool replaceFile(const std::string& from, const std::string& to);

    static std::string folderOf(const std::string& path);  // up to and including the last "/"
    static std::string nameOf(const std::string& path);    // after the last "/"

    // A name from outside (server, archive, list) may only name something inside the folder it
    // is joined to: not empty, not absolute, no drive letter, no "." or ".." component, no NUL.
    // Both "/" and "\" count as separators. With allowSubfolders false any separator refuses.
    static bool isSafeRelativeName(std::string_view name, bool allowSubfolders);
    // True when a folder on the way from `folder` to `folder + name` is a symbolic link.
    static bool passesThroughLink(const std::string& folder, std::string_view name);
    // The game runs under Wine, which finds a file whatever the case of its name: name
    // (relative, "/" or "\" between components) as it is spelt on the disk below folder, one
    // component at a time. An existing component keeps its spelling on the disk (an exact
    // match first); from the first missing one on, name keeps its own. Separators become "/".
    // Folders read once for many resolveCase calls: good while nothing is created, renamed or
    // deleted in them.
    class FolderListings {
    public:
        // The entry of `folder` whose name equals `name` but for case; nothing when none does.
        std::optional<std::string> find(const std::string& folder, const std::string& name);
        void clear() { folders_.clear(); }  // after a change to the folders

    private:
        struct Listing {
            std::unordered_multimap<std::string, std::string> byLowerAscii;
            std::vector<std::string> all;
        };
        std::unordered_map<std::string, Listing> folders_;
    };
    static std::string resolveCase(const std::string& folder, std::string_view name,
                                   FolderListings* listings = nullptr);
};

}  // namespace nimbrel
