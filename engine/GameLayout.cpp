#include "engine/GameLayout.h"

#include "engine/PatchSignature.h"
#include "platform/TextCodec.h"

namespace nimbrel {

GameLayout::GameLayout(std::string baseFolder) : baseFolder_(std::move(baseFolder)) {
    if (!baseFolder_.empty() && baseFolder_.back() != '/') baseFolder_ += '/';
}

std::string GameLayout::folderForKey(std::string_view key, KeyCase keyCase) const {
    auto is = [&](const char* special) {
        return keyCase == KeyCase::Exact ? key == special : TextCodec::equalsIgnoreCase(key, special);
    };
    if (is(kRootKey)) return baseFolder_;
    if (is(kMinimapKey)) return baseFolder_ + "map/minimap/";
    std::string folder = baseFolder_ + std::string(key) + "/";
    for (std::size_t i = baseFolder_.size(); i < folder.size(); ++i)
        if (folder[i] == '\\') folder[i] = '/';  // lists written by Windows tools
    return folder;
}

std::string GameLayout::packPathForKey(std::string_view key) const {
    return folderForKey(key) + std::string(key) + kPackSuffix;
}

const std::vector<std::string>& GameLayout::packedFolders() {
    static const std::vector<std::string> folders{"actor", "monster", "map",       "resource", "sfx",    "skill",
                                                  "item",  "etc",     "interface", "wear",     "minimap"};
    return folders;
}

bool GameLayout::isPackedFolder(std::string_view key) {
    for (const auto& packed : packedFolders())
        if (TextCodec::equalsIgnoreCase(key, packed)) return true;
    return false;
}

NameList GameLayout::filesKeptLoose(std::string_view key) {
    if (!TextCodec::equalsIgnoreCase(key, kEtcKey)) return {};
    return {"item.edp", "usercontroll.edt"};
}

bool GameLayout::isKeptLoose(std::string_view key, std::string_view name) {
    for (const auto& kept : filesKeptLoose(key))
        if (TextCodec::equalsIgnoreCase(name, kept)) return true;
    return false;
}

bool GameLayout::isPatcherFile(std::string_view relativePath) {
    const std::size_t slash = relativePath.find_first_of("/\\");
    const std::string_view first = relativePath.substr(0, slash);
    std::string updateFolder = kUpdateFolderName;
    updateFolder.pop_back();
    if (TextCodec::equalsIgnoreCase(first, updateFolder)) return true;
    if (slash != std::string_view::npos) return false;
    for (const char* own : {kClientVersionFileName, kManualPatchFileName})
        if (TextCodec::equalsIgnoreCase(first, own) ||
            TextCodec::equalsIgnoreCase(first, std::string(own) + PatchSignature::kSuffix))
            return true;
    return false;
}

}  // namespace nimbrel
