#include "engine/DiskSpacePlan.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

// How many bytes a patch archive's files take once extracted, per byte of archive. Game data
// (textures, sounds, maps) deflates to about half; an archive of text deflates further, and a
// run that meets a fuller disk than planned still ends cleanly (the update step names it).
constexpr std::uint64_t kUnpackedPerArchiveByte = 2;

// The nearest existing folder at or above path: a packed folder the patch makes does not exist
// yet, its disk is its parent's.
std::string existingFolder(std::string path) {
    while (!path.empty() && !FileSystem::isDirectory(path)) {
        if (path.back() == '/') path.pop_back();
        path = FileSystem::folderOf(path);
    }
    return path;
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_size);
}

std::string megabytes(std::uint64_t bytes, bool roundUp) {
    constexpr std::uint64_t kTenth = 1024 * 1024 / 10;
    const std::uint64_t tenths = roundUp ? (bytes + kTenth - 1) / kTenth : bytes / kTenth;
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%llu MB", static_cast<unsigned long long>(tenths / 10),
                  static_cast<unsigned long long>(tenths % 10));
    return text;
}

}  // namespace

DiskSpacePlan::DiskSpacePlan(const GameLayout& layout, std::string cacheFolder)
    : layout_(layout), cacheFolder_(std::move(cacheFolder)) {}

void DiskSpacePlan::need(const std::string& folder, std::uint64_t bytes) { needs_.push_back(Need{folder, bytes}); }

// The peak of one file: every fetched file stays in update/ until the version is written, so
// the peak is the sum over the run. Per file:
//  - its bytes in update/; the cache's copy is a second name of the same file where both lie on
//    one file system, else its bytes again in the cache;
//  - a map archive is split into two parts beside it in update/: its bytes once more;
//  - its files extracted into their folder (kUnpackedPerArchiveByte per byte), or, for a packed
//    folder, entries appended to the pack (its bytes, as they travel compressed) and the loose
//    files kept beside it before they move in (as extracted);
//  - a packed folder's largest rebuild: the whole pack written anew beside the old one.
void DiskSpacePlan::add(const File& file) {
    const std::string update = layout_.updateFolder();
    need(update, file.length);
    if (!cacheFolder_.empty()) need(cacheFolder_, file.length);  // merged with update/ on one disk
    if (file.deletionList) return;
    if (TextCodec::equalsIgnoreCase(file.folderKey, "map")) need(update, file.length);
    const std::string folder = layout_.folderForKey(file.folderKey);
    need(folder, file.length * kUnpackedPerArchiveByte);
    if (!GameLayout::isPackedFolder(file.folderKey)) return;
    need(folder, file.length);
    const std::uint64_t pack = fileSize(layout_.packPathForKey(file.folderKey)).value_or(0);
    auto known = std::find_if(packs_.begin(), packs_.end(), [&](const auto& p) { return p.first == folder; });
    if (known == packs_.end()) packs_.emplace_back(folder, pack);
}

std::optional<DiskSpacePlan::Shortage> DiskSpacePlan::shortage() const {
    struct Disk {
        std::string folder;
        std::uint64_t needed = 0;
        std::uint64_t cacheBytes = 0;  // of needed: the cache's, shared with update/ on one disk
        std::uint64_t updateBytes = 0;
        std::uint64_t largestPack = 0;
        std::uint64_t free = 0;
    };
    std::map<dev_t, Disk> disks;
    std::vector<dev_t> order;
    auto diskOf = [&](const std::string& folder) -> Disk* {
        const std::string existing = existingFolder(folder);
        struct stat status {};
        struct statvfs space {};
        if (existing.empty() || ::stat(existing.c_str(), &status) != 0 || ::statvfs(existing.c_str(), &space) != 0)
            return nullptr;
        auto [it, added] = disks.try_emplace(status.st_dev);
        if (added) {
            it->second.folder = folder;
            it->second.free = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
            order.push_back(status.st_dev);
        }
        return &it->second;
    };
    for (const Need& n : needs_) {
        Disk* disk = diskOf(n.folder);
        if (!disk) continue;
        disk->needed += n.bytes;
        if (n.folder == cacheFolder_) disk->cacheBytes += n.bytes;
        if (n.folder == layout_.updateFolder()) disk->updateBytes += n.bytes;
    }
    for (const auto& [folder, size] : packs_)
        if (Disk* disk = diskOf(folder)) disk->largestPack = std::max(disk->largestPack, size);
    for (dev_t id : order) {
        Disk& disk = disks[id];
        // On update/'s disk the cache's copy is the update folder's file under a second name.
        std::uint64_t needed = disk.needed + disk.largestPack;
        if (disk.updateBytes > 0 && disk.cacheBytes > 0) needed -= std::min(disk.cacheBytes, disk.updateBytes);
        if (needed > disk.free) return Shortage{disk.folder, needed, disk.free};
    }
    return std::nullopt;
}

std::string DiskSpacePlan::text(const Shortage& shortage) {
    return "needs " + megabytes(shortage.needed, true) + " on " + shortage.folder + ", " +
           megabytes(shortage.free, false) + " free";
}

}  // namespace nimbrel
