#include "tools/nimbrel-publish/ReleaseBuild.h"

#include <filesystem>
#include <vector>

#include "engine/PatchSignature.h"
#include "pack/PackArchive.h"
#include "pack/PackReader.h"

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
        files[path] = BuildFile{described.length, described.sha256, pack.string(), name};
    }
    if (status != PACK_END_OF_LIST) return false;
    error.clear();
    return true;
}

}  // namespace

std::optional<std::map<std::string, BuildFile>> ReleaseBuild::scan(const std::string& folder, std::string& error) {
    std::map<std::string, BuildFile> files;
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
        if (it->is_symlink()) {
            // A link would publish whatever it points at, perhaps outside the build.
            error = path.string() + ": symbolic links are not published";
            return std::nullopt;
        }
        if (it->is_directory()) continue;
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
        files[relative] = BuildFile{described->length, described->sha256, path.string(), {}};
    }
    if (ec) {
        error = folder + ": cannot be listed (" + ec.message() + ")";
        return std::nullopt;
    }
    for (const fs::path& pack : packs) {
        const std::string prefix = pack.parent_path().lexically_relative(root).generic_string() + "/";
        if (!addPackEntries(pack, prefix, files, error)) return std::nullopt;
    }
    return files;
}

}  // namespace nimbrel
