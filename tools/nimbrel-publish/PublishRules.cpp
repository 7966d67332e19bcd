#include "tools/nimbrel-publish/PublishRules.h"

#include <vector>

#include "engine/GameLayout.h"
#include "pack/PackArchive.h"
#include "platform/TextCodec.h"

namespace nimbrel {

namespace {

constexpr std::size_t kMaxListField = 259;  // the client's fixed name fields
// Words that make a patch-list line something other than a file line, in any block.
const char* const kListWords[] = {"SELF_UPDATE", "DELETED",     "MANAGEMENT", "SHORTCUT",
                                  "CUR_VERSION", "BGN_VERSION", "[VERSION"};

std::string lastPart(const std::string& relative) { return relative.substr(relative.rfind('/') + 1); }

}  // namespace

std::pair<std::string, std::string> PublishRules::keyAndEntry(const std::string& relative) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        std::size_t slash = relative.find('/', start);
        parts.push_back(relative.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() == 1) return {GameLayout::kRootKey, parts[0]};
    if (parts.size() == 3 && parts[0] == "map" && parts[1] == "minimap") return {"map", "minimap/" + parts[2]};
    std::string key = parts[0];
    for (std::size_t i = 1; i + 1 < parts.size(); ++i) key += "\\" + parts[i];
    return {key, parts.back()};
}

std::string PublishRules::packFolderOf(const std::string& relative) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return {};
    const std::string folder = relative.substr(0, slash);
    const std::string key = folder == "map/minimap" ? GameLayout::kMinimapKey : windowsPath(folder);
    return GameLayout::isPackedFolder(key) && !GameLayout::isKeptLoose(key, lastPart(relative)) ? folder
                                                                                                : std::string();
}

std::string PublishRules::windowsPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool PublishRules::checkName(const std::string& name, const std::string& what, std::string& error, bool isKey) {
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
    bool control = false;
    for (char c : name) control = control || static_cast<unsigned char>(c) < 0x20;
    if (control || name.find_first_of("<>:\"|?*") != std::string::npos || name.back() == ' ' || name.back() == '.') {
        error = what + " \"" + name +
                "\" is no Windows file name (it holds one of < > : \" | ? * or a control character, or ends in "
                "a blank or a dot)";
        return false;
    }
    return true;
}

bool PublishRules::checkKey(const std::string& key, std::string& error) {
    if (!checkName(key, "folder", error, true)) return false;
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

bool PublishRules::checkFolder(const std::string& relative, std::string& error) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return true;
    const std::string top = relative.substr(0, relative.find('/'));
    const std::string folder = relative.substr(0, slash);
    if (top == GameLayout::kRootKey || top == GameLayout::kMinimapKey || top == "update" ||
        (folder.find("map/minimap") != std::string::npos && folder != "map/minimap")) {
        error = relative + ": its folder name has a meaning of its own in the patch list; it cannot be patched";
        return false;
    }
    return true;
}

bool PublishRules::checkPublishedFile(const std::string& relative, std::uint64_t size, std::string& error) {
    auto [key, entry] = keyAndEntry(relative);
    if (!checkFolder(relative, error) || !checkKey(key, error) || !checkName(lastPart(relative), "file", error))
        return false;
    // Files of packed folders reach the client's pack, which takes only these.
    if (!packFolderOf(relative).empty() &&
        (!PackArchive::passesSizeRule(size) || !PackArchive::passesNameFilter(lastPart(relative)))) {
        error =
            relative + ": a packed folder holds only files of 1 to 10,485,760 bytes whose names are not packs or zips";
        return false;
    }
    return true;
}

bool PublishRules::checkDeletion(const std::string& relative, std::string& error) {
    const std::string line = windowsPath(relative);
    if (!checkFolder(relative, error) || !checkName(lastPart(relative), "deleted file", error)) return false;
    if (TextCodec::utf8ToCp949(line)->size() > kMaxListField) {
        error = relative + ": cannot stand on a line of the deletion list (longer than 259 bytes)";
        return false;
    }
    return true;
}

}  // namespace nimbrel
