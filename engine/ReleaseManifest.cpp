#include "engine/ReleaseManifest.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "engine/GameLayout.h"
#include "engine/PatchSignature.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

constexpr std::string_view kNotKnown = "-";
constexpr char kHex[] = "0123456789ABCDEF";

std::string encodeName(std::string_view name) {
    if (name.empty() || name == kNotKnown) return name.empty() ? std::string(kNotKnown) : "%2D";
    std::string text;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '%') {
            text += '%';
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        } else {
            text += c;
        }
    }
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> decodeName(std::string_view field) {
    if (field == kNotKnown) return std::string();
    std::string name;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto byte = static_cast<unsigned char>(field[i]);
        if (byte <= 0x20 || byte == 0x7F) return std::nullopt;  // the writer escapes these
        if (field[i] != '%') {
            name += field[i];
            continue;
        }
        if (i + 2 >= field.size()) return std::nullopt;
        const int high = hexValue(field[i + 1]), low = hexValue(field[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (name.empty() || !TextCodec::isValidUtf8(name)) return std::nullopt;
    return name;
}

// A path the verifier joins to the game folder: it must stay inside it.
bool isGamePath(const std::string& path) {
    return !path.empty() && path.find('\\') == std::string::npos && path.find("//") == std::string::npos &&
           path.back() != '/' && FileSystem::isSafeRelativeName(path, true);
}

template <typename Number>
bool parseNumber(std::string_view field, Number& value, int base = 10) {
    if (field.empty()) return false;
    auto [end, failure] = std::from_chars(field.data(), field.data() + field.size(), value, base);
    return failure == std::errc() && end == field.data() + field.size();
}

bool isDigest(std::string_view field) {
    return field.size() == 64 && std::all_of(field.begin(), field.end(),
                                             [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t blank = line.find(' ', start);
        fields.push_back(line.substr(start, blank - start));
        if (blank == std::string_view::npos) return fields;
        start = blank + 1;
    }
}

std::string octal(std::uint32_t mode) {
    char text[8];
    auto [end, failure] = std::to_chars(text, text + sizeof text, mode, 8);
    (void)failure;
    std::string digits(text, end);
    return std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
}

// One record line into the manifest; false when it is not one.
bool parseRecord(const std::vector<std::string_view>& f, ReleaseManifest& manifest) {
    if (f[0] == "folder" && f.size() == 3) {
        ReleaseFolder folder;
        std::optional<std::string> path = decodeName(f[2]);
        if (!parseNumber(f[1], folder.mode, 8) || folder.mode > 07777 || !path || !isGamePath(*path)) return false;
        folder.path = std::move(*path);
        manifest.emptyFolders.push_back(std::move(folder));
        return true;
    }
    const bool loose = f[0] == "loose" && f.size() == 7;
    if (!loose && !(f[0] == "packed" && f.size() == 7)) return false;
    ReleaseFile file;
    std::size_t at = 1;
    if (!parseNumber(f[at++], file.size)) return false;
    if (loose && (!parseNumber(f[at++], file.mode, 8) || file.mode > 07777)) return false;
    if (!isDigest(f[at])) return false;
    file.sha256 = std::string(f[at++]);
    std::optional<std::string> archive = decodeName(f[at++]), entry = decodeName(f[at++]);
    if (!archive || !entry || archive->empty() != entry->empty()) return false;
    file.archive = std::move(*archive);
    file.entry = std::move(*entry);
    if (loose) {
        std::optional<std::string> path = decodeName(f[at]);
        if (!path || !isGamePath(*path)) return false;
        file.path = std::move(*path);
    } else {
        std::optional<std::string> folder = decodeName(f[at]), name = decodeName(f[at + 1]);
        if (!folder || !name || !isGamePath(*folder) || name->find('/') != std::string::npos) return false;
        file.packFolder = std::move(*folder);
        file.path = file.packFolder + "/" + *name;
        if (!isGamePath(file.path)) return false;
        file.mode = 0644;
    }
    manifest.files.push_back(std::move(file));
    return true;
}

}  // namespace

std::string ReleaseManifest::fileName(int version) { return "manifest_" + std::to_string(version) + ".txt"; }

std::string ReleaseManifest::write() const {
    std::string text = std::string(kHeader) + "\nversion " + std::to_string(version) + "\n";
    for (const ReleaseFile& file : files) {
        const std::string source = encodeName(file.archive) + " " + encodeName(file.entry);
        if (file.packFolder.empty())
            text += "loose " + std::to_string(file.size) + " " + octal(file.mode) + " " + file.sha256 + " " + source +
                    " " + encodeName(file.path) + "\n";
        else
            text += "packed " + std::to_string(file.size) + " " + file.sha256 + " " + source + " " +
                    encodeName(file.packFolder) + " " + encodeName(file.packedName()) + "\n";
    }
    for (const ReleaseFolder& folder : emptyFolders)
        text += "folder " + octal(folder.mode) + " " + encodeName(folder.path) + "\n";
    return text + "end " + std::to_string(files.size() + emptyFolders.size()) + "\n";
}

std::optional<ReleaseManifest> ReleaseManifest::parse(std::string_view text, std::string& error) {
    ReleaseManifest manifest;
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            error = "the manifest is cut short (its last line has no end)";
            return std::nullopt;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 3 || lines[0] != kHeader || !lines[1].starts_with("version ") ||
        !parseNumber(lines[1].substr(8), manifest.version) || manifest.version < 0) {
        error = "not a release manifest (its first lines are not \"" + std::string(kHeader) + "\" and the version)";
        return std::nullopt;
    }
    std::set<std::string> seen;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::vector<std::string_view> fields = splitFields(lines[i]);
        if (!parseRecord(fields, manifest)) {
            error = "line " + std::to_string(i + 1) + " of the manifest is malformed";
            return std::nullopt;
        }
        const std::string& path =
            fields[0] == "folder" ? manifest.emptyFolders.back().path : manifest.files.back().path;
        if (!seen.insert(path).second) {
            error = "the manifest names " + path + " twice";
            return std::nullopt;
        }
    }
    std::uint64_t count = 0;
    if (!lines.back().starts_with("end ") || !parseNumber(lines.back().substr(4), count) || count != lines.size() - 3) {
        error = "the manifest is cut short (no \"end\" line counting its lines)";
        return std::nullopt;
    }
    std::sort(manifest.files.begin(), manifest.files.end(),
              [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
    return manifest;
}

const ReleaseFile* ReleaseManifest::find(const std::string& path) const {
    auto it = std::lower_bound(files.begin(), files.end(), path,
                               [](const ReleaseFile& file, const std::string& p) { return file.path < p; });
    return it != files.end() && it->path == path ? &*it : nullptr;
}

}  // namespace nimbrel

namespace nimbrel {

bool ReleaseManifest::isLauncherFile(const std::string& path) {
    const std::string top = path.substr(0, path.find('/'));
    if (TextCodec::equalsIgnoreCase(top, "update")) return true;
    if (top != path) return false;
    if (TextCodec::equalsIgnoreCase(top, PatchSignature::kSerialFileName)) return true;
    for (const std::string name : {GameLayout::kClientVersionFileName, GameLayout::kManualPatchFileName})
        if (TextCodec::equalsIgnoreCase(top, name) || TextCodec::equalsIgnoreCase(top, name + PatchSignature::kSuffix))
            return true;
    return false;
}

}  // namespace nimbrel
