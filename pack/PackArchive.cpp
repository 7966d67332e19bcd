#include "pack/PackArchive.h"

#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

#include "pack/ArchiveCheck.h"
#include "pack/PackBuildPipeline.h"
#include "pack/PackEntryCopy.h"
#include "pack/PackJournal.h"
#include "pack/PackParallelExtractor.h"
#include "pack/PackPasswordTable.h"
#include "pack/PackReader.h"
#include "pack/PackTemporary.h"
#include "pack/PackWriter.h"
#include "pack/PendingPackUpdates.h"
#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

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

// Reads every entry name once. Stops quietly at a damaged entry: a later name test then only
// sees the names before it, as a scan that stopped there would have.
NameList readEntryNames(const std::string& archivePath) {
    NameList names;
    PackReader reader(archivePath);
    reader.forEachEntry([&](PackReader& r) {
        names.push_back(r.currentName());
        return PACK_OK;
    });
    return names;
}

std::vector<PackBuildPipeline::Job> stagedJobs(const std::string& stagingFolder, const NameList& addNames) {
    std::vector<PackBuildPipeline::Job> jobs;
    for (const auto& name : addNames) {
        struct stat st {};
        std::string path = stagingFolder + name;
        jobs.push_back({path, ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0});
    }
    return jobs;
}

// The entries of patch archives an update moves over, as pipeline jobs in the order of names.
// Each archive is opened and walked once; its reader stays open while the workers read from it.
std::vector<PackBuildPipeline::Job> archiveJobs(const NameList& names, const NameList& archives,
                                                std::vector<std::unique_ptr<PackReader>>& readers) {
    std::vector<PackBuildPipeline::Job> jobs(names.size());
    PackBuildPipeline::ArchiveEntry unreadable;
    unreadable.status = PACK_PARAM_ERROR;
    for (std::size_t i = 0; i < jobs.size(); ++i) jobs[i].entry = unreadable;
    std::vector<bool> done(names.size(), false);
    for (std::size_t first = 0; first < names.size() && first < archives.size(); ++first) {
        if (done[first]) continue;
        const std::string& path = archives[first];
        auto reader = std::make_unique<PackReader>(path);
        for (std::size_t i = first; i < names.size() && i < archives.size(); ++i)
            if (archives[i] == path) jobs[i].entry->status = reader->isOpen() ? PACK_END_OF_LIST : PACK_ERRNO;
        if (!reader->isOpen()) continue;
        std::unordered_multimap<std::string, std::size_t> wanted;
        for (std::size_t i = first; i < names.size() && i < archives.size(); ++i)
            if (archives[i] == path) wanted.emplace(names[i], i);
        std::vector<bool> found(names.size(), false);
        int walk = reader->forEachEntry([&](PackReader& r) {
            auto [from, to] = wanted.equal_range(ArchiveCheck::entryPath(r.currentName()));
            for (auto it = from; it != to; ++it) {
                const std::size_t i = it->second;
                // The last entry of a name is the one that moves, as it is the one an
                // extraction leaves on the disk.
                found[i] = true;
                PackBuildPipeline::ArchiveEntry& entry = *jobs[i].entry;
                entry = PackBuildPipeline::ArchiveEntry{};
                const PackEntryInfo& info = r.currentInfo();
                std::unique_ptr<EntryChain> chain;
                std::uint64_t begin = 0, end = 0;
                if (info.uncompressedSize > PackEntryCopy::kBufferSize) {
                    entry.status = PACK_PARAM_ERROR;
                } else if (int rc = r.openEntry(EntryChain::Stage::Compressed, chain); rc != PACK_OK) {
                    entry.status = rc;
                } else if (int rc = r.entryExtent(begin, end); rc != PACK_OK) {
                    entry.status = rc;
                } else {
                    entry.fd = r.fd();
                    entry.dataOffset = end - info.compressedSize;
                    entry.storedSize = info.compressedSize;
                    entry.method = info.compressionMethod;
                    entry.password = (info.flag & zip::kFlagEncrypted) ? r.entryPassword() : nullptr;
                    entry.crc = info.crc;
                    entry.size = info.uncompressedSize;
                    entry.date = info.date;
                }
                jobs[i].expectedSize = info.uncompressedSize;
            }
            return PACK_OK;
        });
        // Names after a damaged directory record are not found; the entries before it still move.
        for (std::size_t i = first; i < names.size() && i < archives.size(); ++i)
            if (!found[i] && archives[i] == path && walk != PACK_OK) jobs[i].entry->status = walk;
        for (std::size_t i = first; i < names.size() && i < archives.size(); ++i)
            if (archives[i] == path) done[i] = true;
        readers.push_back(std::move(reader));
    }
    return jobs;
}

// A UTF-8 name with every character folded as TextCodec::equalsIgnoreCase folds it (ASCII
// letters, and through the C.UTF-8 locale all others), so that names it takes for one meet
// under one key; nothing for bytes that are not UTF-8.
std::optional<std::u32string> foldedName(const std::string& name) {
    if (!TextCodec::isValidUtf8(name)) return std::nullopt;
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::u32string folded;
    for (std::size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(name[i + k]) & 0x3F);
        if (c < 0x80)
            folded.push_back(c >= 'A' && c <= 'Z' ? c + 32 : c);
        else
            folded.push_back(utf8 ? static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), utf8)) : c);
        i += length;
    }
    return folded;
}

// Of names that the game takes for one (isNameInList), the last is the one that counts, as a
// later file replaces an earlier one on the disk; the others leave `names` and, at the same
// places, `archives` (which may be empty).
void keepLastOfEachName(NameList& names, NameList& archives) {
    const std::vector<bool> superseded = PackArchive::supersededNames(names);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (superseded[i]) continue;
        if (kept != i) {
            names[kept] = std::move(names[i]);
            if (i < archives.size()) archives[kept] = std::move(archives[i]);
        }
        ++kept;
    }
    names.resize(kept);
    if (archives.size() > kept) archives.resize(kept);
}

// Zip tools take an entry's name from its local header too. A local header without the
// Unicode path field its name needs would keep that name garbled there, so such an entry is
// written afresh with a new header, never copied as a byte range. The directory's record
// tells whether the field is there; a local header with no extra field cannot hold it either.
bool lacksUnicodePath(const zip::CentralRecord& record, std::uint64_t begin, std::uint64_t end) {
    const bool bareHeader = end - begin - record.compressedSize == zip::kLocalHeaderSize + record.storedName.size();
    return (bareHeader || !record.utf8Name) && zip::unicodePathOf(record);
}

// An entry of the old pack as a rebuild sees it.
struct OldEntry {
    zip::CentralRecord record;
    std::uint64_t begin = 0, end = 0;  // local header to end of data; 0, 0 when unknown
    bool kept = false;
    bool underWritePassword = false;  // encrypted with the password new entries get
};

// What a listed name of a folder being packed does: only a step of the progress, nothing (a
// file outside the size rule), or an entry of the pack.
enum class ListedAction { Step, Skip, Add };

struct ListingPlan {
    std::vector<ListedAction> actions;  // one per listed name
    std::vector<PackBuildPipeline::Job> jobs;
};

// Consecutive kept entries that lie back to back in the old file are copied in one call.
class RunCopier {
public:
    RunCopier(PackWriter& writer, int fd) : writer_(writer), fd_(fd) {}
    void add(const OldEntry& entry) {
        if (!records_.empty() && entry.begin != end_ && flush() != PACK_OK) return;
        if (records_.empty()) begin_ = entry.begin;
        end_ = entry.end;
        zip::CentralRecord record = entry.record;
        record.localOffset = entry.begin;
        records_.push_back(std::move(record));
    }
    int flush() {
        if (records_.empty()) return result_;
        if (result_ == PACK_OK) result_ = writer_.addCopiedRun(fd_, begin_, end_, std::move(records_));
        records_.clear();
        return result_;
    }

private:
    PackWriter& writer_;
    int fd_;
    std::uint64_t begin_ = 0, end_ = 0;
    std::vector<zip::CentralRecord> records_;
    int result_ = PACK_OK;
};

}  // namespace

// The entries an update adds, in order: staged files read and deflated ahead on the workers,
// or entries of patch archives checked and encrypted ahead on the workers.
class AddedEntryFeed {
public:
    AddedEntryFeed(const std::string& stagingFolder, const NameList& names, const NameList& archives)
        : pipeline_(std::make_unique<PackBuildPipeline>(archives.empty() ? stagedJobs(stagingFolder, names)
                                                                         : archiveJobs(names, archives, readers_))) {}
    int addNext(PackWriter& writer, const std::string& name) {
        ++taken_;
        PackBuildPipeline::Result file = pipeline_->takeNext();
        if (file.status != PACK_OK) return file.status;
        if (file.encrypted)
            return writer.addRawEncrypted(name, file.deflated.data(), file.deflated.size(), file.crc, file.size,
                                          file.date);
        return writer.addPrecompressed(name, file.deflated.data(), file.deflated.size(), file.crc, file.size,
                                       file.date);
    }

    std::size_t taken() const { return taken_; }

private:
    std::vector<std::unique_ptr<PackReader>> readers_;  // outlive the pipeline that reads through them
    std::unique_ptr<PackBuildPipeline> pipeline_;
    std::size_t taken_ = 0;
};

PackArchive::PackArchive(PackProgress progress) : progress_(std::move(progress)) {}

// The moves of several updates to come, as one feed: while one pack takes its last entries,
// the workers already check and encrypt the next pack's first ones.
struct PackArchive::Prefetch {
    std::shared_ptr<AddedEntryFeed> feed;
    std::deque<MoveList> updates;  // not started yet, in order
    std::size_t nextStart = 0;     // where the first of them begins in the feed
};

PackArchive::~PackArchive() = default;

void PackArchive::prefetchMoves(const std::vector<MoveList>& updates) {
    // Each update takes one entry per name (see buildPack and rebuildPack).
    std::vector<MoveList> moves = updates;
    for (auto& move : moves) keepLastOfEachName(move.names, move.archives);
    NameList names, archives;
    for (const auto& move : moves) {
        names.insert(names.end(), move.names.begin(), move.names.end());
        archives.insert(archives.end(), move.archives.begin(), move.archives.end());
    }
    prefetch_.reset();
    if (names.empty()) return;
    prefetch_ = std::make_unique<Prefetch>();
    prefetch_->feed = std::make_shared<AddedEntryFeed>(std::string(), names, archives);
    prefetch_->updates.assign(moves.begin(), moves.end());
}

namespace {

// Decides every listed name first so that the workers can read ahead in listing order. Of
// files whose names differ only in case, the game sees one: the pack takes the last.
ListingPlan planListing(const std::string& folder, const std::vector<FileSystem::FolderEntry>& listing,
                        const NameList& removeNames, const NameList& addNames) {
    ListingPlan plan;
    plan.actions.reserve(listing.size());
    NameList listed;
    for (const auto& entry : listing) listed.push_back(entry.isDirectory ? std::string() : entry.name);
    const std::vector<bool> superseded = PackArchive::supersededNames(listed);
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const auto& entry = listing[i];
        if (entry.isDirectory || superseded[i] || PackArchive::isNameInList(entry.name, removeNames) ||
            PackArchive::isNameInList(entry.name, addNames) || !PackArchive::passesNameFilter(entry.name)) {
            plan.actions.push_back(ListedAction::Step);
        } else if (!PackArchive::passesSizeRule(entry.size)) {
            plan.actions.push_back(ListedAction::Skip);
        } else {
            plan.actions.push_back(ListedAction::Add);
            plan.jobs.push_back({folder + entry.name, entry.size});
        }
    }
    return plan;
}

}  // namespace

// The pack an update starts from: its entries, which of them stay, and whether the update can
// append to it.
struct PackArchive::OldPack {
    std::vector<OldEntry> entries;
    std::uint64_t size = 0;       // the file's size
    std::uint64_t keptBytes = 0;  // the kept entries' bytes
    bool inPlace = true;          // every kept entry can stay where it is
};

std::optional<PackArchive::OldPack> PackArchive::readOldPack(const std::string& pack, const NameList& removeNames,
                                                             const NameList& addNames) {
    OldPack old;
    PackReader reader(pack);  // rolls back an update that was cut off
    if (!reader.isOpen()) return std::nullopt;
    // A pack under another format version's password is written afresh: its entries must
    // be encrypted again, and its comment changes.
    old.inPlace = reader.formatVersion() == PackPasswordTable::kFormatVersion;
    int walk = reader.forEachEntry([&](PackReader& r) {
        OldEntry entry;
        entry.record = r.currentRecord();
        entry.kept = !isNameInList(r.currentName(), removeNames) && !isNameInList(r.currentName(), addNames);
        entry.underWritePassword = PackPasswordTable::instance().isUnderWritePassword(
            entry.record.flag & zip::kFlagEncrypted, entry.record.method, r.entryPassword());
        if (entry.kept) {
            // A damaged entry is copied as it is (byte for byte) or fails the copy below.
            if (r.entryExtent(entry.begin, entry.end) != PACK_OK || entry.begin != entry.record.localOffset) {
                entry.begin = entry.end = 0;
                old.inPlace = false;
            } else if (lacksUnicodePath(entry.record, entry.begin, entry.end)) {
                old.inPlace = false;
            }
            old.keptBytes += entry.end - entry.begin;
        }
        old.entries.push_back(std::move(entry));
        return PACK_OK;
    });
    // An empty pack or a damaged directory must not quietly shorten the pack that replaces this one.
    if (walk != PACK_OK || old.entries.empty()) return std::nullopt;
    old.size = reader.fileSize();
    return old;
}

std::shared_ptr<AddedEntryFeed> PackArchive::feedFor(const std::string& stagingFolder, const NameList& addNames,
                                                     const NameList& sourceArchives) {
    if (prefetch_ && !addNames.empty()) {
        Prefetch& ahead = *prefetch_;
        const bool inStep = !ahead.updates.empty() && ahead.updates.front().names == addNames &&
                            ahead.updates.front().archives == sourceArchives && ahead.feed->taken() == ahead.nextStart;
        if (inStep) {
            ahead.nextStart += addNames.size();
            ahead.updates.pop_front();
            return ahead.feed;
        }
        // An update out of step (an earlier one failed halfway, or another order) gets its own
        // feed; the prefetched one is of no use any more.
        prefetch_.reset();
    }
    return std::make_shared<AddedEntryFeed>(stagingFolder, addNames, sourceArchives);
}

void PackArchive::deferUpdateFlushes() {
    if (!pending_) pending_ = std::make_unique<PendingPackUpdates>();
}

void PackArchive::prepareUpdates(const std::vector<std::string>& packs) {
    if (!pending_) return;
    (void)pending_->prepare(packs);  // without, each update writes its own journal
}

bool PackArchive::finishDeferredUpdates() {
    // The prefetched feed holds the patch archives open: closed here, before they are deleted.
    prefetch_.reset();
    if (!pending_) return true;
    diskFailure_ = {};
    const bool done = pending_->wait();
    if (!done) noteDiskFailure(pending_->failure().error, pending_->failure().folder);
    pending_.reset();
    return done;
}

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

std::vector<bool> PackArchive::supersededNames(const NameList& names) {
    std::vector<bool> superseded(names.size(), false);
    // UTF-8 names meet in a map under their folded form; the rare others (bytes of the game's
    // code page from a disk listing) are compared with every name.
    std::unordered_map<std::u32string, std::size_t> last;
    std::vector<std::size_t> others;
    for (std::size_t i = names.size(); i-- > 0;) {
        if (auto key = foldedName(names[i])) {
            if (!last.emplace(std::move(*key), i).second) superseded[i] = true;
        } else {
            others.push_back(i);
        }
    }
    for (std::size_t i : others)
        for (std::size_t j = 0; j < names.size(); ++j)
            if (j != i && TextCodec::equalsIgnoreCase(names[i], names[j])) superseded[std::min(i, j)] = true;
    return superseded;
}

bool PackArchive::passesSizeRule(unsigned long long size) { return size >= 1 && size <= 10485760ull; }

bool PackArchive::passesNameFilter(const std::string& name) {
    for (const char* text : {".RPAK", ".rpak", ".QPAK", ".qpak", ".ZIP", ".zip"})
        if (name.find(text) != std::string::npos) return false;
    // A temporary left by a killed extraction is nobody's file.
    return !AtomicFile::isTemporaryName(name);
}

void PackArchive::postProgress(int percent) {
    if (progress_.report) progress_.report(percent);
}

bool PackArchive::stopRequested() const { return progress_.stopRequested && progress_.stopRequested(); }

PackBuildResult PackArchive::placeTemporary(PackTemporary& temp, const std::string& pack, PackTemporary::Place mode,
                                           const std::string& folder) {
    const PackBuildResult placed = temp.place(pack, mode);
    if (placed == PackBuildResult::NotCompleted) noteDiskFailure(temp.writer().writeError(), folder);
    return placed;
}

void PackArchive::noteDiskFailure(int error, const std::string& folder) {
    if (diskFailure_.error == 0 && DiskWriteFailure::isDiskError(error)) diskFailure_ = {error, folder};
}

bool PackArchive::listEntries(const std::string& archivePath, NameList& names, std::vector<std::uint64_t>* sizes) {
    PackReader reader(archivePath);
    if (!reader.isOpen() || reader.entryCount() == 0) return false;
    // Only the true end of the list is a complete listing; a damaged directory is not.
    return reader.forEachEntry([&](PackReader& r) {
        names.push_back(r.currentName());
        if (sizes) sizes->push_back(r.currentInfo().uncompressedSize);
        return PACK_OK;
    }) == PACK_OK;
}

bool PackArchive::containsEntryText(const std::string& archivePath, const std::string& text) {
    PackReader reader(archivePath);
    constexpr int kFound = 1;
    return reader.forEachEntry([&](PackReader& r) {
        return r.currentName().find(text) != std::string::npos ? kFound : PACK_OK;
    }) == kFound;
}

bool PackArchive::extractEntries(const std::string& folder, const std::string& archivePath, const NameList& names,
                                 bool createFolder) {
    diskFailure_ = {};
    PackReader reader(archivePath);
    if (!reader.isOpen()) return false;
    if (createFolder && !FileSystem::isDirectory(folder)) FileSystem::createDirectory(folder);

    postProgress(0);
    ProgressSteps progress(*this, names.size(), &PackArchive::postProgress);

    // The directory is scanned first; the matching entries before the first failure are then
    // extracted in parallel, and their progress is posted in entry order. Folder entries
    // (archives of a folder tree) are made as folders on the way.
    NameList wanted;
    for (const auto& name : names) wanted.push_back(ArchiveCheck::entryPath(name));
    std::vector<PackParallelExtractor::Item> items;
    std::vector<std::size_t> folderSteps;  // items extracted before each folder entry's step
    std::size_t index = 0;
    FileSystem::FolderListings listings;
    int scan = reader.forEachEntry([&](PackReader& r) {
        const std::string name = ArchiveCheck::entryPath(r.currentName());
        const std::size_t at = index++;
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) return PACK_OK;
        // The name comes from the archive, which came from the network: it may only name
        // something inside the folder. Links on the way are the player's own (a patch never
        // makes one), so they are followed.
        std::string_view path(name);
        if (r.currentInfo().isDirectory && path.size() > 1) path.remove_suffix(1);
        if (!FileSystem::isSafeRelativeName(path, true)) return PACK_PARAM_ERROR;
        // An existing file or folder is found whatever the case of its name, as the game finds it.
        const std::string target = FileSystem::resolveCase(folder, path, &listings);
        if (r.currentInfo().isDirectory) {
            if (!FileSystem::createDirectories(folder + target)) {
                noteDiskFailure(errno, folder);
                return PACK_INTERNAL_ERROR;
            }
            listings.clear();
            folderSteps.push_back(items.size());
            return PACK_OK;
        }
        // An entry in a subfolder may come without a folder entry of its own (Windows zip tools).
        if (std::size_t slash = target.rfind('/'); slash != std::string::npos) {
            const std::string parent = folder + target.substr(0, slash);
            if (!FileSystem::isDirectory(parent)) {
                if (!FileSystem::createDirectories(parent)) {
                    noteDiskFailure(errno, folder);
                    return PACK_INTERNAL_ERROR;
                }
                listings.clear();
            }
        }
        // A file the player linked to another disk is written where the link leads.
        struct stat st {};
        if (::lstat((folder + target).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            if (std::unique_ptr<char, decltype(&std::free)> real(::realpath((folder + target).c_str(), nullptr),
                                                                 &std::free);
                real) {
                items.push_back({at, real.get()});
                return PACK_OK;
            }
        items.push_back({at, target});
        return PACK_OK;
    });
    // An archive without entries has nothing to give: it counts as unreadable, as before.
    const bool scanned = scan == PACK_OK && reader.entryCount() > 0;
    reader.close();

    // The old files stay until their new content is complete and its CRC matched: the reader
    // writes a temporary and renames it over the target. A read-only file is replaced too,
    // and keeps its permission bits.
    FileSystem::clearReadOnly(folder);
    PackParallelExtractor extractor(archivePath, folder, std::move(items));
    std::size_t nextFolder = 0;
    for (std::size_t i = 0, count = extractor.size(); i <= count; ++i) {
        while (nextFolder < folderSteps.size() && folderSteps[nextFolder] == i) {
            progress.step();
            ++nextFolder;
        }
        if (i == count) break;
        if (extractor.takeNext() != PACK_OK) {
            noteDiskFailure(extractor.lastError(), folder);
            return false;
        }
        progress.step();
    }
    return scanned;
}

PackBuildResult PackArchive::updatePack(const std::string& folder, const std::string& stagingFolder,
                                        const NameList& removeNames, const NameList& addNames, bool packExists,
                                        const NameList& sourceArchives) {
    diskFailure_ = {};
    if (!FileSystem::isDirectory(folder)) FileSystem::createDirectory(folder);
    if (packExists) return rebuildPack(folder, stagingFolder, removeNames, addNames, sourceArchives);
    return buildPack(folder, stagingFolder, removeNames, addNames, sourceArchives);
}

PackBuildResult PackArchive::buildPack(const std::string& folder, const std::string& stagingFolder,
                                       const NameList& removeNames, const NameList& givenNames,
                                       const NameList& givenArchives) {
    NameList addNames = givenNames, sourceArchives = givenArchives;
    keepLastOfEachName(addNames, sourceArchives);
    auto counted = FileSystem::listFolder(folder);
    if (!counted) return PackBuildResult::FolderUnlistable;
    std::size_t total = counted->size() + addNames.size();
    auto listing = FileSystem::listFolder(folder);
    if (!listing) return PackBuildResult::FolderUnlistable;

    PackTemporary temp(folder);
    PackWriter& writer = temp.writer();
    if (!writer.isOpen()) {
        noteDiskFailure(writer.writeError(), folder);
        return PackBuildResult::CannotCreate;
    }
    postProgress(0);
    ProgressSteps progress(*this, total, &PackArchive::postProgress);

    ListingPlan plan = planListing(folder, *listing, removeNames, addNames);
    // Staged files join the folder's files in the one pipeline, whose budget bounds the memory.
    if (sourceArchives.empty())
        for (auto& job : stagedJobs(stagingFolder, addNames)) plan.jobs.push_back(std::move(job));
    auto pipeline = std::make_unique<PackBuildPipeline>(std::move(plan.jobs));
    std::shared_ptr<AddedEntryFeed> added;
    // Moves prefetched for later packs would be a second budget in flight beside this build's.
    prefetch_.reset();
    // A stop (the launcher closing) or a failure leaves no temporary behind: the workers stop
    // before the temporary goes.
    auto giveUp = [&](PackBuildResult result) {
        noteDiskFailure(writer.writeError(), folder);
        pipeline.reset();
        added.reset();
        return result;
    };
    auto addNext = [&](const std::string& name) {
        PackBuildPipeline::Result file = pipeline->takeNext();
        if (file.status != PACK_OK) return file.status;
        return writer.addPrecompressed(name, file.deflated.data(), file.deflated.size(), file.crc, file.size,
                                       file.date);
    };

    for (std::size_t i = 0; i < listing->size(); ++i) {
        if (plan.actions[i] == ListedAction::Skip) continue;
        if (stopRequested()) return giveUp(PackBuildResult::Stopped);
        if (plan.actions[i] == ListedAction::Add && addNext((*listing)[i].name) != PACK_OK)
            return giveUp(PackBuildResult::EntryFailed);
        progress.step();
    }
    if (!sourceArchives.empty()) {
        // The patch archives' entries get their own workers only once the folder's are done:
        // two budgets in flight at once would pass the memory bound.
        pipeline.reset();
        added = std::make_shared<AddedEntryFeed>(stagingFolder, addNames, sourceArchives);
    }
    for (const auto& name : addNames) {
        if (stopRequested()) return giveUp(PackBuildResult::Stopped);
        if ((added ? added->addNext(writer, name) : addNext(name)) != PACK_OK)
            return giveUp(PackBuildResult::EntryFailed);
        progress.step();
    }
    // A build runs only where there is no pack; one that appeared meanwhile (another launcher, the
    // game's own tools) is never overwritten.
    return placeTemporary(temp, packPath(folder), PackTemporary::Place::NoReplace, folder);
}

PackBuildResult PackArchive::packFolder(const std::string& folder, const NameList& removeNames) {
    return buildPack(folder, std::string(), removeNames, NameList());
}

PackBuildResult PackArchive::rebuildPack(const std::string& folder, const std::string& stagingFolder,
                                         const NameList& removeNames, const NameList& givenNames,
                                         const NameList& givenArchives) {
    NameList addNames = givenNames, sourceArchives = givenArchives;
    keepLastOfEachName(addNames, sourceArchives);
    const std::string pack = packPath(folder);
    const std::optional<OldPack> old = readOldPack(pack, removeNames, addNames);
    if (!old) return PackBuildResult::PackUnreadable;

    // Dead space after this update: everything of the old file but the kept entries.
    std::uint64_t incoming = 0;
    for (const auto& job : stagedJobs(stagingFolder, addNames)) incoming += job.expectedSize;
    const std::uint64_t dead = old->size - std::min(old->size, old->keptBytes);
    if (!old->inPlace || dead * 4 > old->size + incoming) {
        if (pending_) pending_->dropPrepared(pack);
        return rewritePack(folder, stagingFolder, removeNames, addNames, sourceArchives);
    }
    return appendToPack(pack, *old, stagingFolder, addNames, sourceArchives);
}

PackBuildResult PackArchive::appendToPack(const std::string& pack, const OldPack& old, const std::string& stagingFolder,
                                          const NameList& addNames, const NameList& sourceArchives) {
    const std::string folder = FileSystem::folderOf(pack);  // named when the disk refuses a write
    const std::vector<OldEntry>& entries = old.entries;
    const std::uint64_t oldSize = old.size;
    std::vector<zip::CentralRecord> kept;
    for (const auto& entry : entries)
        if (entry.kept) kept.push_back(entry.record);
    const std::size_t total = entries.size() + addNames.size();
    std::shared_ptr<AddedEntryFeed> added = feedFor(stagingFolder, addNames, sourceArchives);

    // The journal is on the disk before the first appended byte: from here on, every way out
    // but a finished update cuts the pack back to its old size.
    FileDescriptor updating;
    const bool journaled = pending_ && pending_->takePrepared(pack, oldSize, updating);
    if (!updating.isOpen()) updating = PackJournal::lock(pack);
    if (!updating.isOpen() || (!journaled && !PackJournal::begin(pack, oldSize))) {
        noteDiskFailure(errno, folder);
        return PackBuildResult::CannotCreate;
    }
    std::unique_ptr<PackWriter> writer = PackWriter::appendTo(pack, std::move(kept));
    auto rollBack = [&](PackBuildResult result) {
        noteDiskFailure(writer->writeError(), folder);
        added.reset();
        writer->abandon();
        updating.reset();
        PackJournal::recover(pack);
        return result;
    };
    if (!writer->isOpen()) return rollBack(PackBuildResult::CannotCreate);

    postProgress(0);
    ProgressSteps progress(*this, total, &PackArchive::postProgress);
    // Old entries stay where they are; their steps keep the progress a player has always seen.
    for (std::size_t i = 0; i < entries.size(); ++i) progress.step();
    for (const auto& name : addNames) {
        if (stopRequested()) return rollBack(PackBuildResult::Stopped);
        if (added->addNext(*writer, name) != PACK_OK) return rollBack(PackBuildResult::EntryFailed);
        progress.step();
    }
    if (stopRequested()) return rollBack(PackBuildResult::Stopped);
    if (pending_) {
        FileDescriptor written = writer->closeUnflushed();
        if (!written.isOpen()) return rollBack(PackBuildResult::NotCompleted);
        pending_->add(pack, std::move(written), std::move(updating));
        return PackBuildResult::Done;
    }
    if (writer->close() != PACK_OK) return rollBack(PackBuildResult::NotCompleted);
    // The new end record is on the disk; without the journal it is the pack.
    if (!PackJournal::finish(pack)) {
        noteDiskFailure(errno, folder);
        return rollBack(PackBuildResult::NotCompleted);
    }
    return PackBuildResult::Done;
}

PackBuildResult PackArchive::rewritePack(const std::string& folder, const std::string& stagingFolder,
                                         const NameList& removeNames, const NameList& addNames,
                                         const NameList& sourceArchives) {
    const std::string pack = packPath(folder);
    PackReader reader(pack);
    PackTemporary temp(folder);
    PackWriter& writer = temp.writer();
    if (!reader.isOpen()) return PackBuildResult::PackUnreadable;
    if (!writer.isOpen()) {
        noteDiskFailure(writer.writeError(), folder);
        return PackBuildResult::CannotCreate;
    }
    std::size_t total = static_cast<std::size_t>(reader.entryCount()) + addNames.size();

    // The staged files are read and deflated while the old entries are being copied.
    auto copy = std::make_unique<PackEntryCopy>();
    std::shared_ptr<AddedEntryFeed> added = feedFor(stagingFolder, addNames, sourceArchives);
    // A stop or a failure leaves no temporary behind: the readers stop before it goes.
    auto giveUp = [&](PackBuildResult result) {
        noteDiskFailure(writer.writeError(), folder);
        added.reset();
        return result;
    };
    if (reader.entryCount() == 0) return giveUp(PackBuildResult::PackUnreadable);

    postProgress(0);
    ProgressSteps progress(*this, total, &PackArchive::postProgress);
    RunCopier runs(writer, reader.fd());
    constexpr int kStop = 1, kCopyFailed = 2;
    int walk = reader.forEachEntry([&](PackReader& r) {
        if (stopRequested()) return kStop;
        const std::string name = r.currentName();
        if (!isNameInList(name, removeNames) && !isNameInList(name, addNames)) {
            OldEntry entry;
            entry.record = r.currentRecord();
            const bool sameKey = PackPasswordTable::instance().isUnderWritePassword(
                entry.record.flag & zip::kFlagEncrypted, entry.record.method, r.entryPassword());
            // Entries already under the write password go over as byte ranges, never decrypted;
            // others are decrypted, checked and encrypted again.
            if (sameKey && r.entryExtent(entry.begin, entry.end) == PACK_OK &&
                !lacksUnicodePath(entry.record, entry.begin, entry.end)) {
                runs.add(entry);
            } else if (runs.flush() != PACK_OK || copy->copyCurrentEntry(r, writer, name) != PACK_OK) {
                return kCopyFailed;
            }
        }
        progress.step();
        return PACK_OK;
    });
    if (walk == kStop) return giveUp(PackBuildResult::Stopped);
    if (walk == kCopyFailed || runs.flush() != PACK_OK) return giveUp(PackBuildResult::EntryFailed);
    // A damaged directory must not quietly shorten the pack that replaces this one.
    if (walk != PACK_OK) return giveUp(PackBuildResult::PackUnreadable);
    copy.reset();
    reader.close();

    for (const auto& name : addNames) {
        if (stopRequested()) return giveUp(PackBuildResult::Stopped);
        if (added->addNext(writer, name) != PACK_OK) return giveUp(PackBuildResult::EntryFailed);
        progress.step();
    }

    // The new pack goes over the old one in one rename: at every moment the folder holds one
    // complete pack, old or new, and the old one is never deleted first.
    return placeTemporary(temp, pack, PackTemporary::Place::Replace, folder);
}

bool PackArchive::splitArchive(const std::string& folder, const std::string& marker, const std::string& sourceName,
                               const std::string& firstName, const std::string& secondName,
                               PackWriter::Encryption parts) {
    diskFailure_ = {};
    PackReader reader(!sourceName.empty() && sourceName.front() == '/' ? sourceName : folder + sourceName);
    PackWriter first(folder + firstName, parts);
    PackWriter second(folder + secondName, parts);
    auto fail = [&] {
        noteDiskFailure(first.writeError(), folder);
        noteDiskFailure(second.writeError(), folder);
        return false;
    };
    if (!reader.isOpen() || !first.isOpen() || !second.isOpen()) return fail();

    PackEntryCopy copy;
    std::vector<unsigned char> deflated;
    auto copyEntry = [&](PackWriter& to, const std::string& name) {
        if (parts == PackWriter::Encryption::WritePassword ||
            reader.currentInfo().compressionMethod != zip::kMethodDeflated)
            return copy.copyCurrentEntry(reader, to, name);
        const PackEntryInfo& info = reader.currentInfo();
        // A plain stream goes from file to file in the kernel; the update step that reads the
        // part checks it against its CRC, as it checks every patch entry.
        if (!(info.flag & zip::kFlagEncrypted) && info.compressedSize > 0) {
            std::uint64_t begin = 0, end = 0;
            if (int r = reader.entryExtent(begin, end); r != PACK_OK) return r;
            return to.addDeflatedRange(name, reader.fd(), end - info.compressedSize, info.compressedSize, info.crc,
                                       info.uncompressedSize, info.date);
        }
        int r = reader.readCompressedEntry(deflated);
        return r != PACK_OK ? r
                            : to.addPrecompressed(name, deflated.data(), deflated.size(), info.crc,
                                                  info.uncompressedSize, info.date);
    };
    // Where each entry goes and under which name. Of the entries one part would hold under a
    // name twice, only the last is copied: a part holds one entry per name.
    struct Placement {
        bool second = false;
        std::string name;
        bool copied = false;
    };
    std::vector<Placement> placements;
    int scan = reader.forEachEntry([&](PackReader& r) {
        Placement& placement = placements.emplace_back();
        const std::string& name = r.currentName();
        placement.copied = passesSizeRule(r.currentInfo().uncompressedSize);
        placement.second = name.find(marker) != std::string::npos;
        const std::size_t slash = placement.second ? name.rfind('/') : std::string::npos;
        placement.name = slash == std::string::npos ? name : name.substr(slash + 1);
        return PACK_OK;
    });
    if (scan != PACK_OK || placements.empty()) return false;
    for (bool second : {false, true}) {
        NameList partNames;
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < placements.size(); ++i)
            if (placements[i].copied && placements[i].second == second) {
                partNames.push_back(placements[i].name);
                at.push_back(i);
            }
        const std::vector<bool> superseded = supersededNames(partNames);
        for (std::size_t k = 0; k < at.size(); ++k)
            if (superseded[k]) placements[at[k]].copied = false;
    }
    std::size_t index = 0;
    int walk = reader.forEachEntry([&](PackReader&) {
        const Placement& placement = placements[index++];
        if (!placement.copied) return PACK_OK;
        return copyEntry(placement.second ? second : first, placement.name);
    });
    if (walk != PACK_OK) return fail();
    reader.close();
    // Packs must have reached the disk whole before the split counts as done. Plain parts are
    // made again from their source by any later run, which never goes without them.
    auto finish = [&](PackWriter& part) {
        return parts == PackWriter::Encryption::None ? part.closeUnflushed().close() : part.close() == PACK_OK;
    };
    bool firstDone = finish(first);
    bool secondDone = finish(second);
    return (firstDone && secondDone) || fail();
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
