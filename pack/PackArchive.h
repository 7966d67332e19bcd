#pragma once
// Every operation on a whole pack or archive: listing, extracting, building a folder's
// pack, rebuilding a pack through its .RPAK temporary, splitting an archive in two. Progress
// goes to the window given at construction as WM_PATCH_PROGRESS. Folder arguments are full
// paths ending in "/"; names are UTF-8.

#include <string>
#include <vector>

namespace nimbrel {

class PatchWindow;

using NameList = std::vector<std::string>;

class PackArchive {
public:
    explicit PackArchive(PatchWindow* window);  // window may be null: no progress

    // "<folder>/<last component>.QPAK" and ".RPAK".
    static std::string packPath(const std::string& folder);
    static std::string tempPath(const std::string& folder);

    // Case-insensitive (multibyte-aware) membership.
    static bool isNameInList(const std::string& name, const NameList& list);
    // 1 to 10,485,760 bytes.
    static bool passesSizeRule(unsigned long long size);
    // False for names holding ".RPAK", ".rpak", ".QPAK", ".qpak", ".ZIP" or ".zip".
    static bool passesNameFilter(const std::string& name);

    bool listEntries(const std::string& archivePath, NameList& names);
    bool containsEntryText(const std::string& archivePath, const std::string& text);
    bool extractEntries(const std::string& folder, const std::string& archivePath, const NameList& names,
                        bool createFolder);
    int updatePack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                   const NameList& addNames, bool packExists);
    // Results of buildPack, packFolder and rebuildPack: 1 done; -1 the finished temporary could not
    // be put in place (a build never replaces a pack that exists; the temporary stays); -2 the
    // temporary could not be completed on disk (finishing or flushing it failed; no pack changed,
    // the temporary stays); -3 an entry could not be copied or a file added; -4 the temporary
    // could not be created; -5 the old pack could not be read (rebuild); -6 the folder cannot be
    // listed (build). A pack is only ever replaced by one rename of a complete, flushed temporary.
    int buildPack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                  const NameList& addNames);
    int packFolder(const std::string& folder, const NameList& removeNames);
    int rebuildPack(const std::string& folder, const std::string& stagingFolder, const NameList& removeNames,
                    const NameList& addNames);
    int splitArchive(const std::string& folder, const std::string& marker, const std::string& sourceName,
                     const std::string& firstName, const std::string& secondName);
    // Loose files of the folder that have a counterpart (case-sensitive substring of an entry
    // name) in the folder's pack; returns names.size() afterwards.
    int collectSyncFiles(const std::string& folder, NameList& names);

private:
    void postProgress(int percent);

    PatchWindow* window_;
};

}  // namespace nimbrel
