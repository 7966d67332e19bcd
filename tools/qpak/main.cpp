// qpak: packs for the release team and the tests, through the same operations the launcher
// uses. Exit codes: 0 done, 1 the operation failed, 2 the command line was wrong.

#include <malloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ConsoleProgress.h"
#include "pack/PackArchive.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/PackResult.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"

using namespace nimbrel;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: qpak list PACK\n"
    "       qpak extract PACK DIR [NAME...]\n"
    "       qpak build FOLDER\n"
    "       qpak add FOLDER STAGING NAME...\n"
    "       qpak split DIR SOURCE FIRST SECOND [MARKER]   (MARKER defaults to \"minimap/\")\n"
    "       qpak verify PACK\n"
    "       qpak password [VERSION]                       (VERSION defaults to 3)\n";

int usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "qpak: %s\n", message.c_str());
    return kExitFailed;
}

// Two writers of one pack cut it short. The launcher holds the game folder and its packed
// folders while it patches, and each writing command here holds the folder of its pack: a held
// folder is refused at once, never waited for. The hold lasts until the process ends.
bool holdFolder(const std::string& folder, FolderLock& hold) {
    if (hold.acquire(folder) != FolderLock::Result::Held) return true;
    fail(folder + " is in use by a launcher or another qpak; try again when it has finished");
    return false;
}

// The pack operations take folders ending in "/", and name a pack after the folder's last
// component, so "." or "x/.." must become the real name first.
std::string asFolder(const std::string& path) {
    std::string folder = std::filesystem::absolute(path.empty() ? "." : path).lexically_normal().string();
    if (!folder.ends_with('/')) folder += '/';
    return folder;
}

// An archive without entries is nothing but its end record; local headers in front of it mean
// the directory was lost (a truncated file), not that the archive is empty.
bool startsWithLocalHeader(const std::string& path) {
    unsigned char head[4] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return n == 4 && head[0] == 'P' && head[1] == 'K' && head[2] == 3 && head[3] == 4;
}

std::string describeHandleCode(int code) {
    switch (code) {
        case PACK_ERRNO:
            return "file I/O error";
        case PACK_END_OF_LIST:
            return "end of the entry list";
        case PACK_PARAM_ERROR:
            return "bad parameter";
        case PACK_BAD_ZIP_FILE:
            return "damaged archive";
        case PACK_INTERNAL_ERROR:
            return "cannot read or write the data";
        case PACK_CRC_ERROR:
            return "CRC mismatch (damaged data or wrong password)";
        case PACK_UNSUPPORTED:
            return "unsupported (an encryption or compression method qpak does not read)";
        default:
            return code > 0 ? "short read (damaged data or wrong password)" : "error " + std::to_string(code);
    }
}

std::string describePackResult(PackBuildResult result, const std::string& folder) {
    switch (result) {
        case PackBuildResult::Done:
            return "done";
        case PackBuildResult::NotPutInPlace:
            return "the new pack could not be put in place of " + PackArchive::packPath(folder) +
                   " (a build never replaces an existing pack); it was left at " + PackArchive::tempPath(folder);
        case PackBuildResult::NotCompleted:
            return "the new pack could not be written out completely (disk full?); " + PackArchive::packPath(folder) +
                   " is unchanged";
        case PackBuildResult::EntryFailed:
            return "an entry could not be copied or a file could not be added; the pack is unchanged";
        case PackBuildResult::CannotCreate:
            return "cannot write beside " + PackArchive::packPath(folder);
        case PackBuildResult::PackUnreadable:
            return "cannot read the pack " + PackArchive::packPath(folder);
        case PackBuildResult::FolderUnlistable:
            return "cannot list the folder " + folder;
        case PackBuildResult::Stopped:
            return "stopped; " + PackArchive::packPath(folder) + " is as it was";
    }
    return "failed with result " + std::to_string(toCode(result));
}

bool parseNumber(const char* text, long& value) {
    errno = 0;
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

int listCommand(const std::string& path) {
    PackReader reader(path);
    if (!reader.isOpen()) return fail("cannot open " + path + " as an archive");
    if (reader.entryCount() == 0 && startsWithLocalHeader(path))
        return fail(path + ": the archive's directory is missing or damaged (truncated file?)");
    std::printf("%s: format version %d, %llu entries\n", path.c_str(), reader.formatVersion(),
                static_cast<unsigned long long>(reader.entryCount()));
    if (reader.entryCount() == 0) return kExitOk;
    std::printf("%12s %12s  %-19s  %s\n", "size", "stored", "date", "name");
    int r = reader.forEachEntry([](PackReader& entry) {
        const PackEntryInfo& info = entry.currentInfo();
        std::printf("%12llu %12llu  %04u-%02u-%02u %02u:%02u:%02u  %s\n",
                    static_cast<unsigned long long>(info.uncompressedSize),
                    static_cast<unsigned long long>(info.compressedSize), info.date.tm_year, info.date.tm_mon + 1,
                    info.date.tm_mday, info.date.tm_hour, info.date.tm_min, info.date.tm_sec,
                    entry.currentName().c_str());
        return PACK_OK;
    });
    if (r != PACK_OK) return fail(path + ": " + describeHandleCode(r));
    return kExitOk;
}

int extractCommand(const std::string& path, const std::string& dir, std::vector<std::string> names) {
    PackArchive archive;
    NameList entries;
    if (!archive.listEntries(path, entries)) {
        PackReader reader(path);
        bool empty = reader.isOpen() && reader.readGlobalInfo() == PACK_OK && reader.entryCount() == 0;
        if (!empty) return fail("cannot read the entries of " + path);
        if (names.empty()) return kExitOk;
    }
    if (names.empty()) names = entries;
    for (const auto& name : names) {
        bool present = false;
        for (const auto& entry : entries) present = present || entry == name;
        if (!present) return fail(path + " has no entry named \"" + name + "\" (names are matched exactly)");
        if (!FileSystem::isSafeRelativeName(name, true))
            return fail("refusing the entry \"" + name + "\": it would be written outside " + dir);
    }
    std::string folder = asFolder(dir);
    if (!FileSystem::isDirectory(folder) && !FileSystem::createDirectories(folder))
        return fail("cannot create the folder " + folder);
    // Entries stored in subfolders need them in place; the names were checked above, and no
    // folder is made through a link that leads elsewhere.
    for (const auto& name : names) {
        if (FileSystem::passesThroughLink(folder, name))
            return fail("refusing the entry \"" + name + "\": it passes through a symbolic link in " + dir);
        std::size_t slash = name.find_last_of('/');
        if (slash != std::string::npos && !FileSystem::createDirectories(folder + name.substr(0, slash)))
            return fail("cannot create the folder " + folder + name.substr(0, slash));
    }
    ConsoleProgress progress("extracting");
    if (!PackArchive(progress.callbacks()).extractEntries(folder, path, names, true))
        return fail("extraction from " + path + " failed; files not yet replaced keep their old content");
    return kExitOk;
}

int buildCommand(const std::string& dir) {
    std::string folder = asFolder(dir);
    FolderLock hold;
    if (!holdFolder(folder, hold)) return kExitFailed;
    ConsoleProgress progress("packing");
    PackBuildResult r = PackArchive(progress.callbacks()).packFolder(folder, NameList());
    if (r != PackBuildResult::Done) return fail(describePackResult(r, folder));
    std::printf("%s\n", PackArchive::packPath(folder).c_str());
    return kExitOk;
}

int addCommand(const std::string& dir, const std::string& staging, const std::vector<std::string>& names) {
    std::string folder = asFolder(dir);
    FolderLock hold;
    if (!holdFolder(folder, hold)) return kExitFailed;
    for (const auto& name : names)
        if (!FileSystem::isSafeRelativeName(name, false))
            return fail("refusing \"" + name + "\": an added name is a plain file name");
    bool packExists = FileSystem::fileExists(PackArchive::packPath(folder));
    ConsoleProgress progress(packExists ? "updating" : "packing");
    PackBuildResult r =
        PackArchive(progress.callbacks()).updatePack(folder, asFolder(staging), NameList(), names, packExists);
    if (r != PackBuildResult::Done) return fail(describePackResult(r, folder));
    std::printf("%s\n", PackArchive::packPath(folder).c_str());
    return kExitOk;
}

int splitCommand(const std::string& dir, const std::string& source, const std::string& first, const std::string& second,
                 const std::string& marker) {
    std::string folder = asFolder(dir);
    FolderLock hold;
    if (!holdFolder(folder, hold)) return kExitFailed;
    if (!PackArchive().splitArchive(folder, marker, source, first, second))
        return fail("splitting " + folder + source + " failed");
    return kExitOk;
}

int verifyCommand(const std::string& path) {
    PackReader reader(path);
    if (!reader.isOpen()) return fail("cannot open " + path + " as an archive");
    std::uint64_t expected = reader.entryCount();
    if (expected == 0 && startsWithLocalHeader(path))
        return fail(path + ": the archive's directory is missing or damaged (truncated file?)");
    int faults = 0;
    std::vector<unsigned char> chunk(1 << 16);
    std::uint64_t checked = 0;
    // Every entry is streamed through its whole chain, so its size and CRC are checked
    // whatever its size.
    int r = reader.forEachEntry(
        [&](PackReader& entry) {
            std::unique_ptr<EntryChain> chain;
            int rc = entry.openEntry(EntryChain::Stage::Content, chain);
            while (rc == PACK_OK) {
                long long n = chain->source().read(chunk.data(), chunk.size());
                if (n <= 0) {
                    rc = static_cast<int>(n);
                    break;
                }
            }
            if (rc != PACK_OK) {
                std::fprintf(stderr, "qpak: %s: %s: %s\n", path.c_str(), entry.currentName().c_str(),
                             describeHandleCode(rc).c_str());
                ++faults;
            }
            return PACK_OK;
        },
        &checked);
    if (r != PACK_OK) return fail(path + ": entry " + std::to_string(checked + 1) + ": " + describeHandleCode(r));
    if (checked != expected)
        return fail(path + ": the directory lists " + std::to_string(expected) + " entries but " +
                    std::to_string(checked) + " were found");
    // The game finds one entry per name, compared without regard to case: a name held twice
    // leaves it reading one copy and never the other.
    NameList names;
    if (auto directory = PackReader::readDirectory(path))
        for (const auto& entry : *directory) names.push_back(entry.name);
    const std::vector<bool> superseded = PackArchive::supersededNames(names);
    int duplicates = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!superseded[i]) continue;
        std::fprintf(stderr, "qpak: %s: %s: the pack holds this name more than once\n", path.c_str(), names[i].c_str());
        ++duplicates;
    }
    if (faults > 0) return fail(path + ": " + std::to_string(faults) + " damaged entries");
    if (duplicates > 0)
        return fail(path + ": " + std::to_string(duplicates) + " entries share a name with a later one");
    std::printf("%s: format version %d, %llu entries, all CRCs match\n", path.c_str(), reader.formatVersion(),
                static_cast<unsigned long long>(checked));
    return kExitOk;
}

int passwordCommand(const char* versionText) {
    long version = PackPasswordTable::kFormatVersion;
    if (versionText && !parseNumber(versionText, version)) return usage();
    const char* password = (version >= 0 && version < PackPasswordTable::kVersionCount)
                               ? PackPasswordTable::instance().password(static_cast<int>(version))
                               : nullptr;
    if (!password) {
        std::fprintf(stderr, "qpak: format versions run from 0 to %d\n", PackPasswordTable::kVersionCount - 1);
        return kExitUsage;
    }
    std::printf("%s\n", password);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // Pack work allocates and frees buffers of up to 10 MiB on several threads. glibc would
    // raise its mmap threshold after the first such free and then keep the freed buffers in
    // per-thread heaps; a fixed threshold hands them back to the system at once.
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    if (argc < 2) return usage();
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);

    if (command == "list" && args.size() == 1) return listCommand(args[0]);
    if (command == "extract" && args.size() >= 2)
        return extractCommand(args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    if (command == "build" && args.size() == 1) return buildCommand(args[0]);
    if (command == "add" && args.size() >= 3)
        return addCommand(args[0], args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    if (command == "split" && (args.size() == 4 || args.size() == 5))
        return splitCommand(args[0], args[1], args[2], args[3], args.size() == 5 ? args[4] : "minimap/");
    if (command == "verify" && args.size() == 1) return verifyCommand(args[0]);
    if (command == "password" && args.size() <= 1) return passwordCommand(args.empty() ? nullptr : argv[2]);
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    return usage();
}
