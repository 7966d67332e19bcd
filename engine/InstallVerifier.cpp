#include "engine/InstallVerifier.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "engine/FileDownloader.h"
#include "engine/PatchSignature.h"
#include "pack/PackArchive.h"
#include "pack/PackBulkReader.h"
#include "pack/PackJournal.h"
#include "pack/PackReader.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

// Far above any real list or manifest; a larger reply is refused rather than held in memory.
constexpr std::size_t kMaxTextSize = 256u << 20;
constexpr const char* kNotVerified = "The patch could not be verified.";

std::optional<std::string> fetch(const std::string& baseUrl, const std::string& name, std::string& error,
                                 const std::atomic<int>* stopFlag) {
    HttpClient client;
    client.setTimeouts(FileDownloader::timeouts());
    HttpClient::Request request;
    request.url = FileDownloader::urlFor(baseUrl, name);
    request.reload = true;
    request.stopFlag = stopFlag;
    std::string body;
    HttpClient::Handlers handlers;
    handlers.onData = [&body](const char* data, std::size_t size) {
        if (body.size() + size > kMaxTextSize) return false;
        body.append(data, size);
        return true;
    };
    const HttpClient::Result result = client.get(request, handlers);
    if (result.complete()) return body;
    error = name + " cannot be fetched from " + baseUrl + " (" +
            (result.reason.empty() ? result.error : result.reason) + ")";
    return std::nullopt;
}

// What one file or pack entry holds, or why it could not be read.
struct Digest {
    std::uint64_t size = 0;
    std::string sha256;
    std::string failure;
};

struct LooseFile {
    std::uint32_t mode = 0;
    Digest digest;
};

struct PackContents {
    std::string failure;  // the pack as a whole cannot be read
    std::map<std::string, Digest> entries;
};

void readPack(const std::string& path, PackContents& contents) {
    // Opening a pack with a journal beside it would roll the cut-off update back: a write.
    if (fs::exists(PackJournal::pathFor(path))) {
        contents.failure = "an update of it was cut off; the next patch run restores it";
        return;
    }
    PackReader reader(path);
    if (!reader.isOpen()) {
        contents.failure = "it cannot be opened as a pack";
        return;
    }
    auto take = [&contents](const std::string& name, std::span<const unsigned char> data, const std::string& failure) {
        Digest& digest = contents.entries[name];
        if (!failure.empty()) {
            digest.failure = "its bytes in the pack cannot be read (" + failure + ")";
            return;
        }
        const ManifestFile described =
            PatchSignature::describeBytes({reinterpret_cast<const char*>(data.data()), data.size()}, {});
        digest.size = described.length;
        digest.sha256 = described.sha256;
    };
    try {
        const int status = PackBulkReader::forEachEntry(reader, take);
        if (status != PACK_OK) contents.failure = "its directory is damaged (" + std::to_string(status) + ")";
    } catch (const std::bad_alloc&) {
        contents.failure = "it needs more memory than there is to read";
    }
}

Digest hashFile(const std::string& path) {
    std::optional<ManifestFile> described = PatchSignature::describeFile(path, {});
    if (!described) return Digest{0, {}, "it cannot be read"};
    return Digest{described->length, described->sha256, {}};
}

// Runs the jobs on a few threads, biggest first as given.
void runInParallel(std::vector<std::function<void()>>& jobs) {
    std::atomic<std::size_t> next{0};
    const unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 16u);
    std::vector<std::jthread> workers;
    for (unsigned i = 0; i < count; ++i)
        workers.emplace_back([&] {
            for (std::size_t job; (job = next.fetch_add(1)) < jobs.size();) jobs[job]();
        });
}

std::string octal(std::uint32_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

// The line for a file whose bytes differ from the build's, or nothing when they match.
std::optional<std::string> compareDigest(const ReleaseFile& expected, const Digest& actual, const std::string& where) {
    if (!actual.failure.empty()) return "damaged " + expected.path + where + ": " + actual.failure;
    if (actual.size != expected.size || actual.sha256 != expected.sha256)
        return "changed " + expected.path + where + ": " + std::to_string(actual.size) + " bytes, the build has " +
               std::to_string(expected.size) + " bytes of other content";
    return std::nullopt;
}

std::string keyOfFolder(const std::string& folder) {
    if (folder == "map/minimap") return GameLayout::kMinimapKey;
    std::string key = folder;
    std::replace(key.begin(), key.end(), '/', '\\');
    return key;
}

}  // namespace

std::optional<ReleaseManifest> InstallVerifier::fetchManifest(const std::string& baseUrl, const std::string& publicKey,
                                                              int version, std::string& error,
                                                              const std::atomic<int>* stopFlag) {
    const std::string name = ReleaseManifest::fileName(version);
    const ManifestFile* signedLine = nullptr;
    std::optional<PatchSignature> signature;
    if (!publicKey.empty()) {
        const std::string listName = GameLayout::kPatchListFileName;
        std::optional<std::string> list = fetch(baseUrl, listName, error, stopFlag);
        std::optional<std::string> text = list ? fetch(baseUrl, listName + PatchSignature::kSuffix, error, stopFlag) : list;
        if (!text) return std::nullopt;
        signature = PatchSignature::parse(*text);
        if (!signature || !signature->verify(*list, publicKey)) {
            error = listName + PatchSignature::kSuffix + ": " + kNotVerified;
            return std::nullopt;
        }
        if (!(signedLine = signature->find(name))) {
            error = name + ": the patch list's signature does not name it; " + kNotVerified;
            return std::nullopt;
        }
    }
    std::optional<std::string> text = fetch(baseUrl, name, error, stopFlag);
    if (!text) return std::nullopt;
    if (signedLine && *signedLine != PatchSignature::describeBytes(*text, name)) {
        error = name + ": " + kNotVerified;
        return std::nullopt;
    }
    std::optional<ReleaseManifest> manifest = ReleaseManifest::parse(*text, error);
    if (!manifest) {
        error = name + ": " + error;
        return std::nullopt;
    }
    if (manifest->version != version) {
        error = name + ": describes version " + std::to_string(manifest->version);
        return std::nullopt;
    }
    return manifest;
}

namespace {

// The game folder as it stands: loose files with their modes, folders, packs by their folder.
struct FolderState {
    std::map<std::string, LooseFile> loose;
    std::set<std::string> folders;
    std::map<std::string, PackContents> packs;
};

FolderState scanFolder(const std::string& base) {
    FolderState state;
    std::error_code ec;
    // A folder the player moved to another disk and linked back is part of the game folder.
    for (fs::recursive_directory_iterator it(base, fs::directory_options::follow_directory_symlink, ec), end;
         it != end && !ec; it.increment(ec)) {
        const std::string relative = it->path().lexically_relative(base).generic_string();
        if (ReleaseManifest::isLauncherFile(relative)) {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (::stat(it->path().c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            state.folders.insert(relative);
        } else if (const std::string folder = it->path().parent_path().string() + "/";
                   folder != base && it->path().string() == PackArchive::packPath(folder)) {
            state.packs[relative.substr(0, relative.rfind('/'))];
        } else {
            state.loose[relative].mode = st.st_mode & 0777;
        }
    }
    return state;
}

// The line for one file of the build, or nothing when the folder holds it as built; what a
// repair must do about it goes into repairs.
std::optional<std::string> judgeFile(const ReleaseFile& file, FolderState& state,
                                     std::map<std::string, std::size_t>& unreadable,
                                     InstallVerifier::Report::Repairs& repairs) {
    auto onDisk = state.loose.find(file.path);
    auto pack = file.packFolder.empty() ? state.packs.end() : state.packs.find(file.packFolder);
    std::optional<std::string> line;
    if (onDisk != state.loose.end()) {
        // A loose copy in a packed folder is what the packing pass takes in next.
        line = compareDigest(file, onDisk->second.digest, "");
        if (!line && file.packFolder.empty() && onDisk->second.mode != file.mode) {
            repairs.modes.push_back(file.path);
            return "mode " + file.path + ": " + octal(onDisk->second.mode) + ", the build has " + octal(file.mode);
        }
    } else if (pack != state.packs.end() && pack->second.entries.count(file.packedName())) {
        line = compareDigest(file, pack->second.entries.at(file.packedName()), " (in " + file.packFolder + "'s pack)");
    } else if (pack != state.packs.end() && !pack->second.failure.empty()) {
        ++unreadable[file.packFolder];  // told once, with the pack
        repairs.fetch.push_back(file.path);
        return std::nullopt;
    } else {
        line = "missing " + file.path;
    }
    if (line) repairs.fetch.push_back(file.path);
    return line;
}

}  // namespace

std::string InstallVerifier::packPathOf(const std::string& folder) const {
    return layout_.packPathForKey(keyOfFolder(folder));
}

InstallVerifier::Report InstallVerifier::compare(const ReleaseManifest& manifest) const {
    const std::string base = layout_.baseFolder();
    FolderState state = scanFolder(base);
    auto packPath = [this](const std::string& folder) { return packPathOf(folder); };

    // Every expected loose file and every pack is read once, on several threads.
    std::vector<std::function<void()>> jobs;
    // Each job holds its map element, not structured bindings: the clang that builds the fuzz
    // targets cannot capture those.
    for (auto& pack : state.packs)
        jobs.push_back([&packPath, &pack] { readPack(packPath(pack.first), pack.second); });
    for (auto& loose : state.loose)
        if (manifest.find(loose.first))
            jobs.push_back([&base, &loose] { loose.second.digest = hashFile(base + loose.first); });
    runInParallel(jobs);

    Report report;
    std::map<std::string, std::size_t> unreadable;  // pack folder -> files of the build it should hold
    for (const ReleaseFile& file : manifest.files) {
        ++report.filesChecked;
        if (std::optional<std::string> line = judgeFile(file, state, unreadable, report.repairs))
            report.differences.push_back(std::move(*line));
    }
    for (const auto& [folder, contents] : state.packs) {
        if (!contents.failure.empty()) report.repairs.damagedPacks.push_back(folder);
        if (!contents.failure.empty())
            report.differences.push_back("damaged pack " + folder + "/" + FileSystem::nameOf(packPath(folder)) + ": " +
                                         contents.failure + "; " + std::to_string(unreadable[folder]) +
                                         " files of the build are in it");
        for (const auto& [name, digest] : contents.entries)
            if (!manifest.find(folder + "/" + name) && !state.loose.count(folder + "/" + name)) {
                report.differences.push_back("extra " + folder + "/" + name + " (in " + folder + "'s pack)");
                report.repairs.extraEntries.push_back(folder + "/" + name);
            }
    }
    for (const auto& [path, file] : state.loose) {
        if (manifest.find(path)) continue;
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
        // A packed folder holds only the build's files; the game's own loose files stay the player's.
        const std::string key = keyOfFolder(folder);
        if (!folder.empty() && GameLayout::isPackedFolder(key) &&
            !GameLayout::isKeptLoose(key, path.substr(slash + 1))) {
            report.differences.push_back("extra " + path);
            report.repairs.extraFiles.push_back(path);
        } else
            report.leftAlone.push_back(path);
    }
    for (const ReleaseFolder& folder : manifest.emptyFolders)
        if (!state.folders.count(folder.path)) {
            report.differences.push_back("missing folder " + folder.path);
            report.repairs.folders.push_back(folder.path);
        }
    std::sort(report.differences.begin(), report.differences.end(),
              [](const std::string& a, const std::string& b) { return a.substr(a.find(' ')) < b.substr(b.find(' ')); });
    return report;
}

}  // namespace nimbrel
