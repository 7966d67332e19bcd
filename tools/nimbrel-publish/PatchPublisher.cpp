#include "tools/nimbrel-publish/PatchPublisher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "engine/GameLayout.h"
#include "engine/PatchEngine.h"
#include "engine/PatchListReader.h"
#include "engine/PatchSignature.h"
#include "pack/PackArchive.h"
#include "pack/PackReader.h"
#include "pack/PackWriter.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "tools/nimbrel-publish/ReleaseBuild.h"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

using Entries = std::vector<std::pair<std::string, BuildFile>>;  // entry name, source

constexpr std::size_t kMaxListField = 259;  // the client's fixed name fields
constexpr int kMaxClientVersion = 1999;     // the client version file has tokens for 0..1999
// Words that make a patch-list line something other than a file line, in any block.
const char* const kListWords[] = {"SELF_UPDATE", "DELETED",     "MANAGEMENT", "SHORTCUT",
                                  "CUR_VERSION", "BGN_VERSION", "[VERSION"};

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The name as the client's list and zip readers will see it: code page 949, at most 259 bytes.
bool checkListName(const std::string& name, const std::string& what, std::string& error, bool isKey = false) {
    std::optional<std::string> encoded = TextCodec::utf8ToCp949(name);
    if (!encoded) {
        error = what + " \"" + name + "\" cannot be written in the client's code page (949)";
        return false;
    }
    if (encoded->size() > kMaxListField) {
        error = what + " \"" + name + "\" is longer than 259 bytes";
        return false;
    }
    // In a key a backslash separates subfolders; in a name it would be read as one.
    if (name.find_first_of(isKey ? "\r\n" : "\r\n\\") != std::string::npos || name.find('\0') != std::string::npos) {
        error = what + " \"" + name + "\" holds a line break or a backslash";
        return false;
    }
    return true;
}

bool checkKey(const std::string& key, std::string& error) {
    if (!checkListName(key, "folder", error, true)) return false;
    for (const char* word : kListWords)
        if (key.find(word) != std::string::npos) {
            error = "folder \"" + key + "\" holds \"" + word + "\", which the patch list reads as a keyword";
            return false;
        }
    if (key.find('=') != std::string::npos) {
        error = "folder \"" + key + "\" holds \"=\", which ends a patch-list key";
        return false;
    }
    return true;
}

// The client reads some folder names as instructions: "root" and "minimap" are keys of their own,
// "update" is its download folder, and a deletion path holding "map\minimap" anywhere deletes from
// the minimap pack. A build folder spelt so would have its files put or deleted elsewhere.
bool checkFolder(const std::string& relative, std::string& error) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return true;
    const std::string top = relative.substr(0, relative.find('/'));
    const std::string folder = relative.substr(0, slash);
    if (top == "root" || top == "minimap" || top == "update" ||
        (folder.find("map/minimap") != std::string::npos && folder != "map/minimap")) {
        error = relative + ": its folder name has a meaning of its own in the patch list; it cannot be patched";
        return false;
    }
    return true;
}

// Where a file of the build goes in the patch: its folder key and its name inside the archive.
// Files of map/minimap ride in the map's archive under "minimap/", which the client's map split
// takes out; deeper folders are keys of their own, written with backslashes as the list expects.
std::pair<std::string, std::string> keyAndEntry(const std::string& relative) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        std::size_t slash = relative.find('/', start);
        parts.push_back(relative.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() == 1) return {"root", parts[0]};
    if (parts.size() == 3 && parts[0] == "map" && parts[1] == "minimap") return {"map", "minimap/" + parts[2]};
    std::string key = parts[0];
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) key += "\\" + parts[i];
    return {key, parts.back()};
}

std::string windowsPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool readPackEntry(const BuildFile& file, std::vector<unsigned char>& data, PackEntryDate& date) {
    PackReader reader(file.diskPath);
    if (!reader.isOpen()) return false;
    for (int status = reader.goToFirstEntry(); status == PACK_OK; status = reader.goToNextEntry()) {
        if (reader.readEntryInfo() != PACK_OK) return false;
        if (reader.currentName() != file.entryName) continue;
        data.resize(reader.currentInfo().uncompressedSize);
        return reader.readEntryToBuffer(data.data(), date) == PACK_OK;
    }
    return false;
}

// The one place that writes a patch archive, so that a change of the pack writer's interface
// touches nothing else. Patch archives are packs like any other: the client reads them with
// the pack reader, which takes the password from the format comment.
bool writeArchive(const std::string& path, const Entries& entries, std::string& error) {
    PackWriter writer(path);
    if (!writer.isOpen()) {
        error = path + ": cannot be created";
        return false;
    }
    for (const auto& [name, source] : entries) {
        int status;
        if (source.entryName.empty()) {
            status = writer.addFile(name, source.diskPath);
        } else {
            std::vector<unsigned char> data;
            PackEntryDate date{};
            status = readPackEntry(source, data, date) ? writer.addBuffer(name, data.data(), data.size(), date)
                                                       : PACK_INTERNAL_ERROR;
        }
        if (status != PACK_OK) {
            error = path + ": \"" + name + "\" could not be added (" + std::to_string(status) + ")";
            return false;
        }
    }
    if (writer.close() != 0) {
        error = path + ": could not be finished";
        return false;
    }
    return true;
}

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

}  // namespace

std::optional<std::string> PatchPublisher::keygen(const std::string& secretKeyFile, std::string& error) {
    PatchSignature::KeyPair pair = PatchSignature::generateKeyPair();
    if (pair.secretKey.empty()) {
        error = "no key could be made (libsodium did not start)";
        return std::nullopt;
    }
    AtomicFile file;
    const std::string text = pair.secretKey + "\n";
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
    std::string server = request.serverFolder;
    if (server.empty() || server.back() != '/') server += '/';
    if (!FileSystem::isDirectory(server)) {
        error = request.serverFolder + ": not a folder";
        return 1;
    }
    const std::string listPath = server + GameLayout::kPatchListFileName;
    const std::string signaturePath = listPath + PatchSignature::kSuffix;

    // The list as it stands, and the version it names.
    std::string oldList;
    if (fs::exists(listPath)) {
        std::optional<std::string> bytes = readFile(listPath);
        if (!bytes) {
            error = listPath + ": cannot be read";
            return 1;
        }
        oldList = std::move(*bytes);
    }
    int current = 0;
    for (std::size_t start = 0; start < oldList.size();) {
        std::size_t end = oldList.find('\n', start);
        std::string_view line = std::string_view(oldList).substr(start, end - start);
        if (line.find("[VERSION") != std::string_view::npos) break;
        if (line.find("CUR_VERSION") != std::string_view::npos) current = PatchListReader::numberAt(line, 14);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    const int version = request.version.value_or(current + 1);
    if (version <= current || version < 1 || version > kMaxClientVersion) {
        error = "version " + std::to_string(version) + " must be above the list's current version " +
                std::to_string(current) + " and at most " + std::to_string(kMaxClientVersion);
        return 1;
    }
    // A stale signature would make every launcher with the key refuse the new list.
    if (request.secretKeyFile.empty() && fs::exists(signaturePath)) {
        error = signaturePath + " exists: this server's lists are signed, so sign this release too (--sign)";
        return 1;
    }
    std::string secretKey;
    if (!request.secretKeyFile.empty()) {
        std::optional<std::string> text = readFile(request.secretKeyFile);
        if (!text) {
            error = request.secretKeyFile + ": cannot be read";
            return 1;
        }
        secretKey = text->substr(0, text->find_first_of("\r\n"));
    }

    std::optional<std::map<std::string, BuildFile>> oldFiles = ReleaseBuild::scan(request.oldBuild, error);
    if (!oldFiles) return 1;
    std::optional<std::map<std::string, BuildFile>> newFiles = ReleaseBuild::scan(request.newBuild, error);
    if (!newFiles) return 1;

    // What changed, by folder key; every name checked before anything is written.
    std::map<std::string, Entries> archives;
    for (const auto& [relative, file] : *newFiles) {
        auto old = oldFiles->find(relative);
        if (old != oldFiles->end() && old->second.size == file.size && old->second.sha256 == file.sha256) continue;
        auto [key, entry] = keyAndEntry(relative);
        if (!checkFolder(relative, error) || !checkKey(key, error) ||
            !checkListName(fs::path(relative).filename().string(), "file", error))
            return 1;
        // Files of packed folders reach the client's pack, which takes only these.
        const bool packBound = GameLayout::isPackedFolder(key) && !GameLayout::isKeptLoose(key, entry);
        if (packBound && (!PackArchive::passesSizeRule(file.size) || !PackArchive::passesNameFilter(entry))) {
            error = relative +
                    ": a packed folder holds only files of 1 to 10,485,760 bytes whose names are not "
                    "packs or zips";
            return 1;
        }
        archives[key].emplace_back(entry, file);
    }
    // Minimap files alone would leave the map split an empty map archive, which stops the client's
    // planning; then they travel under the minimap's own key.
    if (auto map = archives.find("map"); map != archives.end()) {
        bool onlyMinimap = true;
        for (const auto& [entry, file] : map->second) onlyMinimap = onlyMinimap && entry.starts_with("minimap/");
        if (onlyMinimap) {
            Entries moved;
            for (auto& [entry, file] : map->second) moved.emplace_back(entry.substr(8), file);
            archives["minimap"] = std::move(moved);
            archives.erase(map);
        }
    }
    std::vector<std::string> deleted;
    for (const auto& [relative, file] : *oldFiles) {
        if (newFiles->count(relative)) continue;
        const std::string line = windowsPath(relative);
        if (!checkFolder(relative, error)) return 1;
        if (!checkListName(fs::path(relative).filename().string(), "deleted file", error)) return 1;
        // The deletion list is read in pieces of 259 characters with trailing blanks cut off.
        if (TextCodec::utf8ToCp949(line)->size() > kMaxListField || line.back() == ' ' || line.back() == '\t') {
            error = relative + ": cannot stand on a line of the deletion list (too long or ends in a blank)";
            return 1;
        }
        deleted.push_back(line);
    }
    if (archives.empty() && deleted.empty()) {
        error = "the two builds hold the same files; there is nothing to publish";
        return 1;
    }

    // Names of the new files on the server; none may exist yet, as players' caches know them.
    std::map<std::string, std::string> archiveNames;  // key -> file name
    std::set<std::string> taken;
    for (const auto& [key, entries] : archives) {
        std::string name = key;
        for (char& c : name)
            if (c == '\\') c = '_';
        name += "_" + std::to_string(version) + ".zip";
        if (!checkListName(name, "archive", error)) return 1;
        archiveNames[key] = name;
        taken.insert(name);
    }
    const std::string deletionName = "delete_" + std::to_string(version) + ".txt";
    if (!deleted.empty()) taken.insert(deletionName);
    if (taken.size() != archiveNames.size() + (deleted.empty() ? 0 : 1)) {
        error = "two folders would share one archive name; rename one of them";
        return 1;
    }
    for (const std::string& name : taken)
        if (fs::exists(server + name)) {
            error = server + name +
                    " exists already; publish under another version (or, if version.ini does not name it, "
                    "it was left by an interrupted make: remove it)";
            return 1;
        }

    // Everything is written in a staging folder inside the server folder, so moving it into
    // place is a rename on the same file system.
    StagingFolder staging;
    std::string pattern = server + ".nimbrel-publish-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = server + ": no staging folder can be made there";
        return 1;
    }
    staging.path = pattern + "/";
    for (const auto& [key, entries] : archives)
        if (!writeArchive(staging.path + archiveNames[key], entries, error)) return 1;
    if (!deleted.empty()) {
        std::string text;
        for (const std::string& line : deleted) text += *TextCodec::utf8ToCp949(line) + "\r\n";
        if (!writeWholeFile(staging.path + deletionName, text, 0644, AtomicFile::Commit::NoReplace)) {
            error = deletionName + ": cannot be written";
            return 1;
        }
    }

    std::vector<std::string> block{"[VERSION = " + std::to_string(version) + "]"};
    for (const auto& [key, name] : archiveNames) block.push_back(*TextCodec::utf8ToCp949(key) + "=" + name);
    if (!deleted.empty()) {
        block.push_back("DELETED=" + deletionName);
        // The client enters a deletion list only when another block header follows it; repeating
        // this block's header does that now, so the deletions reach players who stop here.
        block.push_back(block.front());
    }
    const std::string newList = composeList(oldList, version, block);

    std::optional<std::string> signature;
    if (!secretKey.empty()) {
        // The manifest covers every file the list names, as the launcher's own list reader sees it.
        if (!FileSystem::createDirectory(staging.path + "update/") ||
            !writeWholeFile(staging.path + "update/version.ini", newList, 0644, AtomicFile::Commit::Replace)) {
            error = staging.path + ": cannot be written";
            return 1;
        }
        PatchEngine engine(nullptr);
        engine.initialize(staging.path);
        const PatchListReader::Reading reading = PatchListReader(engine.context(), INT_MIN).read(0);
        if (reading.result < 0) {
            error = "the new patch list cannot be read back";
            return 1;
        }
        std::vector<ManifestFile> manifest;
        std::set<std::string> listed;
        for (const PatchListEntry& entry : reading.list.entries) {
            if (!listed.insert(entry.fileName).second) continue;
            std::optional<ManifestFile> file =
                PatchSignature::describeFile(staging.path + entry.fileName, entry.fileName);
            if (!file) file = PatchSignature::describeFile(server + entry.fileName, entry.fileName);
            if (!file) {
                error = "the patch list names " + entry.fileName + ", which " + server + " lacks";
                return 1;
            }
            manifest.push_back(std::move(*file));
        }
        signature = PatchSignature::sign(newList, GameLayout::kPatchListFileName, manifest, secretKey);
        if (!signature) {
            error = request.secretKeyFile + ": not a secret key made by nimbrel-publish keygen";
            return 1;
        }
    }

    // Into place: the new files first (never over existing ones), the list and its signature
    // last, so a player never sees a list that names a file the server does not have yet.
    std::vector<std::string> placed;
    auto undo = [&] {
        for (const std::string& name : placed) ::unlink((server + name).c_str());
    };
    for (const std::string& name : taken) {
        if (!AtomicFile::renameNoReplace(staging.path + name, server + name)) {
            undo();
            error = server + name + ": cannot be put in place";
            return 1;
        }
        placed.push_back(name);
    }
    if (!writeWholeFile(listPath, newList, 0644, AtomicFile::Commit::Replace)) {
        undo();
        error = listPath + ": cannot be written";
        return 1;
    }
    if (signature && !writeWholeFile(signaturePath, *signature, 0644, AtomicFile::Commit::Replace)) {
        // The old list goes back, so the old signature still fits it.
        if (oldList.empty() ? ::unlink(listPath.c_str()) != 0
                            : !writeWholeFile(listPath, oldList, 0644, AtomicFile::Commit::Replace))
            error = listPath + ": could not be restored; ";
        undo();
        error += signaturePath + ": cannot be written";
        return 1;
    }

    report = "version " + std::to_string(version) + ":";
    for (const auto& [key, name] : archiveNames)
        report += " " + name + " (" + std::to_string(archives[key].size()) +
                  (archives[key].size() == 1 ? " file)" : " files)");
    if (!deleted.empty())
        report += " " + deletionName + " (" + std::to_string(deleted.size()) +
                  (deleted.size() == 1 ? " deletion)" : " deletions)");
    if (signature) report += ", signed";
    report += "\n";
    return 0;
}

}  // namespace nimbrel
