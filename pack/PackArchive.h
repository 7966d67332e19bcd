#pragma once
// Every operation on a whole pack or archive: listing, extracting, building a folder's
// pack, updating a pack, splitting an archive in two. Progress and stop requests go through
// the callbacks given at construction. Folder arguments are full paths ending in "/"; names
// are UTF-8.
//
// A pack is updated in place: new entries are appended behind its end, then a new directory
// and end record; a journal beside it lets the next opening roll back an update that was cut
// off. When more than about a quarter of the file would then be dead (replaced entries, old
// directories), the update writes the pack afresh through its .RPAK temporary and one rename.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pack/PackResult.h"
#include "pack/PackTemporary.h"
#include "pack/PackWriter.h"

namespace nimbrel {

using NameList = std::vector<std::string>;
class AddedEntryFeed;
class PendingPackUpdates;

struct PackProgress {
    std::function<void(int percent)> report;  // may be empty: no progress
    std::function<bool()> stopRequested;      // may be empty: never stops
};

class PackArchive {
public:
    explicit PackArchive(PackProgress progress = {});
    ~PackArchive();  // waits for deferred flushes

    // From now on an in-place update returns once its entries and directory are written; the
    // flush and the journal's removal follow on another thread while the caller goes on.
    // finishDeferredUpdates() waits for them: true when every one reached the disk (one that
    // did not leaves its pack as it was). Anything that relies on a pack being on the disk
    // (writing the installed version, deleting its loose copies) must wait first.
    void deferUpdateFlushes();
    // Patch-archive entries bound for the updates to come (as updatePack's addNames and
    // sourceArchives, in the order the updates will run): their checks and encryption start now
    // and run on from one pack into the next. An update out of step simply does without.
    struct MoveList {
        NameList names;
        NameList archives;
    };
    void prefetchMoves(const std::vector<MoveList>& updates);
    // With deferred flushes: writes the journals of these packs ahead, with one flush for all,
    // so that their updates append without a flush first.
    void prepareUpdates(const std::vector<std::string>& packs);
    [[nodiscard]] bool finishDeferredUpdates();

    // "<folder>/<last component>.QPAK" and ".RPAK".
    static std::string packPath(const std::string& folder);
    static std::string tempPath(const std::string& folder);

    // Case-insensitive (multibyte-aware) membership.
    static bool isNameInList(const std::string& name, const NameList& list);
    // For each name, whether a later one of the list is the same name as isNameInList compares
    // them: a pack holds one entry per name, and the last copy is the one that counts.
    static std::vector<bool> supersededNames(const NameList& names);
    // 1 to 10,485,760 bytes.
    static bool passesSizeRule(unsigned long long size);
    // False for names holding ".RPAK", ".rpak", ".QPAK", ".qpak", ".ZIP" or ".zip".
    static bool passesNameFilter(const std::string& name);

    // sizes, when given, gets each entry's uncompressed size, in the order of names.
    bool listEntries(const std::string& archivePath, NameList& names, std::vector<std::uint64_t>* sizes = nullptr);
    bool containsEntryText(const std::string& archivePath, const std::string& text);
    bool extractEntries(const std::string& folder, const std::string& archivePath, const NameList& names,
                        bool createFolder);
    // Added entries are the staged files stagingFolder + name; or, when sourceArchives is not
    // empty, entry addNames[i] of the archive sourceArchives[i], moved over as its deflate
    // stream (decrypted, checked against its CRC, encrypted under the pack password). A name
    // given twice, or held twice by its archive, is added once: its last copy.
    PackBuildResult updatePack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                               const NameList& addNames, bool packExists, const NameList& sourceArchives = {});
    // A pack is only ever changed by appending behind its end under a journal, or replaced by
    // one rename of a complete, flushed temporary. A stop request ends the work between entries
    // with the old pack in place and no temporary.
    PackBuildResult buildPack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                              const NameList& addNames, const NameList& sourceArchives = {});
    PackBuildResult packFolder(const std::string& folder, const NameList& removeNames);
    // Entries named in removeNames or addNames go; every other entry the pack holds stays,
    // whatever its size: a file a patch delivered is never lost.
    PackBuildResult rebuildPack(const std::string& folder, const std::string& stagingFolder,
                                const NameList& removeNames, const NameList& addNames,
                                const NameList& sourceArchives = {});
    // Parts written as packs (the default) have every entry checked and under the write
    // password. Plain parts are the update step's own intermediates: each entry keeps the
    // deflate stream it came with, unchecked and unencrypted, since the update checks it
    // against its CRC anyway as it moves into the pack; that spares two passes of the
    // byte-serial cipher over the whole map patch.
    // sourceName is a name in folder, or an absolute path (a file held open since it was checked).
    // True once both parts are written whole.
    [[nodiscard]] bool splitArchive(const std::string& folder, const std::string& marker, const std::string& sourceName,
                                    const std::string& firstName, const std::string& secondName,
                                    PackWriter::Encryption parts = PackWriter::Encryption::WritePassword);
    // Loose files of the folder that have a counterpart (case-sensitive substring of an entry
    // name) in the folder's pack; returns names.size() afterwards.
    int collectSyncFiles(const std::string& folder, NameList& names);

    void postProgress(int percent);
    bool stopRequested() const;

    // Why the last extractEntries, updatePack, splitArchive or finishDeferredUpdates failed, where the cause is the
    // disk (full, read only, not ours to write); error 0 when it was not, or when it did not fail.
    const DiskWriteFailure& diskWriteFailure() const { return diskFailure_; }

private:
    struct OldPack;
    // The pack's entries as an update finds them; nothing when it cannot be read whole.
    static std::optional<OldPack> readOldPack(const std::string& pack, const NameList& removeNames,
                                              const NameList& addNames);
    // An update in place: the new entries go behind the old end under the pack's journal.
    PackBuildResult appendToPack(const std::string& pack, const OldPack& old, const std::string& stagingFolder,
                                 const NameList& addNames, const NameList& sourceArchives);
    // Keeps the first disk cause of a failing operation; other errors are not the disk's.
    void noteDiskFailure(int error, const std::string& folder);
    // Finishes a pack written afresh and gives it the pack's name, noting a disk that refused it.
    PackBuildResult placeTemporary(PackTemporary& temp, const std::string& pack, PackTemporary::Place mode,
                                   const std::string& folder);

    PackBuildResult rewritePack(const std::string& folder, const std::string& stagingFolder,
                                const NameList& removeNames, const NameList& addNames, const NameList& sourceArchives);

    std::shared_ptr<AddedEntryFeed> feedFor(const std::string& stagingFolder, const NameList& addNames,
                                            const NameList& sourceArchives);

    PackProgress progress_;
    struct Prefetch;
    std::unique_ptr<Prefetch> prefetch_;
    std::unique_ptr<PendingPackUpdates> pending_;
    DiskWriteFailure diskFailure_;
};

}  // namespace nimbrel
