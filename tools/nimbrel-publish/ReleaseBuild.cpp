#include "tools/nimbrel-publish/ReleaseBuild.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <vector>

#include "engine/PatchSignature.h"
#include "engine/ReleaseManifest.h"
#include "pack/PackArchive.h"
#include "pack/PackReader.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace fs = std::filesystem;

namespace {

bool addPackEntries(const fs::path& pack, const std::string& folderPrefix, std::map<std::string, BuildFile>& files,
                    std::string& error) {
    PackReader reader(pack.string());
    error = pack.string() + ": the pack cannot be read";
    if (!reader.isOpen()) return false;
    int status = reader.goToFirstEntry();
    if (status == PACK_BAD_ZIP_FILE) return true;  // a pack without entries
    for (; status == PACK_OK; status = reader.goToNextEntry()) {
        if (reader.readEntryInfo() != PACK_OK) return false;
        const std::string name = reader.currentName();
        if (name.empty() || name.find_first_of("/\\") != std::string::npos) {
            error = pack.string() + ": entry \"" + name + "\" names a subfolder, which packs never hold";
            return false;
        }
        std::vector<unsigned char> data(reader.currentInfo().uncompressedSize);
        PackEntryDate date;
        if (reader.readEntryToBuffer(data.data(), date) != PACK_OK) {
            error = pack.string() + ": entry \"" + name + "\" cannot be read";
            return false;
        }
        // A loose copy beside the pack is what the client's packing pass would take in next.
        const std::string path = folderPrefix + name;
        if (files.count(path)) continue;
        ManifestFile described =
            PatchSignature::describeBytes({reinterpret_cast<const char*>(data.data()), data.size()}, path);
        files[path] = BuildFile{described.length, described.sha256, 0644, pack.string(), name};
    }
    if (status != PACK_END_OF_LIST) return false;
    error.clear();
    return true;
}

std::string parentOf(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// The game runs under Wine, which finds a name whatever its case: two names in one folder that
// differ only in case are one file to it, and a player's folder cannot hold both.
bool checkCaseClashes(const BuildTree& tree, std::string& error) {
    std::map<std::string, std::vector<std::string>> byFolder;  // parent -> names
    for (const auto& [path, file] : tree.files) byFolder[parentOf(path)].push_back(path);
    for (const auto& [path, mode] : tree.folders) byFolder[parentOf(path)].push_back(path);
    for (const auto& [parent, paths] : byFolder) {
        std::map<std::string, std::string> lowered;  // ASCII names by their lower case
        std::vector<std::string> other;              // names with other letters: compared pairwise
        for (const std::string& path : paths) {
            bool ascii = true;
            std::string lower = path;
            for (char& c : lower) {
                ascii = ascii && static_cast<unsigned char>(c) < 0x80;
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            }
            std::string clash;
            if (ascii) {
                auto [it, added] = lowered.emplace(lower, path);
                if (!added) clash = it->second;
            } else {
                for (const std::string& seen : other)
                    if (TextCodec::equalsIgnoreCase(seen, path)) clash = seen;
                other.push_back(path);
            }
            if (!clash.empty()) {
                error = clash + " and " + path + " differ only in case; the game cannot hold both";
                return false;
            }
        }
    }
    return true;
}

}  // namespace

bool BuildTree::isEmptyFolder(const std::string& folder) const {
    const std::string prefix = folder + "/";
    auto file = files.lower_bound(prefix);
    auto sub = folders.lower_bound(prefix);
    return (file == files.end() || !file->first.starts_with(prefix)) &&
           (sub == folders.end() || !sub->first.starts_with(prefix));
}

std::optional<BuildTree> ReleaseBuild::scan(const std::string& folder, std::string& error) {
    BuildTree tree;
    std::vector<fs::path> packs;
    std::error_code ec;
    const fs::path root(folder);
    if (!fs::is_directory(root, ec)) {
        error = folder + ": not a folder";
        return std::nullopt;
    }
    for (fs::recursive_directory_iterator it(root, ec), end; it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path& path = it->path();
        const std::string relative = path.lexically_relative(root).generic_string();
        if (ReleaseManifest::isLauncherFile(relative)) {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (it->is_symlink()) {
            // A link would publish whatever it points at, perhaps outside the build.
            error = path.string() + ": symbolic links are not published";
            return std::nullopt;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            error = path.string() + ": cannot be read";
            return std::nullopt;
        }
        if (it->is_directory()) {
            tree.folders[relative] = st.st_mode & 0777;
            continue;
        }
        if (!it->is_regular_file()) {
            error = path.string() + ": not a regular file";
            return std::nullopt;
        }
        const std::string parent = path.parent_path().string() + "/";
        if (path.parent_path() != root && path.string() == PackArchive::packPath(parent)) {
            packs.push_back(path);
            continue;
        }
        std::optional<ManifestFile> described = PatchSignature::describeFile(path.string(), relative);
        if (!described) {
            error = path.string() + ": cannot be read";
            return std::nullopt;
        }
        tree.files[relative] = BuildFile{
            described->length, described->sha256, static_cast<std::uint32_t>(st.st_mode & 0777), path.string(), {}};
    }
    if (ec) {
        error = folder + ": cannot be listed (" + ec.message() + ")";
        return std::nullopt;
    }
    for (const fs::path& pack : packs) {
        const std::string prefix = pack.parent_path().lexically_relative(root).generic_string() + "/";
        if (!addPackEntries(pack, prefix, tree.files, error)) return std::nullopt;
    }
    if (!checkCaseClashes(tree, error)) return std::nullopt;
    return tree;
}

}  // namespace nimbrel
