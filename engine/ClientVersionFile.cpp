#include "engine/ClientVersionFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>

#include "engine/FileDownloader.h"
#include "engine/PatchContext.h"
#include "engine/PatchResult.h"
#include "engine/VersionTokenTable.h"
#include "platform/AtomicFile.h"
#include "platform/FileSystem.h"
#include "platform/PatchWindow.h"

namespace nimbrel {

namespace {

constexpr std::string_view kVersionKey = "CUR_VERSION";
// The value starts right after the key's eleven characters, wherever the key itself stands:
// an indented key therefore yields a value that is no token, which older clients rely on.
constexpr std::size_t kValueIndex = 11;

// Replaces path with content through a temporary in the same folder: at every moment the
// file holds the old or the new content. Returns 0 or the errno of the step that failed.
int replaceFileContent(const std::string& path, std::string_view content) {
    // A read-only version.ini could not be created over; keep refusing as the player's
    // write protection intends, instead of renaming over it.
    if (FileSystem::fileExists(path) && FileSystem::isReadOnly(path)) return EACCES;
    if (FileSystem::isDirectory(path)) return EISDIR;

    AtomicFile file;
    if (!file.open(path) || !file.write(content.data(), content.size()) || !file.commit()) return errno ? errno : EIO;
    return 0;
}

}  // namespace

void ClientVersionFile::showError(const std::string& text) const {
    if (context_.dialog) context_.dialog->messageBox(text, kCaption);
}

int ClientVersionFile::read() {
    if (context_.stopRequested) return PatchResult::kStopped;
    const std::string path = context_.layout.clientVersionPath();
    std::ifstream in;
    if (!FileSystem::isDirectory(path)) in.open(path, std::ios::binary);
    if (!in.is_open()) {
        showError(kMissingText);
        return PatchResult::kFileUnreadable;
    }

    std::string value;
    std::string line;
    for (;;) {
        if (context_.stopRequested) return PatchResult::kStopped;
        if (!std::getline(in, line)) break;
        // Written with CR LF; files edited by hand may end their lines in LF alone.
        if (!in.eof() && !line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(kVersionKey) != std::string::npos) {
            value = line.substr(kValueIndex);
            break;
        }
    }
    if (value.empty()) {
        showError(kInvalidText);
        return PatchResult::kFileUnreadable;
    }
    const int version = VersionTokenTable::versionFromToken(std::string_view(value));
    if (version < 0) {
        showError(kInvalidText);
        return PatchResult::kFileUnreadable;
    }
    return version;
}

int ClientVersionFile::write(int version) {
    if (context_.stopRequested) return PatchResult::kStopped;
    const std::string path = context_.layout.clientVersionPath();
    int error = replaceFileContent(path, contentFor(version));
    if (error != 0) {
        // A full or read-only disk is also named as a failed download names it, with its folder.
        const bool diskFault = error == ENOSPC || error == EDQUOT || error == EROFS;
        showError(fileErrorText(error, path) +
                  (diskFault ? "\n" + FileDownloader::writeFailureText(error, FileSystem::folderOf(path)) : ""));
        return PatchResult::kFileUnreadable;
    }
    return version;
}

std::string ClientVersionFile::contentFor(int version) {
    std::string content = "[DEFAULT]\r\n";
    content += kVersionKey;
    // Versions outside the table write the bare key, which the next read refuses.
    if (const char* token = VersionTokenTable::tokenForVersion(static_cast<unsigned>(version))) content += token;
    return content;
}

std::string ClientVersionFile::fileErrorText(int errorNumber, const std::string& path) {
    std::string_view format;
    switch (errorNumber) {
        case ENOENT:
            format = "%1 was not found.";
            break;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
        case EINVAL:
            format = "%1 contains an invalid path.";
            break;
        case EMFILE:
        case ENFILE:
            format = "%1 could not be opened because there are too many open files.";
            break;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            format = "Access to %1 was denied.";
            break;
        case EBADF:
            format = "An invalid file handle was associated with %1.";
            break;
        case EMLINK:
            format = "%1 could not be created because the directory is full.";
            break;
        case EIO:
            format = "A hardware I/O error was reported while accessing %1.";
            break;
        case ETXTBSY:
        case EBUSY:
            format = "A sharing violation occurred while accessing %1.";
            break;
        case ENOLCK:
        case EDEADLK:
            format = "A locking violation occurred while accessing %1.";
            break;
        case ENOSPC:
        case EDQUOT:
            format = "Disk full while accessing %1.";
            break;
        default:
            format = "An unknown error occurred while accessing %1.";
            break;
    }
    std::string text(format);
    text.replace(text.find("%1"), 2, path);
    return text;
}

}  // namespace nimbrel
