#include "pack/PackArchive.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pack/PackBuildPipeline.h"
#include "pack/PackEntryCopy.h"
#include "pack/PackParallelExtractor.h"
#include "pack/PackReader.h"
#include "pack/PackResult.h"
#include "pack/PackWriter.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/TextCodec.h"
#include "platform/WindowMessages.h"

namespace nimbrel {
namespace {

// Percentages as the launcher has always shown them: single-precision counters, the first
// step already counting as one done.
class ProgressSteps {
public:
    ProgressSteps(PackArchive& archive, std::size_t total, void (PackArchive::*post)(int))
        : archive_(archive), total_(static_cast<float>(total)), post_(post) {}
    void step() {
        // No operation steps with a total of 0; the guard only keeps the cast defined.
        (archive_.*post_)(total_ > 0 ? static_cast<int>(done_ / total_ * 100) : 100);
        done_ += 1;
    }

private:
    PackArchive& archive_;
    float total_;
    float done_ = 1;
    void (PackArchive::*post_)(int);
};

// The finished archive must be on the disk before any rename can make it the pack: a crash
// right after the rename would otherwise leave a pack whose blocks never arrived.
bool finishTemporary(PackWriter& writer, const std::string& temp) {
    if (writer.close() != PACK_OK) return false;
    return FileSystem::syncPath(temp);
}

// Reads every entry name once. Stops quietly at a damaged entry: a later name test then only
// sees the names before it, as a scan that stopped there would have.
NameList readEntryNames(const std::string& archivePath) {
    NameList names;
    PackReader reader(archivePath);
    if (!reader.isOpen() || reader.goToFirstEntry() != PACK_OK) return names;
    do {
        if (reader.readEntryInfo() != PACK_OK) break;
        names.push_back(reader.currentName());
    } while (reader.goToNextEntry() == PACK_OK);
    return names;
}

}  // namespace

PackArchive::PackArchive(PatchWindow* window) : window_(window) {}

std::string PackArchive::packPath(const std::string& folder) {
    std::string trimmed = folder.substr(0, folder.size() - (folder.ends_with('/') ? 1 : 0));
    return folder + trimmed.substr(trimmed.rfind('/') + 1) + ".QPAK";
}

std::string PackArchive::tempPath(const std::string& folder) {
    std::string pack = packPath(folder);
    return pack.substr(0, pack.size() - 5) + ".RPAK";
}

bool PackArchive::isNameInList(const std::string& name, const NameList& list) {
    for (const auto& item : list)
        if (TextCodec::equalsIgnoreCase(name, item)) return true;
    return false;
}

bool PackArchive::passesSizeRule(unsigned long long size) { return size >= 1 && size <= 10485760ull; }

bool PackArchive::passesNameFilter(const std::string& name) {
    for (const char* text : {".RPAK", ".rpak", ".QPAK", ".qpak", ".ZIP", ".zip"})
        if (name.find(text) != std::string::npos) return false;
    return true;
}

void PackArchive::postProgress(int percent) {
    if (window_) window_->postMessage(WM_PATCH_PROGRESS, percent, 0);
}

bool PackArchive::listEntries(const std::string& archivePath, NameList& names) {
    PackReader reader(archivePath);
    if (!reader.isOpen() || reader.goToFirstEntry() != PACK_OK) return false;
    for (;;) {
        if (reader.readEntryInfo() != PACK_OK) return false;
        names.push_back(reader.currentName());
        int next = reader.goToNextEntry();
        // Only the true end of the list is a complete listing; a damaged directory is not.
        if (next == PACK_END_OF_LIST) return true;
        if (next != PACK_OK) return false;
    }
}

bool PackArchive::containsEntryText(const std::string& archivePath, const std::string& text) {
    PackReader reader(archivePath);
    if (!reader.isOpen() || reader.goToFirstEntry() != PACK_OK) return false;
    do {
        if (reader.readEntryInfo() != PACK_OK) return false;
        if (reader.currentName().find(text) != std::string::npos) return true;
    } while (reader.goToNextEntry() == PACK_OK);
    return false;
}

bool PackArchive::extractEntries(const std::string& folder, const std::string& archivePath, const NameList& names,
                                 bool createFolder) {
    PackReader reader(archivePath);
    if (!reader.isOpen()) return false;
    if (createFolder && !FileSystem::isDirectory(folder)) FileSystem::createDirectory(folder);

    postProgress(0);
    ProgressSteps progress(*this, names.size(), &PackArchive::postProgress);

    // The directory is scanned first; the matching entries before the first failure are then
    // extracted in parallel, and their progress is posted in entry order.
    std::vector<PackParallelExtractor::Item> items;
    bool scanned = false;
    (void)reader.goToFirstEntry();  // an empty archive fails at its first entry info below
    for (std::size_t index = 0;; ++index) {
        if (reader.readEntryInfo() != PACK_OK) break;
        const std::string& name = reader.currentName();
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            // The name comes from the archive, which came from the network: it may only
            // name a file inside the folder.
            if (!FileSystem::isSafeRelativeName(name, true) || FileSystem::passesThroughLink(folder, name)) break;
            items.push_back({index, name});
        }
        int next = reader.goToNextEntry();
        if (next == PACK_END_OF_LIST) scanned = true;
        if (next != PACK_OK) break;
    }
    reader.close();
    if (items.empty()) return scanned;

    // The old files stay until their new content is complete and its CRC matched: the reader
    // writes a temporary and renames it over the target.
    FileSystem::clearReadOnly(folder);
    PackParallelExtractor extractor(archivePath, folder, std::move(items));
    for (std::size_t i = 0, count = extractor.size(); i < count; ++i) {
        if (extractor.takeNext() != PACK_OK) return false;
        progress.step();
    }
    return scanned;
}

int PackArchive::updatePack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                            const NameList& addNames, bool packExists) {
    if (!FileSystem::isDirectory(folder)) FileSystem::createDirectory(folder);
    if (packExists) return rebuildPack(folder, stagingFolder, removeNames, addNames);
    return buildPack(folder, stagingFolder, removeNames, addNames);
}

int PackArchive::buildPack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                           const NameList& addNames) {
    auto counted = FileSystem::listFolder(folder);
    if (!counted) return -6;
    std::size_t total = counted->size() + addNames.size();
    auto listing = FileSystem::listFolder(folder);
    if (!listing) return -6;

    const std::string temp = tempPath(folder);
    PackWriter writer(temp);
    if (!writer.isOpen()) return -4;
    postProgress(0);
    ProgressSteps progress(*this, total, &PackArchive::postProgress);

    // Decide every listed name first so that the workers can read ahead in listing order.
    enum class Action { Step, Skip, Add };
    std::vector<Action> actions;
    std::vector<PackBuildPipeline::Job> jobs;
    actions.reserve(listing->size());
    for (const auto& entry : *listing) {
        if (entry.isDirectory || isNameInList(entry.name, removeNames) || isNameInList(entry.name, addNames) ||
            !passesNameFilter(entry.name)) {
            actions.push_back(Action::Step);
        } else if (!passesSizeRule(entry.size)) {
            actions.push_back(Action::Skip);
        } else {
            actions.push_back(Action::Add);
            jobs.push_back({folder + entry.name, entry.size});
        }
    }
    for (const auto& name : addNames) {
        struct stat st {};
        std::string path = stagingFolder + name;
        jobs.push_back({path, ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0});
    }

    PackBuildPipeline pipeline(std::move(jobs));
    auto addNext = [&](const std::string& name) {
        PackBuildPipeline::Result file = pipeline.takeNext();
        if (file.status != PACK_OK) return file.status;
        return writer.addPrecompressed(name, file.deflated.data(), file.deflated.size(), file.crc, file.size,
                                       file.date);
    };

    for (std::size_t i = 0; i < listing->size(); ++i) {
        if (actions[i] == Action::Skip) continue;
        if (actions[i] == Action::Add && addNext((*listing)[i].name) != PACK_OK) return -3;
        progress.step();
    }
    for (const auto& name : addNames) {
        if (addNext(name) != PACK_OK) return -3;
        progress.step();
    }

    if (!finishTemporary(writer, temp)) return -2;
    // A build runs only where there is no pack; one that appeared meanwhile (another launcher, the
    // game's own tools) is never overwritten.
    if (!AtomicFile::renameNoReplace(temp, packPath(folder))) return -1;
    return 1;
}

int PackArchive::packFolder(const std::string& folder, const NameList& removeNames) {
    return buildPack(folder, std::string(), removeNames, NameList());
}

int PackArchive::rebuildPack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                             const NameList& addNames) {
    const std::string pack = packPath(folder);
    const std::string temp = tempPath(folder);
    PackReader reader(pack);
    PackWriter writer(temp);
    if (!reader.isOpen()) {
        writer.close();
        return -5;
    }
    if (!writer.isOpen()) return -4;
    if (reader.readGlobalInfo() != PACK_OK) return -5;
    std::size_t total = static_cast<std::size_t>(reader.entryCount()) + addNames.size();

    // The staged files are read and deflated while the old entries are being copied.
    std::vector<PackBuildPipeline::Job> jobs;
    for (const auto& name : addNames) {
        struct stat st {};
        std::string path = stagingFolder + name;
        jobs.push_back({path, ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0});
    }
    auto copy = std::make_unique<PackEntryCopy>();
    if (reader.goToFirstEntry() != PACK_OK) return -5;
    PackBuildPipeline pipeline(std::move(jobs));

    postProgress(0);
    ProgressSteps progress(*this, total, &PackArchive::postProgress);
    for (;;) {
        if (reader.readEntryInfo() != PACK_OK) return -5;
        const std::string name = reader.currentName();
        bool dropped = isNameInList(name, removeNames) || isNameInList(name, addNames) ||
                       !passesSizeRule(reader.currentInfo().uncompressedSize);
        if (!dropped && copy->copyCurrentEntry(reader, writer, name) != PACK_OK) return -3;
        progress.step();
        int next = reader.goToNextEntry();
        if (next == PACK_END_OF_LIST) break;
        // A damaged directory must not quietly shorten the pack that replaces this one.
        if (next != PACK_OK) return -5;
    }
    copy.reset();
    reader.close();

    for (const auto& name : addNames) {
        PackBuildPipeline::Result file = pipeline.takeNext();
        if (file.status != PACK_OK) return -3;
        if (writer.addPrecompressed(name, file.deflated.data(), file.deflated.size(), file.crc, file.size, file.date) !=
            PACK_OK)
            return -3;
        progress.step();
    }

    // The new pack goes over the old one in one rename: at every moment the folder holds one
    // complete pack, old or new, and the old one is never deleted first.
    if (!finishTemporary(writer, temp)) return -2;
    if (!FileSystem::replaceFile(temp, pack)) return -1;
    return 1;
}

int PackArchive::splitArchive(const std::string& folder, const std::string& marker, const std::string& sourceName,
                              const std::string& firstName, const std::string& secondName) {
    PackReader reader(folder + sourceName);
    PackWriter first(folder + firstName);
    PackWriter second(folder + secondName);
    if (!reader.isOpen() || !first.isOpen() || !second.isOpen()) return 0;

    PackEntryCopy copy;
    if (reader.goToFirstEntry() != PACK_OK) return 0;
    for (;;) {
        if (reader.readEntryInfo() != PACK_OK) return 0;
        if (passesSizeRule(reader.currentInfo().uncompressedSize)) {
            const std::string& name = reader.currentName();
            int r;
            if (name.find(marker) != std::string::npos) {
                std::size_t slash = name.rfind('/');
                r = copy.copyCurrentEntry(reader, second, slash == std::string::npos ? name : name.substr(slash + 1));
            } else {
                r = copy.copyCurrentEntry(reader, first, name);
            }
            if (r != PACK_OK) return 0;
        }
        int next = reader.goToNextEntry();
        if (next == PACK_END_OF_LIST) break;
        if (next != PACK_OK) return 0;
    }
    reader.close();
    // Both halves must have reached the disk whole before the split counts as done.
    bool firstDone = first.close() == PACK_OK;
    bool secondDone = second.close() == PACK_OK;
    return firstDone && secondDone ? 1 : 0;
}

int PackArchive::collectSyncFiles(const std::string& folder, NameList& names) {
    auto listing = FileSystem::listFolder(folder);
    if (!listing) return 0;
    // The pack's names are read once, and only when some loose file could need them.
    std::optional<NameList> entryNames;
    for (const auto& entry : *listing) {
        if (entry.isDirectory || !passesNameFilter(entry.name) || !passesSizeRule(entry.size)) continue;
        if (!entryNames) entryNames = readEntryNames(packPath(folder));
        bool counterpart = std::any_of(entryNames->begin(), entryNames->end(), [&](const std::string& entryName) {
            return entryName.find(entry.name) != std::string::npos;
        });
        if (counterpart) names.push_back(entry.name);
    }
    return static_cast<int>(names.size());
}

}  // namespace nimbrel
