#include "tools/nimbrel-publish/PatchPublisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "engine/PatchSignature.h"
#include "engine/ReleaseManifest.h"
#include "pack/PackReader.h"
#include "pack/PackWriter.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "tools/nimbrel-publish/PublishRules.h"
#include "tools/nimbrel-publish/ReleaseBuild.h"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

constexpr int kMaxClientVersion = 1999;  // the client version file has tokens for 0..1999

// One entry of a patch archive: a file of the new build, or an empty folder.
struct StagedEntry {
    std::string relative;
    BuildFile source;
    bool isFolder = false;
};
using Entries = std::vector<std::pair<std::string, StagedEntry>>;  // entry name, what it holds

// Everything one release publishes, worked out before anything is written.
struct Release {
    std::string server;  // ends in "/"
    std::string listPath, signaturePath;
    std::string oldList;
    int current = 0;
    int version = 0;
    std::vector<std::string> secretKeys;         // empty: unsigned; the signing key, then the rotate key
    std::optional<PatchSignature> signedBefore;  // the server's current signature, verified
    SignedRelease signedRelease;
    std::optional<ReleaseManifest> previous;  // the manifest of the list's current version
    std::map<std::string, Entries> archives;  // by folder key
    std::map<std::string, std::string> archiveNames;
    std::vector<std::string> deleted;  // deletion-list lines, backslashed
    std::string deletionName, manifestName;
    std::set<std::string> newNames;  // every file the release adds to the server folder
    ReleaseManifest manifest;
    std::string newList;
    std::optional<std::string> signature;
};

std::optional<std::string> readFile(const std::string& path) { return FileSystem::readWholeFile(path); }

bool writeWholeFile(const std::string& path, const std::string& bytes, mode_t mode, AtomicFile::Commit commit) {
    AtomicFile file;
    return file.open(path, mode) && file.write(bytes.data(), bytes.size()) && file.commit(commit);
}

// Removes the staging folder on every way out.
struct StagingFolder {
    std::string path;
    ~StagingFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

// The entries that come out of one pack of the build, by their name there: each pack is read
// once, however many of its entries the archive takes.
using PackEntries = std::map<std::string, std::map<std::string, const std::pair<std::string, StagedEntry>*>>;

int addPackEntries(PackWriter& writer, const std::string& pack,
                   std::map<std::string, const std::pair<std::string, StagedEntry>*>& wanted) {
    PackReader reader(pack);
    if (!reader.isOpen()) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> data;
    const int status = reader.forEachEntry([&](PackReader& entry) {
        if (entry.readEntryInfo() != PACK_OK) return PACK_BAD_ZIP_FILE;
        auto it = wanted.find(entry.currentName());
        if (it == wanted.end()) return PACK_OK;
        const auto& [name, staged] = *it->second;
        data.resize(entry.currentInfo().uncompressedSize);
        PackEntryDate date{};
        int rc = entry.readEntryToBuffer(data.data(), date);
        if (rc == PACK_OK) rc = writer.addBuffer(name, data.data(), data.size(), date);
        if (rc == PACK_OK) rc = writer.setLastEntryMode(staged.source.mode, false);
        wanted.erase(it);
        return rc;
    });
    return status != PACK_OK ? status : wanted.empty() ? PACK_OK : PACK_INTERNAL_ERROR;
}

// The one place that writes a patch archive. Patch archives are packs like any other (the
// client reads them with the pack reader, which takes the password from the format comment),
// with each entry's Unix mode, which the client gives the file it writes.
bool writeArchive(const std::string& path, const Entries& entries, std::string& error) {
    PackWriter writer(path);
    if (!writer.isOpen()) {
        error = path + ": cannot be created";
        return false;
    }
    PackEntries fromPacks;
    for (const auto& entry : entries) {
        const auto& [name, staged] = entry;
        if (!staged.isFolder && !staged.source.entryName.empty()) {
            fromPacks[staged.source.diskPath][staged.source.entryName] = &entry;
            continue;
        }
        int status = staged.isFolder ? writer.addBuffer(name, nullptr, 0, PackEntryDate{})
                                     : writer.addFile(name, staged.source.diskPath);
        if (status == PACK_OK) status = writer.setLastEntryMode(staged.source.mode, staged.isFolder);
        if (status != PACK_OK) {
            error = path + ": \"" + name + "\" could not be added (" + std::to_string(status) + ")";
            return false;
        }
    }
    for (auto& [pack, wanted] : fromPacks)
        if (const int status = addPackEntries(writer, pack, wanted); status != PACK_OK) {
            error = path + ": the entries from " + pack + " could not be added (" + std::to_string(status) + ")";
            return false;
        }
    if (writer.close() != 0) {
        error = path + ": could not be finished";
        return false;
    }
    return true;
}

// The list with CUR_VERSION set to the new version (written first when the list has none) and
// the new block appended, in the line ends the list already uses.
std::string composeList(const std::string& old, int version, const std::vector<std::string>& block) {
    const std::string eol = old.empty() || old.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    const std::string curLine = "CUR_VERSION = " + std::to_string(version);
    std::string result;
    bool replaced = false;
    std::size_t start = 0;
    while (start < old.size()) {
        std::size_t end = old.find('\n', start);
        std::string line = old.substr(start, end == std::string::npos ? std::string::npos : end + 1 - start);
        start = end == std::string::npos ? old.size() : end + 1;
        // Only a CUR_VERSION line before the first block is the list's version line.
        if (!replaced && line.find("[VERSION") != std::string::npos) {
            result = curLine + eol + result;
            replaced = true;
        } else if (!replaced && line.find("CUR_VERSION") != std::string::npos) {
            line = curLine + eol;
            replaced = true;
        }
        result += line;
    }
    if (!replaced) result = curLine + eol + result;
    if (!result.empty() && result.back() != '\n') result += eol;
    for (const std::string& line : block) result += line + eol;
    return result;
}

int listVersion(const std::string& list) {
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find('\n', start);
        std::string_view line = std::string_view(list).substr(start, end - start);
        if (line.find("[VERSION") != std::string_view::npos) break;
        if (line.find("CUR_VERSION") != std::string_view::npos) return PatchListReader::numberAt(line, 14);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return 0;
}

// A secret key file as keygen writes it. A key others can read is refused: whoever reads it can
// sign patches that every launcher runs.
std::optional<std::string> readSecretKey(const std::string& path, const std::string& passphrase, std::string& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    if ((status.st_mode & 077) != 0) {
        error = path + ": others can read this secret key; make it readable by its owner alone (chmod 600)";
        return std::nullopt;
    }
    std::optional<std::string> text = readFile(path);
    if (!text) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::string key = text->substr(0, text->find_first_of("\r\n"));
    if (PatchSignature::isSealedKey(key)) {
        if (passphrase.empty()) {
            error = path + ": sealed with a passphrase; give it in $NIMBREL_KEY_PASSPHRASE or --passphrase-file FILE";
            return std::nullopt;
        }
        std::optional<std::string> opened = PatchSignature::openSealedKey(key, passphrase);
        if (!opened) {
            error = path + ": the passphrase does not open this key";
            return std::nullopt;
        }
        key = std::move(*opened);
    }
    if (PatchSignature::publicKeyOf(key).empty()) {
        error = path + ": not a secret key made by nimbrel-publish keygen";
        return std::nullopt;
    }
    return key;
}

std::string publicKeysOf(const std::vector<std::string>& secretKeys) {
    std::string keys;
    for (const std::string& key : secretKeys) keys += (keys.empty() ? "" : ",") + PatchSignature::publicKeyOf(key);
    return keys;
}

bool readKeys(const PublishRequest& request, Release& release, std::string& error) {
    if (!request.rotateKeyFile.empty() && request.secretKeyFile.empty()) {
        error = "--rotate adds a key to the one that signs now: give that one with --sign";
        return false;
    }
    for (const std::string& keyFile : {request.secretKeyFile, request.rotateKeyFile}) {
        if (keyFile.empty()) continue;
        std::optional<std::string> key = readSecretKey(keyFile, request.passphrase, error);
        if (!key) return false;
        release.secretKeys.push_back(std::move(*key));
    }
    return true;
}

// The server's current signature, which must be by one of the keys given: a release signed with
// another key would lock out every launcher that knows only the old one.
bool readSignature(Release& release, std::string& error) {
    if (!fs::exists(release.signaturePath)) return true;
    std::optional<std::string> text = readFile(release.signaturePath);
    std::optional<PatchSignature> signature = text ? PatchSignature::parse(*text) : std::nullopt;
    if (!signature) {
        error = release.signaturePath + ": not a signature file this tool can read";
        return false;
    }
    switch (signature->check(release.oldList, publicKeysOf(release.secretKeys))) {
        case PatchSignature::Check::Good:
            break;
        case PatchSignature::Check::UnknownKey:
            error = release.signaturePath + ": signed with another key; sign with that key, and move to a new one " +
                    "with --rotate NEW_SECRET_FILE";
            return false;
        case PatchSignature::Check::Bad:
            error = release.signaturePath + ": does not match " + release.listPath +
                    "; the server folder was changed since it was signed";
            return false;
    }
    release.signedBefore = std::move(*signature);
    return true;
}

// Channel, serial and expiry of the signature about to be made. The serial is at least the time
// of signing, so it keeps growing even on a server folder started again from nothing.
bool startSignedRelease(const PublishRequest& request, Release& release, std::string& error) {
    if (request.expiresDays < 0 || request.expiresDays > 3650) {
        error = "--expires takes a number of days from 0 to 3650";
        return false;
    }
    std::string channel = request.channel;
    if (channel.empty() && release.signedBefore) channel = release.signedBefore->release().channel;
    if (channel.empty()) channel = fs::path(release.server).parent_path().filename().string();
    if (channel.empty() || channel.find_first_of(" \t\r\n") != std::string::npos) {
        error = "\"" + channel + "\" cannot name a channel; give one with --channel NAME";
        return false;
    }
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    const std::uint64_t before = release.signedBefore ? release.signedBefore->release().serial : 0;
    release.signedRelease = {channel, std::max(before + 1, now),
                             static_cast<std::int64_t>(now) + std::int64_t{request.expiresDays} * 86400};
    return true;
}

// The manifest of the list's current version, which says where each unchanged file's bytes
// live. On a signed server it counts only when the signature covers it.
bool readPreviousManifest(Release& release, std::string& error) {
    const std::string name = ReleaseManifest::fileName(release.current);
    std::optional<std::string> text = readFile(release.server + name);
    if (!text) return true;  // a server without a base: sources of unchanged files stay unknown
    if (release.signedBefore) {
        const ManifestFile* line = release.signedBefore->find(name);
        if (!line || *line != PatchSignature::describeBytes(*text, name)) {
            error = release.server + name + ": not covered by the server's signature with this key";
            return false;
        }
    }
    release.previous = ReleaseManifest::parse(*text, error);
    if (!release.previous || release.previous->version != release.current) {
        error = release.server + name + ": " + (release.previous ? "names another version" : error);
        return false;
    }
    return true;
}

// The server folder as it stands: its list, the version to publish, the key.
bool readServer(const PublishRequest& request, bool isBase, Release& release, std::string& error) {
    release.server = request.serverFolder;
    if (release.server.empty() || release.server.back() != '/') release.server += '/';
    if (!FileSystem::isDirectory(release.server)) {
        error = request.serverFolder + ": not a folder";
        return false;
    }
    release.listPath = release.server + GameLayout::kPatchListFileName;
    release.signaturePath = release.listPath + PatchSignature::kSuffix;
    if (fs::exists(release.listPath)) {
        if (isBase) {
            error = release.listPath + " exists: a base starts a new server; publish later builds with make";
            return false;
        }
        std::optional<std::string> bytes = readFile(release.listPath);
        if (!bytes) {
            error = release.listPath + ": cannot be read";
            return false;
        }
        release.oldList = std::move(*bytes);
    }
    release.current = listVersion(release.oldList);
    release.version = request.version.value_or(release.current + 1);
    const int lowest = isBase ? 0 : release.current + 1;
    if (release.version < lowest || release.version > kMaxClientVersion) {
        error = "version " + std::to_string(release.version) + " must be above the list's current version " +
                std::to_string(release.current) + " and at most " + std::to_string(kMaxClientVersion);
        return false;
    }
    // A stale signature would make every launcher with the key refuse the new list.
    if (request.secretKeyFile.empty() && fs::exists(release.signaturePath)) {
        error = release.signaturePath + " exists: this server's lists are signed, so sign this release too (--sign)";
        return false;
    }
    if (!readKeys(request, release, error)) return false;
    if (!release.secretKeys.empty() && (!readSignature(release, error) || !startSignedRelease(request, release, error)))
        return false;
    return isBase || readPreviousManifest(release, error);
}

// What changed from oldTree to newTree, by folder key: new and changed files (content, or the
// mode of a file that stays loose), new empty folders, and the deletions of files and folders
// that are gone. Every name is checked before anything is written.
bool planChanges(const BuildTree& oldTree, const BuildTree& newTree, Release& release, std::string& error) {
    for (const auto& [relative, file] : newTree.files) {
        auto old = oldTree.files.find(relative);
        const bool loose = PublishRules::packFolderOf(relative).empty();
        if (old != oldTree.files.end() && old->second.size == file.size && old->second.sha256 == file.sha256 &&
            (!loose || old->second.mode == file.mode))
            continue;
        if (!PublishRules::checkPublishedFile(relative, file.size, error)) return false;
        auto [key, entry] = PublishRules::keyAndEntry(relative);
        release.archives[key].emplace_back(entry, StagedEntry{relative, file, false});
    }
    // Empty folders travel as directory entries of the root archive, named by their whole path:
    // packs hold no folders, so no packed folder's archive carries one.
    for (const auto& [relative, mode] : newTree.folders) {
        if (!newTree.isEmptyFolder(relative) || oldTree.folders.count(relative)) continue;
        if (!PublishRules::checkFolder(relative, error) ||
            !PublishRules::checkName(relative.substr(relative.rfind('/') + 1), "folder", error))
            return false;
        release.archives[GameLayout::kRootKey].emplace_back(
            relative + "/", StagedEntry{relative, BuildFile{0, {}, mode, {}, {}}, true});
    }
    // Minimap files alone would leave the map split an empty map archive, which stops the client's
    // planning; then they travel under the minimap's own key.
    if (auto map = release.archives.find("map"); map != release.archives.end()) {
        bool onlyMinimap = true;
        for (const auto& [entry, file] : map->second) onlyMinimap = onlyMinimap && entry.starts_with("minimap/");
        if (onlyMinimap) {
            Entries moved;
            for (auto& [entry, file] : map->second) moved.emplace_back(entry.substr(8), file);
            release.archives[GameLayout::kMinimapKey] = std::move(moved);
            release.archives.erase(map);
        }
    }
    for (const auto& [relative, file] : oldTree.files) {
        if (newTree.files.count(relative)) continue;
        if (!PublishRules::checkDeletion(relative, error)) return false;
        release.deleted.push_back(PublishRules::windowsPath(relative));
    }
    // A folder that is gone goes after its files, the deepest first.
    for (auto it = oldTree.folders.rbegin(); it != oldTree.folders.rend(); ++it) {
        if (newTree.folders.count(it->first)) continue;
        if (!PublishRules::checkDeletion(it->first, error)) return false;
        release.deleted.push_back(PublishRules::windowsPath(it->first));
    }
    if (release.archives.empty() && release.deleted.empty()) {
        error = "the two builds hold the same files; there is nothing to publish";
        return false;
    }
    return true;
}

// The names of the new files on the server; none may exist yet, as players' caches know them.
bool nameFiles(Release& release, std::string& error) {
    const std::string suffix = "_" + std::to_string(release.version);
    for (const auto& [key, entries] : release.archives) {
        std::string name = key;
        for (char& c : name)
            if (c == '\\') c = '_';
        name += suffix + ".zip";
        if (!PublishRules::checkName(name, "archive", error)) return false;
        release.archiveNames[key] = name;
        release.newNames.insert(name);
    }
    release.deletionName = "delete" + suffix + ".txt";
    release.manifestName = ReleaseManifest::fileName(release.version);
    if (!release.deleted.empty()) release.newNames.insert(release.deletionName);
    release.newNames.insert(release.manifestName);
    if (release.newNames.size() != release.archiveNames.size() + (release.deleted.empty() ? 1 : 2)) {
        error = "two folders would share one archive name; rename one of them";
        return false;
    }
    for (const std::string& name : release.newNames)
        if (fs::exists(release.server + name)) {
            error = release.server + name +
                    " exists already; publish under another version (or, if version.ini does not name it, "
                    "it was left by an interrupted release: remove it)";
            return false;
        }
    return true;
}

// A build as a manifest describes it, its sources not yet known.
ReleaseManifest describeTree(const BuildTree& tree, int version) {
    ReleaseManifest manifest;
    manifest.version = version;
    for (const auto& [relative, file] : tree.files) {
        ReleaseFile& described = manifest.files.emplace_back(
            ReleaseFile{relative, PublishRules::packFolderOf(relative), file.size, file.mode, file.sha256, {}, {}});
        if (!described.packFolder.empty()) described.mode = 0644;  // packs hold no modes
    }
    for (const auto& [relative, mode] : tree.folders)
        if (tree.isEmptyFolder(relative)) manifest.emptyFolders.push_back({relative, mode});
    return manifest;
}

// OLD must be the build the server's current version describes, or the patch made against it
// would leave players somewhere else.
bool checkOldBuild(const BuildTree& oldTree, const Release& release, std::string& error) {
    if (!release.previous) return true;
    const ReleaseManifest old = describeTree(oldTree, release.current);
    std::map<std::string, std::string> described, published;  // path -> what the line says
    auto key = [](const ReleaseFile& f) {
        return std::to_string(f.size) + " " + f.sha256 + " " + std::to_string(f.mode);
    };
    for (const ReleaseFile& file : old.files) described[file.path] = key(file);
    for (const ReleaseFile& file : release.previous->files) published[file.path] = key(file);
    for (const ReleaseFolder& folder : old.emptyFolders) described[folder.path + "/"] = "folder";
    for (const ReleaseFolder& folder : release.previous->emptyFolders) published[folder.path + "/"] = "folder";
    auto [a, b] = std::mismatch(described.begin(), described.end(), published.begin(), published.end());
    if (a == described.end() && b == published.end()) return true;
    const std::string path =
        b == published.end() || (a != described.end() && a->first < b->first) ? a->first : b->first;
    error = "the old build is not version " + std::to_string(release.current) + " as " +
            ReleaseManifest::fileName(release.current) + " describes it (" + path +
            " differs); make the patch from the build that was published last";
    return false;
}

// The manifest of the new build: each file with the archive entry that now carries its bytes,
// this release's or, for a file left as it was, the one the previous manifest names.
void describeBuild(const BuildTree& newTree, Release& release) {
    std::map<std::string, std::pair<std::string, std::string>> carriers;  // path -> archive, entry
    for (const auto& [key, entries] : release.archives)
        for (const auto& [entry, staged] : entries) carriers[staged.relative] = {release.archiveNames[key], entry};
    release.manifest = describeTree(newTree, release.version);
    for (ReleaseFile& described : release.manifest.files) {
        if (auto carried = carriers.find(described.path); carried != carriers.end()) {
            described.archive = carried->second.first;
            described.entry = carried->second.second;
        } else if (const ReleaseFile* before = release.previous ? release.previous->find(described.path) : nullptr;
                   before && before->sha256 == described.sha256) {
            described.archive = before->archive;
            described.entry = before->entry;
        }
    }
}

bool stage(Release& release, const std::string& staging, std::string& error) {
    for (const auto& [key, entries] : release.archives)
        if (!writeArchive(staging + release.archiveNames[key], entries, error)) return false;
    std::string text;
    for (const std::string& line : release.deleted) text += *TextCodec::utf8ToCp949(line) + "\r\n";
    if ((!release.deleted.empty() &&
         !writeWholeFile(staging + release.deletionName, text, 0644, AtomicFile::Commit::NoReplace)) ||
        !writeWholeFile(staging + release.manifestName, release.manifest.write(), 0644,
                        AtomicFile::Commit::NoReplace)) {
        error = staging + ": cannot be written";
        return false;
    }
    std::vector<std::string> block{"[VERSION = " + std::to_string(release.version) + "]"};
    for (const auto& [key, name] : release.archiveNames) block.push_back(*TextCodec::utf8ToCp949(key) + "=" + name);
    if (!release.deleted.empty()) {
        block.push_back("DELETED=" + release.deletionName);
        // The client enters a deletion list only when another block header follows it; repeating
        // this block's header does that now, so the deletions reach players who stop here.
        block.push_back(block.front());
    }
    release.newList = composeList(release.oldList, release.version, block);
    return true;
}

// A file already on the server keeps the line the verified signature gave it, and must still
// match it: a file changed on the server since is refused, never signed anew.
bool carryForward(const Release& release, const std::string& name, std::optional<ManifestFile>& file,
                  std::string& error) {
    file = PatchSignature::describeFile(release.server + name, name);
    const ManifestFile* signedLine = release.signedBefore ? release.signedBefore->find(name) : nullptr;
    if (!file) {
        error = "the patch list names " + name + ", which " + release.server + " lacks";
        return false;
    }
    if (signedLine && *signedLine != *file) {
        error = release.server + name + ": differs from the server's signature; it was changed since it was signed";
        return false;
    }
    return true;
}

// The signature covers every file the list names, as the launcher's own list reader sees it,
// and every release manifest on the server.
bool sign(Release& release, const std::string& staging, std::string& error) {
    if (release.secretKeys.empty()) return true;
    if (!FileSystem::createDirectory(staging + "update/") ||
        !writeWholeFile(staging + "update/version.ini", release.newList, 0644, AtomicFile::Commit::Replace)) {
        error = staging + ": cannot be written";
        return false;
    }
    PatchEngine engine(nullptr);
    engine.initialize(staging);
    const PatchListReader::Reading reading = PatchListReader(engine.context(), INT_MIN).read(0);
    if (reading.result < 0) {
        error = "the new patch list cannot be read back";
        return false;
    }
    std::set<std::string> names{release.manifestName};
    for (const PatchListEntry& entry : reading.list.entries) names.insert(entry.fileName);
    for (int version = 0; version < release.version; ++version)
        if (fs::exists(release.server + ReleaseManifest::fileName(version)))
            names.insert(ReleaseManifest::fileName(version));
    std::vector<ManifestFile> files;
    for (const std::string& name : names) {
        std::optional<ManifestFile> file = PatchSignature::describeFile(staging + name, name);
        if (!file && !carryForward(release, name, file, error)) return false;
        files.push_back(std::move(*file));
    }
    release.signature = PatchSignature::sign(release.newList, GameLayout::kPatchListFileName, files,
                                             release.signedRelease, release.secretKeys);
    if (!release.signature) error = "the new patch list cannot be signed";
    return release.signature.has_value();
}

// Into place: the new files first (never over existing ones), the list and its signature
// last, so a player never sees a list that names a file the server does not have yet.
bool place(const Release& release, const std::string& staging, std::string& error) {
    std::vector<std::string> placed;
    auto undo = [&] {
        for (const std::string& name : placed) ::unlink((release.server + name).c_str());
    };
    for (const std::string& name : release.newNames) {
        if (!AtomicFile::renameNoReplace(staging + name, release.server + name)) {
            undo();
            error = release.server + name + ": cannot be put in place";
            return false;
        }
        placed.push_back(name);
    }
    if (!writeWholeFile(release.listPath, release.newList, 0644, AtomicFile::Commit::Replace)) {
        undo();
        error = release.listPath + ": cannot be written";
        return false;
    }
    if (release.signature &&
        !writeWholeFile(release.signaturePath, *release.signature, 0644, AtomicFile::Commit::Replace)) {
        // The old list goes back, so the old signature still fits it.
        if (release.oldList.empty()
                ? ::unlink(release.listPath.c_str()) != 0
                : !writeWholeFile(release.listPath, release.oldList, 0644, AtomicFile::Commit::Replace))
            error = release.listPath + ": could not be restored; ";
        undo();
        error += release.signaturePath + ": cannot be written";
        return false;
    }
    return true;
}

std::string describeRelease(const Release& release) {
    std::string report = "version " + std::to_string(release.version) + ":";
    for (const auto& [key, name] : release.archiveNames) {
        const std::size_t count = release.archives.at(key).size();
        report += " " + name + " (" + std::to_string(count) + (count == 1 ? " file)" : " files)");
    }
    if (!release.deleted.empty())
        report += " " + release.deletionName + " (" + std::to_string(release.deleted.size()) +
                  (release.deleted.size() == 1 ? " deletion)" : " deletions)");
    report += " " + release.manifestName;
    if (release.signature) report += ", signed";
    return report + "\n";
}

int publish(const PublishRequest& request, bool isBase, std::string& report, std::string& error) {
    Release release;
    if (!readServer(request, isBase, release, error)) return 1;
    std::optional<BuildTree> oldTree = isBase ? BuildTree{} : ReleaseBuild::scan(request.oldBuild, error);
    if (!oldTree || !checkOldBuild(*oldTree, release, error)) return 1;
    std::optional<BuildTree> newTree = ReleaseBuild::scan(request.newBuild, error);
    if (!newTree || !planChanges(*oldTree, *newTree, release, error) || !nameFiles(release, error)) return 1;
    describeBuild(*newTree, release);

    // Everything is written in a staging folder inside the server folder, so moving it into
    // place is a rename on the same file system.
    StagingFolder staging;
    std::string pattern = release.server + ".nimbrel-publish-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = release.server + ": no staging folder can be made there";
        return 1;
    }
    staging.path = pattern + "/";
    if (!stage(release, staging.path, error) || !sign(release, staging.path, error) ||
        !place(release, staging.path, error))
        return 1;
    report = describeRelease(release);
    return 0;
}

}  // namespace

namespace {

std::string describeSignature(const SignedRelease& signedRelease) {
    char expiry[32] = "";
    const auto expires = static_cast<std::time_t>(signedRelease.expires);
    std::tm utc{};
    if (gmtime_r(&expires, &utc)) std::strftime(expiry, sizeof expiry, "%Y-%m-%d %H:%M UTC", &utc);
    return "channel " + signedRelease.channel + ", serial " + std::to_string(signedRelease.serial) + ", expires " +
           expiry;
}

}  // namespace

int PatchPublisher::resign(const PublishRequest& request, std::string& report, std::string& error) {
    Release release;
    release.server = request.serverFolder;
    if (release.server.empty() || release.server.back() != '/') release.server += '/';
    release.listPath = release.server + GameLayout::kPatchListFileName;
    release.signaturePath = release.listPath + PatchSignature::kSuffix;
    std::optional<std::string> list = readFile(release.listPath);
    if (!list || !fs::exists(release.signaturePath)) {
        error = release.server + ": no signed patch list to sign again; publish one with base or make --sign";
        return 1;
    }
    release.oldList = std::move(*list);
    if (request.secretKeyFile.empty()) {
        error = "resign needs the key: --sign SECRET_FILE";
        return 1;
    }
    if (!readKeys(request, release, error) || !readSignature(release, error) ||
        !startSignedRelease(request, release, error))
        return 1;
    std::vector<ManifestFile> files;
    for (const ManifestFile& line : release.signedBefore->files()) {
        std::optional<ManifestFile> file;
        if (!carryForward(release, line.name, file, error)) return 1;
        files.push_back(std::move(*file));
    }
    release.signature = PatchSignature::sign(release.oldList, GameLayout::kPatchListFileName, files,
                                             release.signedRelease, release.secretKeys);
    if (!release.signature) {
        error = "the patch list cannot be signed";
        return 1;
    }
    if (!writeWholeFile(release.signaturePath, *release.signature, 0644, AtomicFile::Commit::Replace)) {
        error = release.signaturePath + ": cannot be written";
        return 1;
    }
    report = GameLayout::kPatchListFileName + std::string(" signed again: ") +
             describeSignature(release.signedRelease) + "\n";
    return 0;
}

int PatchPublisher::verify(const std::string& serverFolder, const std::string& publicKeys, std::string& report,
                           std::string& error) {
    std::string server = serverFolder;
    if (server.empty() || server.back() != '/') server += '/';
    const std::string listPath = server + GameLayout::kPatchListFileName;
    const std::string signaturePath = listPath + PatchSignature::kSuffix;
    std::optional<std::string> list = readFile(listPath);
    std::optional<std::string> text = list ? readFile(signaturePath) : std::nullopt;
    std::optional<PatchSignature> signature = text ? PatchSignature::parse(*text) : std::nullopt;
    if (!signature) {
        error = (list ? signaturePath : listPath) + ": missing or not a signature file this tool can read";
        return 1;
    }
    switch (signature->check(*list, publicKeys)) {
        case PatchSignature::Check::Good:
            break;
        case PatchSignature::Check::UnknownKey:
            error = signaturePath + ": not signed by any of the keys given";
            return 1;
        case PatchSignature::Check::Bad:
            error = signaturePath + ": does not match " + listPath;
            return 1;
    }
    for (const ManifestFile& line : signature->files()) {
        std::optional<ManifestFile> file = PatchSignature::describeFile(server + line.name, line.name);
        if (!file || *file != line) {
            error = server + line.name + (file ? ": differs from the signed manifest" : ": missing");
            return 1;
        }
    }
    if (std::time(nullptr) >= signature->release().expires) {
        error = signaturePath + ": expired (" + describeSignature(signature->release()) +
                "); launchers refuse it until it is signed again with resign";
        return 1;
    }
    report = listPath + ": " + describeSignature(signature->release()) + "; " +
             std::to_string(signature->files().size()) + " files match\n";
    return 0;
}

std::optional<std::string> PatchPublisher::keygen(const std::string& secretKeyFile, const std::string& passphrase,
                                                  std::string& error) {
    PatchSignature::KeyPair pair = PatchSignature::generateKeyPair();
    if (pair.secretKey.empty()) {
        error = "no key could be made (libsodium did not start)";
        return std::nullopt;
    }
    const std::string sealed =
        passphrase.empty() ? pair.secretKey : PatchSignature::sealSecretKey(pair.secretKey, passphrase);
    if (sealed.empty()) {
        error = "the key could not be sealed with the passphrase (not enough memory for Argon2id?)";
        return std::nullopt;
    }
    AtomicFile file;
    const std::string text = sealed + "\n";
    if (!file.open(secretKeyFile, 0600) || !file.setMode(0600) || !file.write(text.data(), text.size()) ||
        !file.commit(AtomicFile::Commit::NoReplace)) {
        error = FileSystem::fileExists(secretKeyFile) || fs::exists(secretKeyFile)
                    ? secretKeyFile + ": exists already; a secret key is never overwritten"
                    : secretKeyFile + ": cannot be written";
        return std::nullopt;
    }
    return pair.publicKey;
}

int PatchPublisher::make(const PublishRequest& request, std::string& report, std::string& error) {
    return publish(request, false, report, error);
}

int PatchPublisher::base(const PublishRequest& request, std::string& report, std::string& error) {
    return publish(request, true, report, error);
}

}  // namespace nimbrel
