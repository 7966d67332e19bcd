#include "tests/support/ReleaseHistory.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "engine/GameLayout.h"
#include "engine/VersionTokenTable.h"
#include "tests/support/ChildProcess.h"

namespace nimbrel::test {

namespace fs = std::filesystem;

namespace {

// Folders the history fills; the packed ones are flat, as packs hold no subfolders.
const std::vector<std::string> kPackedFolders{"actor",       "item", "sfx",     "map",
                                              "map/minimap", "etc",  "monster", "interface"};
const std::vector<std::string> kLooseFolders{"", "data", "data/sub", "data/sub/deep"};
// A folder in one build and a file of the same name in the next, and back: one at the top, one
// inside the data folder's key.
const std::vector<std::string> kSwapSites{"cfg", "data/opt"};
const std::string kLargeFile = "data/movie.bin";

std::string parentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

std::string ReleaseHistory::packedFolderOf(const std::string& path) {
    const std::string folder = parentOf(path);
    const bool minimap = folder == "map/minimap";
    if (folder.empty() || (!minimap && folder.find('/') != std::string::npos)) return {};
    const std::string key = minimap ? GameLayout::kMinimapKey : folder;
    if (!GameLayout::isPackedFolder(key) || GameLayout::isKeptLoose(key, nameOf(path))) return {};
    return folder;
}

std::string ReleaseHistory::Build::versionFile() const {
    return std::string("[DEFAULT]\r\nCUR_VERSION") + VersionTokenTable::tokenForVersion(static_cast<unsigned>(version));
}

bool ReleaseHistory::Build::writeTo(const std::string& folder, const std::string& qpakPath, std::string& error) const {
    auto put = [&](const std::string& relative, const std::string& bytes, unsigned mode) {
        const fs::path path = fs::path(folder) / fs::u8path(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (::chmod(path.c_str(), mode) != 0) error = relative + ": cannot be written";
    };
    // A pack holds its folder's pack-bound files only: the files a packed folder keeps loose
    // are written once its pack is made.
    auto beside = [&](const std::string& relative) {
        return packedFolderOf(relative).empty() && packedOnDisk.count(parentOf(relative));
    };
    for (const auto& [relative, file] : files)
        if (!beside(relative)) put(relative, *file.bytes, file.mode);
    put("version.ini", versionFile(), 0644);
    for (const std::string& empty : emptyFolders) fs::create_directories(fs::path(folder) / fs::u8path(empty));
    for (const std::string& packed : packedOnDisk) {
        const std::string path = folder + packed + "/";
        ChildProcess::Options options;
        options.watchOutput = true;
        options.errorIntoOutput = true;
        ProcessOutput built = ChildProcess::run({qpakPath, "build", path}, options);
        if (built.exitCode != 0) {
            error = "qpak build " + path + ": " + built.out;
            return false;
        }
        for (const auto& [relative, file] : files)
            if (packedFolderOf(relative) == packed) fs::remove(fs::path(folder) / fs::u8path(relative));
    }
    for (const auto& [relative, file] : files)
        if (beside(relative)) put(relative, *file.bytes, file.mode);
    return error.empty();
}

// Makes the builds one after the other, each from the one before.
class ReleaseHistory::Generator {
public:
    explicit Generator(const Options& options) : options_(options), random_(options.seed) {}

    Build first() {
        Build build;
        build.version = options_.firstVersion;
        auto& f = build.files;
        f["QuorlanPlus.exe"] = file(bytes(4000), 0755);
        f["Readme.txt"] = file(bytes(900));
        f["run.sh"] = file(text("#!/bin/sh\nexec wine QuorlanPlus.exe \"$@\"\n"), 0755);
        f["log.txt"] = file(text(""));
        f["data/cfg.ini"] = file(bytes(300));
        f["data/\xED\x95\x9C\xEA\xB8\x80.txt"] = file(bytes(200));  // 한글.txt
        f[kLargeFile] = file(bytes(options_.largeFileSize));
        f["data/sub/x.txt"] = file(bytes(100));
        f["data/sub/deep/y.txt"] = file(bytes(100));
        f["data/opt"] = file(bytes(50));
        f["cfg/a.txt"] = file(bytes(70));
        f["cfg/b.txt"] = file(bytes(80));
        for (const std::string& folder : kPackedFolders)
            for (int i = 0; i < options_.filesPerFolder; ++i) f[newName(folder)] = file(bytes(smallSize()));
        f["sfx/\xED\x9A\xA8\xEA\xB3\xBC\xEC\x9D\x8C.wav"] = file(bytes(600));  // 효과음.wav
        f["etc/item.edp"] = file(bytes(300));
        f["etc/usercontroll.edt"] = file(bytes(200));
        build.emptyFolders = {"screenshots", "data/cache"};
        build.packedOnDisk = {"actor", "item", "sfx", "map", "map/minimap", "etc"};
        return build;
    }

    // The build after previous: step counts the builds made so far.
    Build next(const Build& previous, int step) {
        Build build = previous;
        build.version = previous.version + 1;
        for (int i = 0; i < 4; ++i) edit(build);
        for (int i = 0; i < 3; ++i) add(build);
        for (int i = 0; i < 2; ++i) remove(build);
        renameCase(build, previous, step % 2 == 0);
        swap(build, kSwapSites[static_cast<std::size_t>(step) % kSwapSites.size()]);
        flipMode(build, previous);
        // An empty file appears, or one gets its first bytes.
        if (step % 2 == 1) build.files[newName(oneOf(kLooseFolders))] = file(bytes(0));
        const std::string filled = pick(build, [&](const std::string& p) { return build.files.at(p).bytes->empty(); });
        if (step % 2 == 0 && !filled.empty()) build.files[filled].bytes = bytes(smallSize());
        // Empty folders: one appears, another goes away or gets a file.
        build.emptyFolders.insert("logs/s" + std::to_string(step));
        if (step % 2 == 0 && !previous.emptyFolders.empty()) {
            const std::string gone = oneOf({previous.emptyFolders.begin(), previous.emptyFolders.end()});
            build.emptyFolders.erase(gone);
            if (step % 4 == 0) build.files[newName(gone)] = file(bytes(40));
        }
        if (step % 3 == 1) editLarge(build.files[kLargeFile], step == 4);
        // One packed folder changes between loose and packed in the build; its files stay.
        const std::string toggled = oneOf(kPackedFolders);
        if (!build.packedOnDisk.erase(toggled)) build.packedOnDisk.insert(toggled);
        return build;
    }

private:
    static File file(std::shared_ptr<const std::string> bytes, unsigned mode = 0644) {
        return File{std::move(bytes), mode};
    }
    static std::shared_ptr<const std::string> text(const std::string& content) {
        return std::make_shared<const std::string>(content);
    }

    // Bytes deflate hardly shrinks, as the game's data is mostly compressed already.
    std::shared_ptr<const std::string> bytes(std::size_t size) {
        std::string data(size, '\0');
        std::uint32_t x = static_cast<std::uint32_t>(random_());
        for (auto& c : data) {
            x = x * 1664525u + 1013904223u;
            c = static_cast<char>(x >> 24);
        }
        return std::make_shared<const std::string>(std::move(data));
    }

    std::size_t smallSize() { return 1 + random_() % options_.smallFileMaxSize; }
    bool chance(unsigned in) { return random_() % in == 0; }
    const std::string& oneOf(const std::vector<std::string>& list) { return list[random_() % list.size()]; }

    // A name no build of the history used before, in any case; some are Korean, some capitalised.
    std::string newName(const std::string& folder) {
        static const char* const stems[] = {"sword",
                                            "shield",
                                            "orc",
                                            "grass",
                                            "wave",
                                            "tile",
                                            "note",
                                            "\xEA\xB2\x80",               // 검
                                            "\xEC\xA7\x80\xEB\x8F\x84"};  // 지도
        std::string name = stems[random_() % std::size(stems)] + std::to_string(++counter_) + ".dat";
        if (chance(3)) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
        return folder.empty() ? name : folder + "/" + name;
    }

    static bool onSwapSite(const std::string& path) {
        return std::any_of(kSwapSites.begin(), kSwapSites.end(),
                           [&](const std::string& site) { return path == site || path.starts_with(site + "/"); });
    }

    static int filesIn(const Build& build, const std::string& packed) {
        return static_cast<int>(std::count_if(build.files.begin(), build.files.end(), [&](const auto& entry) {
            return packedFolderOf(entry.first) == packed;
        }));
    }

    std::string pick(const Build& build, const std::function<bool(const std::string&)>& fits) {
        std::vector<std::string> candidates;
        for (const auto& [path, file] : build.files)
            if (fits(path)) candidates.push_back(path);
        return candidates.empty() ? std::string() : oneOf(candidates);
    }

    // New bytes for a file, now and then none where the file is loose.
    void edit(Build& build) {
        const std::string path = pick(build, [&](const std::string& p) { return p != kLargeFile; });
        if (path.empty()) return;
        File& edited = build.files[path];
        const bool packed = !packedFolderOf(path).empty();
        edited.bytes = bytes(packed || !chance(4) ? smallSize() : 0);
    }

    // A new file, loose or packed; a loose one may be empty or have the execute bit.
    void add(Build& build) {
        const bool packed = chance(2);
        const std::string folder = packed ? oneOf(kPackedFolders) : oneOf(kLooseFolders);
        const std::size_t size = packed || !chance(5) ? smallSize() : 0;
        build.files[newName(folder)] = file(bytes(size), !packed && chance(4) ? 0755 : 0644);
    }

    // A file goes; a packed folder keeps a few, and the files the steps rely on stay.
    void remove(Build& build) {
        build.files.erase(pick(build, [&](const std::string& p) {
            const std::string packed = packedFolderOf(p);
            return p != kLargeFile && p != "QuorlanPlus.exe" && !onSwapSite(p) &&
                   !GameLayout::isKeptLoose(GameLayout::kEtcKey, nameOf(p)) &&
                   (packed.empty() || filesIn(build, packed) > 2);
        }));
    }

    // A file the last build held gets its first letter in the other case.
    void renameCase(Build& build, const Build& previous, bool packed) {
        auto isLetter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
        const std::string renamed = pick(build, [&](const std::string& p) {
            const std::string name = nameOf(p);
            return previous.files.count(p) && packedFolderOf(p).empty() != packed && !onSwapSite(p) &&
                   p != kLargeFile && !GameLayout::isKeptLoose(GameLayout::kEtcKey, name) &&
                   std::any_of(name.begin(), name.end(), isLetter);
        });
        if (renamed.empty()) return;
        std::string name = nameOf(renamed);
        char& letter = *std::find_if(name.begin(), name.end(), isLetter);
        letter = static_cast<char>(std::isupper(static_cast<unsigned char>(letter)) ? std::tolower(letter)
                                                                                    : std::toupper(letter));
        const std::string folder = parentOf(renamed);
        build.files[folder.empty() ? name : folder + "/" + name] = build.files[renamed];
        build.files.erase(renamed);
    }

    // A loose file the last build held with the same bytes gains or loses the execute bits.
    void flipMode(Build& build, const Build& previous) {
        const std::string path = pick(build, [&](const std::string& p) {
            auto old = previous.files.find(p);
            return packedFolderOf(p).empty() && p != kLargeFile && old != previous.files.end() &&
                   old->second.bytes == build.files.at(p).bytes;
        });
        if (path.empty()) return;
        File& flipped = build.files[path];
        flipped.mode = flipped.mode == 0755 ? 0644 : 0755;
    }

    // A few bytes in the middle of the large file change; it may also grow.
    void editLarge(File& large, bool grow) {
        auto edited = std::make_shared<std::string>(*large.bytes);
        const std::size_t at = random_() % (edited->size() - 64);
        for (std::size_t i = 0; i < 64; ++i) (*edited)[at + i] = static_cast<char>(random_());
        if (grow) *edited += *bytes(1000);
        large.bytes = std::move(edited);
    }

    // A file becomes a folder of the same name, or a folder a file.
    void swap(Build& build, const std::string& site) {
        auto& f = build.files;
        if (f.erase(site)) {
            f[newName(site)] = file(bytes(smallSize()));
            f[newName(site)] = file(bytes(smallSize()), 0755);
            return;
        }
        for (auto it = f.begin(); it != f.end();) it = it->first.starts_with(site + "/") ? f.erase(it) : std::next(it);
        f[site] = file(bytes(smallSize()));
    }

    Options options_;
    std::mt19937 random_;
    int counter_ = 0;
};

ReleaseHistory::ReleaseHistory(const Options& options) {
    Generator generator(options);
    builds_.push_back(generator.first());
    for (int step = 1; step < options.builds; ++step) builds_.push_back(generator.next(builds_.back(), step));
}

}  // namespace nimbrel::test
