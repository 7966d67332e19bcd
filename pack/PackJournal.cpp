#include "pack/PackJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"

namespace nimbrel {
namespace {

constexpr const char* kMagic = "nimbrel pack journal 1 size ";

}  // namespace

std::string PackJournal::pathFor(const std::string& pack) { return pack + ".journal"; }

FileDescriptor PackJournal::lock(const std::string& pack) {
    FileDescriptor fd(::open(pack.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.isOpen() && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) fd.reset();
    return fd;
}

bool PackJournal::begin(const std::string& pack, std::uint64_t oldSize) { return beginAll({{pack, oldSize}}); }

bool PackJournal::beginAll(const std::vector<std::pair<std::string, std::uint64_t>>& packSizes) {
    std::vector<AtomicFile> journals(packSizes.size());
    std::vector<AtomicFile*> written;
    for (std::size_t i = 0; i < packSizes.size(); ++i) {
        const std::string text = kMagic + std::to_string(packSizes[i].second) + "\n";
        if (!journals[i].open(pathFor(packSizes[i].first)) || !journals[i].write(text.data(), text.size()))
            return false;
        written.push_back(&journals[i]);
    }
    return AtomicFile::commitTogether(written) < 0;
}

bool PackJournal::finish(const std::string& pack) {
    const std::string journal = pathFor(pack);
    if (::unlink(journal.c_str()) != 0) return false;
    FileSystem::syncPath(FileSystem::folderOf(journal));
    return true;
}

bool PackJournal::recover(const std::string& pack) {
    const std::string journal = pathFor(pack);
    FileDescriptor in = FileDescriptor::openForReading(journal);
    if (!in.isOpen()) return true;
    char text[96] = {};
    ssize_t n = ::read(in.get(), text, sizeof text - 1);
    in.reset();
    unsigned long long oldSize = 0;
    const std::size_t magic = std::strlen(kMagic);
    // A journal is only ever named once complete; anything else was not written by us.
    if (n <= static_cast<ssize_t>(magic) || std::strncmp(text, kMagic, magic) != 0 ||
        std::sscanf(text + magic, "%llu", &oldSize) != 1)
        return false;
    FileDescriptor held = lock(pack);
    if (!held.isOpen() && FileSystem::fileExists(pack)) return true;  // updated right now, by someone else
    struct stat st {};
    if (::stat(pack.c_str(), &st) == 0 && static_cast<unsigned long long>(st.st_size) > oldSize) {
        FileDescriptor fd(::open(pack.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd.isOpen() || ::ftruncate(fd.get(), static_cast<off_t>(oldSize)) != 0 || ::fsync(fd.get()) != 0)
            return false;
    }
    return finish(pack);
}

}  // namespace nimbrel
