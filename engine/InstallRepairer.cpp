#include "engine/InstallRepairer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "engine/ClientVersionFile.h"
#include "engine/FileDownloader.h"
#include "engine/PatchContext.h"
#include "engine/PatchListReader.h"
#include "engine/PatchListVerifier.h"
#include "engine/PatchResult.h"
#include "engine/PatchSignature.h"
#include "pack/PackArchive.h"
#include "pack/PackJournal.h"
#include "pack/PackReader.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/HttpRangeReader.h"
#include "platform/PatchWindow.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

// Spans closer than this go in one request: a request costs about as much as this many bytes.
constexpr std::uint64_t kMergeGap = 64u << 10;
// A merged request is held in memory until its entries are decoded.
constexpr std::uint64_t kMaxRequest = 16u << 20;

bool matches(const ReleaseFile& file, const ManifestFile& described) {
    return described.length == file.size && described.sha256 == file.sha256;
}

// An earlier run's staged copy that is already the build's file.
bool isStaged(const ReleaseFile& file, const std::string& path) {
    if (!FileSystem::fileExists(path)) return false;
    std::optional<ManifestFile> described = PatchSignature::describeFile(path, {});
    return described && matches(file, *described);
}

// One request of merged spans and the entries it carries.
struct Request {
    std::string archive;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::vector<std::pair<std::string, const ZipEntrySpans::Entry*>> entries;  // manifest path, entry
};

std::vector<Request> mergeSpans(const std::string& archive, const InstallRepairer::Archive& source,
                                const ReleaseManifest& manifest) {
    std::vector<std::pair<std::string, const ZipEntrySpans::Entry*>> wanted;
    for (const std::string& path : source.files)
        wanted.emplace_back(path, source.spans->find(manifest.find(path)->entry));
    std::sort(wanted.begin(), wanted.end(),
              [](const auto& a, const auto& b) { return a.second->begin < b.second->begin; });
    std::vector<Request> requests;
    for (const auto& [path, entry] : wanted) {
        if (!requests.empty() && requests.back().entries.back().second == entry) {
            requests.back().entries.emplace_back(path, entry);  // two paths of one entry
            continue;
        }
        if (requests.empty() || entry->begin > requests.back().last + 1 + kMergeGap ||
            entry->end - requests.back().first > kMaxRequest)
            requests.push_back({archive, entry->begin, entry->end - 1, {}});
        requests.back().last = std::max(requests.back().last, entry->end - 1);
        requests.back().entries.emplace_back(path, entry);
    }
    return requests;
}

std::string stagedPath(const std::string& staging, const ReleaseFile& file) { return staging + file.path; }

}  // namespace

int InstallRepairer::fail(int result, std::string reason) {
    if (failureReason_.empty()) {
        failureReason_ = std::move(reason);
        failure_ = result;
    }
    return result;
}

namespace {

// Where an install reads the server's list: a folder of its own, so that the serial the list's
// check records lands beside version.ini only when the install is done.
std::string listFolderOf(const GameLayout& layout) { return layout.updateFolder() + "repair-list/"; }

// Copies a serial file whole, or leaves the target as it was.
bool copySerial(const std::string& from, const std::string& to) {
    if (!FileSystem::fileExists(from)) return true;
    const std::optional<std::string> text = FileSystem::readWholeFile(from);
    AtomicFile out;
    return text && out.open(to) && out.write(text->data(), text->size()) && out.commit();
}

}  // namespace

int InstallRepairer::latestVersion() {
    const std::string listFolder = listFolderOf(context_.layout);
    PatchContext list(GameLayout(listFolder), context_.dialog, context_.stopRequested);
    list.patchBaseUrl = context_.patchBaseUrl;
    list.patchPublicKey = context_.patchPublicKey;
    list.packArchive = context_.packArchive;
    // The serials this folder accepted before still bind the list.
    const std::string serial = PatchSignature::kSerialFileName;
    if (!FileSystem::createDirectories(list.layout.updateFolder()) ||
        !copySerial(context_.layout.baseFolder() + serial, listFolder + serial))
        return fail(PatchResult::kFileUnreadable, FileDownloader::writeFailureText(errno, listFolder));
    FileDownloader downloader(list);
    if (downloader.downloadFile(GameLayout::kPatchListFileName, false) < PatchResult::kOk)
        return fail(PatchResult::kListDownloadFailed, std::string(GameLayout::kPatchListFileName) +
                                                          " cannot be fetched from " + context_.patchBaseUrl + " (" +
                                                          downloader.failureReason() + ")");
    PatchListVerifier verifier(list);
    verifier.fetchSignature();
    if (verifier.verifyList(0, true) < PatchResult::kOk)
        return fail(PatchResult::kFileUnreadable, "the patch list could not be verified");
    PatchListReader::Reading reading = PatchListReader(list, 0).read(0);
    if (reading.result < PatchResult::kOk)
        return fail(reading.result, "the patch server's list names no version to install");
    return reading.list.targetVersion;
}

std::optional<InstallRepairer::Plan> InstallRepairer::plan(int version) {
    Plan plan;
    plan.version = version;
    std::string error;
    std::optional<ReleaseManifest> manifest =
        InstallVerifier::fetchManifest(context_.patchBaseUrl, context_.patchPublicKey, version, error,
                                       &context_.stopRequested);
    if (!manifest) {
        fail(PatchResult::kPatchFileMissing, error);
        return std::nullopt;
    }
    plan.manifest = std::move(*manifest);
    plan.report = InstallVerifier(context_.layout).compare(plan.manifest);
    const std::string staging = context_.layout.updateFolder() + "repair/";
    for (const std::string& path : plan.report.repairs.fetch) {
        const ReleaseFile& file = *plan.manifest.find(path);
        if (isStaged(file, stagedPath(staging, file))) continue;
        if (file.archive.empty()) {
            fail(PatchResult::kPatchFileMissing,
                 path + ": " + ReleaseManifest::fileName(version) + " names no archive that carries it");
            return std::nullopt;
        }
        ++plan.filesToFetch;
        plan.archives[file.archive].files.push_back(path);
    }
    if (plan.archives.empty()) return plan;

    // Each archive's tail, then the directories the tails do not hold whole.
    HttpRangeReader reader(FileDownloader::kConnectionsPerHost, FileDownloader::timeouts(), &context_.stopRequested,
                           FileDownloader::kAttempts, &FileDownloader::pauseBefore);
    std::vector<HttpRangeReader::Piece> tails;
    std::vector<std::string> names;
    for (const auto& [name, archive] : plan.archives) {
        tails.push_back({FileDownloader::urlFor(context_.patchBaseUrl, name), 0, 0, ZipEntrySpans::kTailSize});
        names.push_back(name);
    }
    std::vector<HttpRangeReader::Reply> replies(tails.size());
    if (reader.fetch(tails, [&](std::size_t i, HttpRangeReader::Reply& reply) { replies[i] = std::move(reply); }) !=
        HttpRangeReader::Outcome::Done) {
        fail(PatchResult::kStopped, "the repair was stopped");
        return std::nullopt;
    }
    std::vector<HttpRangeReader::Piece> directories;
    std::vector<std::pair<std::size_t, zip::DirectoryPlace>> places;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        Archive& archive = plan.archives[names[i]];
        HttpRangeReader::Reply& reply = replies[i];
        if (reply.status == HttpRangeReader::Reply::Status::RangesIgnored) continue;  // fetched whole
        if (reply.status == HttpRangeReader::Reply::Status::Failed) {
            fail(PatchResult::kPatchFileMissing, names[i] + " file download failed (" + reply.reason + ")");
            return std::nullopt;
        }
        plan.downloadBytes += reply.bytes.size();
        archive.size = reply.fileSize;
        std::optional<zip::DirectoryPlace> place = ZipEntrySpans::locate(reply.bytes, reply.fileSize);
        if (!place) {
            fail(PatchResult::kPatchFileMissing, names[i] + " is not a whole zip archive");
            return std::nullopt;
        }
        if (place->begin >= reply.offset) {
            std::string error;
            archive.spans = ZipEntrySpans::read(
                *place, std::string_view(reply.bytes).substr(place->begin - reply.offset, place->size), error);
            if (!archive.spans) {
                fail(PatchResult::kPatchFileMissing, names[i] + ": " + error);
                return std::nullopt;
            }
        } else if (place->size > 0) {
            directories.push_back({tails[i].url, place->begin, place->begin + place->size - 1, 0});
            places.emplace_back(i, *place);
        }
    }
    if (!directories.empty() && reader.fetch(directories, [&](std::size_t i, HttpRangeReader::Reply& reply) {
            const auto& [index, place] = places[i];
            if (reply.status != HttpRangeReader::Reply::Status::Bytes) return;
            plan.downloadBytes += reply.bytes.size();
            std::string ignored;
            plan.archives[names[index]].spans = ZipEntrySpans::read(place, reply.bytes, ignored);
        }) != HttpRangeReader::Outcome::Done) {
        fail(PatchResult::kStopped, "the repair was stopped");
        return std::nullopt;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        Archive& archive = plan.archives[names[i]];
        if (replies[i].status == HttpRangeReader::Reply::Status::RangesIgnored) {
            plan.downloadBytes += replies[i].fileSize;
            continue;
        }
        if (!archive.spans) {
            fail(PatchResult::kPatchFileMissing, names[i] + ": its directory cannot be read");
            return std::nullopt;
        }
        for (const std::string& path : archive.files)
            if (!archive.spans->find(plan.manifest.find(path)->entry)) {
                fail(PatchResult::kPatchFileMissing,
                     names[i] + " holds no entry " + plan.manifest.find(path)->entry + " for " + path);
                return std::nullopt;
            }
        for (const Request& request : mergeSpans(names[i], archive, plan.manifest))
            archive.spanBytes += request.last - request.first + 1;
        plan.downloadBytes += archive.spanBytes;
    }
    return plan;
}

int InstallRepairer::fetchFiles(const Plan& plan, const std::string& staging) {
    PatchWindow* window = context_.dialog;
    std::size_t done = 0;
    auto stage = [&](const std::string& path, const std::vector<unsigned char>& content) {
        const ReleaseFile& file = *plan.manifest.find(path);
        const std::string_view bytes(reinterpret_cast<const char*>(content.data()), content.size());
        if (!matches(file, PatchSignature::describeBytes(bytes, {})))
            return fail(PatchResult::kPatchFileMissing, file.archive + " carries other bytes for " + path + " than " +
                                                            ReleaseManifest::fileName(plan.version) + " describes");
        const std::string target = stagedPath(staging, file);
        AtomicFile out;
        if (!FileSystem::createDirectories(FileSystem::folderOf(target)) || !out.open(target) ||
            !out.write(content.data(), content.size()) ||
            !out.commit(AtomicFile::Commit::Replace, AtomicFile::Flush::Skip))
            return fail(PatchResult::kPatchFileMissing,
                        FileDownloader::writeFailureText(errno, FileSystem::folderOf(target)));
        if (window) {
            window->setLabelText(IDC_ITEM_LABEL, path);
            window->setLabelText(IDC_COUNTER_LABEL, std::to_string(++done) + "/" + std::to_string(plan.filesToFetch));
        }
        return PatchResult::kOk;
    };

    std::vector<Request> requests;
    for (const auto& [name, archive] : plan.archives)
        if (archive.spans)
            for (Request& request : mergeSpans(name, archive, plan.manifest)) requests.push_back(std::move(request));
    std::vector<HttpRangeReader::Piece> pieces;
    for (const Request& request : requests)
        pieces.push_back(
            {FileDownloader::urlFor(context_.patchBaseUrl, request.archive), request.first, request.last, 0});
    HttpRangeReader reader(FileDownloader::kConnectionsPerHost, FileDownloader::timeouts(), &context_.stopRequested,
                           FileDownloader::kAttempts, &FileDownloader::pauseBefore);
    const std::uint64_t total = std::max<std::uint64_t>(plan.downloadBytes, 1);
    reader.onProgress = [window, total](std::uint64_t received) {
        if (window) window->postProgress(static_cast<int>(std::min<std::uint64_t>(received * 100 / total, 100)));
    };
    std::vector<std::string> wholeArchives;
    for (const auto& [name, archive] : plan.archives)
        if (!archive.spans) wholeArchives.push_back(name);
    int result = PatchResult::kOk;
    const HttpRangeReader::Outcome outcome = reader.fetch(pieces, [&](std::size_t i, HttpRangeReader::Reply& reply) {
        const Request& request = requests[i];
        if (reply.status == HttpRangeReader::Reply::Status::RangesIgnored) {
            if (std::find(wholeArchives.begin(), wholeArchives.end(), request.archive) == wholeArchives.end())
                wholeArchives.push_back(request.archive);
            return;
        }
        if (reply.status == HttpRangeReader::Reply::Status::Failed) {
            result =
                fail(PatchResult::kPatchFileMissing, request.archive + " file download failed (" + reply.reason + ")");
            return;
        }
        const ZipEntrySpans& spans = *plan.archives.at(request.archive).spans;
        for (const auto& [path, entry] : request.entries) {
            std::vector<unsigned char> content;
            const std::string_view span =
                std::string_view(reply.bytes).substr(entry->begin - request.first, entry->end - entry->begin);
            if (const int code = spans.decode(*entry, span, content); code != 0) {
                result = fail(PatchResult::kPatchFileMissing, request.archive + ": its entry " + entry->name +
                                                                  " is damaged (" + std::to_string(code) + ")");
                continue;
            }
            if (stage(path, content) < PatchResult::kOk) result = PatchResult::kPatchFileMissing;
        }
    });
    if (outcome == HttpRangeReader::Outcome::Stopped) return PatchResult::kStopped;
    if (result < PatchResult::kOk) return result;

    // A server that does not answer ranges: the whole archive, through the downloader and its cache.
    for (const std::string& name : wholeArchives) {
        FileDownloader downloader(context_);
        PatchListEntry entry;
        entry.fileName = name;
        entry.version = plan.version;
        const int fetched = downloader.downloadPatchFiles({entry});
        if (fetched == PatchResult::kStopped) return fetched;
        if (fetched != FileDownloader::kAllFetched)
            return fail(PatchResult::kPatchFileMissing,
                        name + " file download failed (" + downloader.failureReason() + ")");
        const std::vector<std::string>& files = plan.archives.at(name).files;
        std::map<std::string, std::vector<std::string>> byEntry;  // entry -> paths it carries
        for (const std::string& path : files) byEntry[plan.manifest.find(path)->entry].push_back(path);
        std::map<std::string, std::vector<unsigned char>> contents;  // the last copy of each name counts
        PackReader archive(context_.layout.updateFolder() + name);
        const int walked = archive.forEachEntry([&](PackReader& entry) {
            if (!byEntry.count(entry.currentName())) return PACK_OK;
            std::unique_ptr<EntryChain> chain;
            int code = entry.openEntry(EntryChain::Stage::Content, chain);
            if (code == PACK_OK) code = EntryChain::readAll(chain->source(), contents[entry.currentName()]);
            return code;
        });
        if (!archive.isOpen() || walked != PACK_OK)
            return fail(PatchResult::kPatchFileMissing, name + " is damaged (" + std::to_string(walked) + ")");
        for (const auto& [entry, paths] : byEntry) {
            if (!contents.count(entry))
                return fail(PatchResult::kPatchFileMissing,
                            name + " holds no entry " + entry + " for " + paths.front());
            for (const std::string& path : paths)
                if (stage(path, contents[entry]) < PatchResult::kOk) return PatchResult::kPatchFileMissing;
        }
        FileSystem::deleteFileForce(context_.layout.updateFolder() + name);
    }
    // The staged files reach the disk before any of them takes the place of a game file.
    FileSystem::syncFileSystem(staging);
    return PatchResult::kOk;
}

int InstallRepairer::placeFiles(const Plan& plan, const std::string& staging) {
    const std::string base = context_.layout.baseFolder();
    const InstallVerifier::Report::Repairs& repairs = plan.report.repairs;
    const InstallVerifier verifier(context_.layout);
    // A pack that cannot be read is written anew from the build's files, all of them fetched.
    for (const std::string& folder : repairs.damagedPacks) FileSystem::deleteFileForce(verifier.packPathOf(folder));

    struct PackWork {
        NameList add;
        NameList remove;
    };
    std::map<std::string, PackWork> packs;
    for (const std::string& path : repairs.fetch) {
        const ReleaseFile& file = *plan.manifest.find(path);
        if (!file.packFolder.empty()) {
            packs[file.packFolder].add.push_back(file.packedName());
            continue;
        }
        const std::string target = base + path;
        if (!FileSystem::createDirectories(FileSystem::folderOf(target)))
            return fail(PatchResult::kExtractionFailed,
                        FileDownloader::writeFailureText(errno, FileSystem::folderOf(target)));
        // An empty folder standing where the build has a file goes; one holding files is the player's.
        if (FileSystem::isDirectory(target) && ::rmdir(target.c_str()) != 0)
            return fail(PatchResult::kExtractionFailed,
                        path + " is a folder holding files; the build has a file there");
        const std::string from = stagedPath(staging, file);
        if (::chmod(from.c_str(), file.mode) != 0 || ::rename(from.c_str(), target.c_str()) != 0)
            return fail(PatchResult::kExtractionFailed,
                        FileDownloader::writeFailureText(errno, FileSystem::folderOf(target)));
    }
    auto folderAndName = [](const std::string& path) {
        const std::size_t slash = path.rfind('/');
        return std::make_pair(path.substr(0, slash), path.substr(slash + 1));
    };
    for (const std::string& path : repairs.extraEntries) {
        auto [folder, name] = folderAndName(path);
        packs[folder].remove.push_back(name);
    }
    for (const std::string& path : repairs.extraFiles) {
        // The pack may hold a copy of it too, which the loose one hid from the comparison.
        auto [folder, name] = folderAndName(path);
        packs[folder].remove.push_back(name);
        if (!FileSystem::deleteFileForce(base + path))
            return fail(PatchResult::kExtractionFailed,
                        "cannot delete " + base + path + " (" + std::strerror(errno) + ")");
    }
    for (const auto& [folder, work] : packs) {
        const std::string pack = verifier.packPathOf(folder);
        const std::string packFolder = FileSystem::folderOf(pack);
        const bool exists = FileSystem::fileExists(pack);
        if (!exists && work.add.empty()) continue;
        if (!FileSystem::createDirectories(packFolder))
            return fail(PatchResult::kPackRebuildFailed, FileDownloader::writeFailureText(errno, packFolder));
        // A pack written anew takes in the folder's loose files too; those the build keeps loose
        // (and the player's) must stay out of it.
        NameList remove = work.remove;
        if (!exists)
            for (const FileSystem::FolderEntry& item :
                 FileSystem::listFolder(packFolder).value_or(std::vector<FileSystem::FolderEntry>{}))
                if (!item.isDirectory) remove.push_back(item.name);
        const PackBuildResult built =
            context_.packArchive->updatePack(packFolder, staging + folder + "/", remove, work.add, exists);
        if (built == PackBuildResult::Stopped) return PatchResult::kStopped;
        if (built != PackBuildResult::Done) {
            const DiskWriteFailure& disk = context_.packArchive->diskWriteFailure();
            return fail(PatchResult::kPackRebuildFailed,
                        "the pack " + pack + " could not be updated (" + std::to_string(toCode(built)) + ")" +
                            (disk.error ? "; " + FileDownloader::writeFailureText(disk.error, disk.folder) : ""));
        }
        // The pack holds the build's copy now: a loose one beside it would be packed over it.
        for (const std::string& name : work.add) FileSystem::deleteFileForce(packFolder + name);
    }
    if (!context_.packArchive->finishDeferredUpdates())
        return fail(PatchResult::kPackRebuildFailed, "a pack update did not reach the disk");
    for (const std::string& path : repairs.modes)
        if (::chmod((base + path).c_str(), plan.manifest.find(path)->mode) != 0)
            return fail(PatchResult::kExtractionFailed,
                        "cannot set the mode of " + base + path + " (" + std::strerror(errno) + ")");
    for (const std::string& path : repairs.folders) {
        const ReleaseFolder* folder = nullptr;
        for (const ReleaseFolder& f : plan.manifest.emptyFolders)
            if (f.path == path) folder = &f;
        if (!FileSystem::createDirectories(base + path) || ::chmod((base + path).c_str(), folder->mode) != 0)
            return fail(PatchResult::kExtractionFailed, FileDownloader::writeFailureText(errno, base + path));
    }
    return PatchResult::kOk;
}

int InstallRepairer::run(int version, bool writeVersion) {
    auto finish = [this](int result) {
        if (context_.dialog) context_.dialog->postResult(result, PatchStage::kApply);
        return result;
    };
    // A pack update cut off by a killed run is rolled back before the folder is compared.
    for (const std::string& key : GameLayout::packedFolders())
        PackJournal::recover(context_.layout.packPathForKey(key));
    std::optional<Plan> planned = plan(version);
    if (!planned) return finish(failure_);
    const std::string staging = context_.layout.updateFolder() + "repair/";
    if (!FileSystem::createDirectories(staging))
        return finish(fail(PatchResult::kPatchFileMissing, FileDownloader::writeFailureText(errno, staging)));
    int result = fetchFiles(*planned, staging);
    if (result >= PatchResult::kOk) result = placeFiles(*planned, staging);
    if (result < PatchResult::kOk) return finish(result);
    if (context_.stopRequested) return finish(PatchResult::kStopped);
    // The serial of the list it came from, then the version, last: a folder that says it is
    // this version holds all of it.
    if (writeVersion) {
        const std::string serial = PatchSignature::kSerialFileName;
        if (!copySerial(listFolderOf(context_.layout) + serial, context_.layout.baseFolder() + serial))
            return finish(fail(PatchResult::kFileUnreadable,
                               FileDownloader::writeFailureText(errno, context_.layout.baseFolder())));
        if ((result = ClientVersionFile(context_).write(version)) < PatchResult::kOk)
            return finish(fail(result, "version.ini cannot be written"));
    }
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::remove_all(listFolderOf(context_.layout), ignored);
    if (context_.dialog) context_.dialog->postProgress(100);
    return finish(version);
}

}  // namespace nimbrel
