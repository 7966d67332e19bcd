#include "engine/PatchListReader.h"

#include <cctype>
#include <climits>
#include <fstream>

#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/VersionTokenTable.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"
#include "platform/TextCodec.h"
#include "platform/WindowMessages.h"

namespace nimbrel {

namespace {

// Published lists write "CUR_VERSION = n", "BGN_VERSION = n" and "[VERSION = n]"; the
// numbers are read at the fixed columns these spellings give, and older servers depend on it.
constexpr std::size_t kKeyNumberIndex = 14;
constexpr std::size_t kBlockNumberIndex = 11;

bool contains(std::string_view line, std::string_view text) { return line.find(text) != std::string_view::npos; }

bool isFlagsLine(std::string_view line) {
    return contains(line, "SELF_UPDATE") || contains(line, "DELETED") || contains(line, "MANAGEMENT") ||
           contains(line, "SHORTCUT");
}

// Opens a list file that exists and is not empty.
bool openNonEmpty(std::ifstream& in, const std::string& path) {
    if (FileSystem::isDirectory(path)) return false;
    in.open(path, std::ios::binary | std::ios::ate);
    if (!in.is_open()) return false;
    std::streamoff length = in.tellg();
    in.seekg(0);
    if (length > 0) return true;
    in.close();
    return false;
}

bool readLine(std::ifstream& in, std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

int PatchListReader::numberAt(std::string_view line, std::size_t index) {
    if (index >= line.size()) return 0;
    std::size_t i = index;
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    long long value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + (line[i] - '0');
        if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;  // saturate, no overflow
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

PatchListReader::Reading PatchListReader::read(int fromManualFile) {
    list_ = PatchList();
    blockCarries_.clear();
    refusal_.clear();
    if (context_.stopRequested) return {PatchResult::kStopped, {}};
    const int result = readList(fromManualFile);
    if (refusal_.empty()) return {result, std::move(list_)};
    if (context_.dialog) context_.dialog->messageBox(refusal_, kCaption);
    return {PatchResult::kFileUnreadable, {}};
}

int PatchListReader::readList(int fromManualFile) {
    std::ifstream in;
    const bool manual = fromManualFile == 1 && openNonEmpty(in, context_.layout.manualPatchPath());
    if (!manual) {
        const std::string listPath = context_.layout.patchListPath();
        if (FileSystem::isDirectory(listPath)) return PatchResult::kFileUnreadable;
        in.open(listPath, std::ios::binary | std::ios::ate);
        if (!in.is_open()) return PatchResult::kFileUnreadable;
        if (in.tellg() <= 0) {
            refusal_ = kNoPatchListText;  // the server answered with an empty body
            return PatchResult::kFileUnreadable;
        }
        in.seekg(0);
    }

    auto showVersion = [this](int number) {
        if (context_.dialog) context_.dialog->setLabelText(IDC_VERSION_LABEL, std::to_string(number));
    };

    std::string line;
    int blockVersion = 0;
    bool pending = false;
    bool sawCurrentVersion = false;
    while (!pending && readLine(in, line)) {
        if (fromManualFile == 1 && contains(line, "BGN_VERSION")) {
            int begin = numberAt(line, kKeyNumberIndex);
            showVersion(begin);
            // A manual patch must continue the installed version, or files of the versions
            // in between would be missing.
            if (begin > currentVersion_ && begin != currentVersion_ + 1) return PatchResult::kManualPatchAhead;
        }
        if (contains(line, "CUR_VERSION")) {
            list_.targetVersion = numberAt(line, kKeyNumberIndex);
            showVersion(currentVersion_);
            if (!acceptVersion(list_.targetVersion)) return PatchResult::kFileUnreadable;
            sawCurrentVersion = true;
            if (currentVersion_ >= list_.targetVersion) return PatchResult::kAlreadyCurrent;
        } else if (contains(line, "[VERSION")) {
            blockVersion = numberAt(line, kBlockNumberIndex);
            if (!acceptVersion(blockVersion)) return PatchResult::kFileUnreadable;
            pending = currentVersion_ < blockVersion;
            if (pending) blockCarries_.try_emplace(blockVersion, false);
        }
    }
    // A maintenance page, an empty reply or bytes in another encoding carry no version line.
    // Read as a list they would name nothing to fetch and pass for "the latest version", or
    // apply blocks towards version 0.
    if (!sawCurrentVersion) {
        refusal_ = manual ? kNoManualPatchListText : kNoPatchListText;
        return PatchResult::kFileUnreadable;
    }

    // From the first pending block on every block is taken, whatever its number.
    std::string pendingDeletion;
    while (readLine(in, line)) {
        if (contains(line, "[VERSION")) {
            if (!pendingDeletion.empty()) {
                PatchListEntry entry;
                entry.kind = PatchListEntry::kDeletionList;
                entry.targetFolder = context_.layout.updateFolder();
                entry.fileName = pendingDeletion;
                entry.folderKey = "root";
                entry.version = blockVersion;
                list_.entries.push_back(std::move(entry));
                pendingDeletion.clear();
            }
            blockVersion = numberAt(line, kBlockNumberIndex);
            if (!acceptVersion(blockVersion)) return PatchResult::kFileUnreadable;
            blockCarries_.try_emplace(blockVersion, false);
        } else if (isFlagsLine(line)) {
            if (!applyFlagsLine(line, pendingDeletion)) return PatchResult::kFileUnreadable;
            if (!pendingDeletion.empty()) blockCarries_[blockVersion] = true;
        } else if (contains(line, "=")) {
            if (!appendFileLine(line, blockVersion)) return PatchResult::kFileUnreadable;
            blockCarries_[blockVersion] = true;
        }
    }
    // Without its own block the list was cut before the files of the version it announces:
    // installing the rest would record that version with its files missing for good.
    const auto target = blockCarries_.find(list_.targetVersion);
    if (target == blockCarries_.end() || !target->second) {
        refusal_ = kIncompleteText + std::to_string(list_.targetVersion);
        return PatchResult::kFileUnreadable;
    }
    // A deletion list named in the last block is never entered: it only counts once another
    // block follows, and published lists rely on that to retire a list.
    return 0;
}

bool PatchListReader::acceptVersion(int version) {
    if (version >= 0 && version < static_cast<int>(VersionTokenTable::kCount)) return true;
    // version.ini can only record the versions of the token table; a version beyond it would
    // be written as no version at all and the client would ask for a reinstall.
    refusal_ = kVersionRangeText + std::to_string(version);
    return false;
}

bool PatchListReader::refuseName(std::string_view raw) {
    // One bad line refuses the whole list: installing the rest would leave the client at the
    // new version with files missing that no later run would ever fetch again.
    refusal_ = kUnsafeNameText + TextCodec::gameTextToUtf8(raw);
    return false;
}

bool PatchListReader::applyFlagsLine(const std::string& line, std::string& pendingDeletion) {
    std::string_view selfUpdate, deletion;
    const std::string_view text(line);
    std::size_t start = text.find_first_not_of(",; \t\n\r");
    while (start != std::string_view::npos) {
        std::size_t end = text.find_first_of(",; \t\n\r", start);
        std::string_view token =
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (contains(token, "SELF_UPDATE")) {
            selfUpdate = token;
        } else if (contains(token, "MANAGEMENT")) {
            // Has no effect of its own, but it is tested before "DELETED": a token naming both
            // words is a management token, as lists written for older launchers expect.
        } else if (contains(token, "DELETED")) {
            deletion = token;
        }
        start = end == std::string_view::npos ? end : text.find_first_not_of(",; \t\n\r", end);
    }

    std::string deletionName;
    if (contains(deletion, "=")) {
        std::string_view raw = deletion.substr(deletion.find('=') + 1);
        // A deletion list is fetched into the update folder: a name that could lead out of it,
        // or that overflows the list's fixed fields, makes the whole list untrustworthy.
        if (raw.size() > PatchListEntry::kMaxFieldLength) return refuseName(raw);
        deletionName = TextCodec::gameTextToUtf8(raw);
        if (!deletionName.empty() && !FileSystem::isSafeRelativeName(deletionName, false)) return refuseName(raw);
    }
    if (contains(selfUpdate, "=") && contains(selfUpdate, "TRUE")) list_.selfUpdateRequired = true;
    if (contains(deletion, "=")) pendingDeletion = deletionName;
    return true;
}

bool PatchListReader::appendFileLine(std::string line, int version) {
    std::erase(line, '\r');
    std::erase(line, '\n');
    std::size_t equals = line.find('=');
    std::string_view rawKey = std::string_view(line).substr(0, equals);
    std::string_view rawName = std::string_view(line).substr(equals + 1);
    // The server must not make us write outside the game folder, nor overflow the fixed
    // fields older tools keep these names in.
    if (rawKey.size() > PatchListEntry::kMaxFieldLength) return refuseName(rawKey);
    if (rawName.size() > PatchListEntry::kMaxFieldLength) return refuseName(rawName);
    std::string key = TextCodec::gameTextToUtf8(rawKey);
    std::string name = TextCodec::gameTextToUtf8(rawName);
    if (!FileSystem::isSafeRelativeName(key, true)) return refuseName(key.empty() ? std::string_view(line) : rawKey);
    if (!FileSystem::isSafeRelativeName(name, false))
        return refuseName(name.empty() ? std::string_view(line) : rawName);

    PatchListEntry entry;
    entry.kind = PatchListEntry::kPatchArchive;
    entry.targetFolder = context_.layout.folderForKey(key, GameLayout::KeyCase::Exact);
    entry.fileName = std::move(name);
    entry.folderKey = std::move(key);
    entry.version = version;
    list_.entries.push_back(std::move(entry));
    return true;
}

}  // namespace nimbrel
