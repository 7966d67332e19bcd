#include "pack/PackArchive.h"

#include "platform/PatchWindow.h"
#include "platform/TextCodec.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

PackArchive::PackArchive(PatchWindow* window) : window_(window) {}

std::string PackArchive::packPath(const std::string& folder) {
    std::string trimmed = folder.substr(0, folder.size() - (folder.ends_with('/') ? 1 : 0));
    return folder + trimmed.substr(trimmed.rfind('/') + 1) + ".QPAK";
}

std::string PackArchive::tempPath(const std::string& folder) {
    std::string pack = packPath(folder);
    return pack.substr(0, pack.size() - 5) + ".RPAK";
}

bool PackArchive::isNameInList(const std::string& name, const NameList& list) {
    for (const auto& item : list)
        if (TextCodec::equalsIgnoreCase(name, item)) return true;
    return false;
}

bool PackArchive::passesSizeRule(unsigned long long size) { return size >= 1 && size <= 10485760ull; }

bool PackArchive::passesNameFilter(const std::string& name) {
    for (const char* text : {".RPAK", ".rpak", ".QPAK", ".qpak", ".ZIP", ".zip"})
        if (name.find(text) != std::string::npos) return false;
    return true;
}

void PackArchive::postProgress(int percent) {
    if (window_) window_->postMessage(WM_PATCH_PROGRESS, percent, 0);
}

// Stubs until the pack store lands.
bool PackArchive::listEntries(const std::string&, NameList&) { return false; }
bool PackArchive::containsEntryText(const std::string&, const std::string&) { return false; }
bool PackArchive::extractEntries(const std::string&, const std::string&, const NameList&, bool) { return false; }
int PackArchive::updatePack(const std::string&, const std::string&, const NameList&, const NameList&, bool) { return -4; }
int PackArchive::buildPack(const std::string&, const std::string&, const NameList&, const NameList&) { return -4; }
int PackArchive::packFolder(const std::string&, const NameList&) { return -4; }
int PackArchive::rebuildPack(const std::string&, const std::string&, const NameList&, const NameList&) { return -4; }
int PackArchive::splitArchive(const std::string&, const std::string&, const std::string&, const std::string&,
                              const std::string&) {
    return 0;
}
int PackArchive::collectSyncFiles(const std::string&, NameList& names) { return static_cast<int>(names.size()); }

}  // namespace nimbrel
