#include "pack/PackReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pack/PackFileTime.h"
#include "pack/PackJournal.h"
#include "pack/PackPasswordTable.h"
#include "platform/AtomicFile.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

constexpr std::size_t kCommentSize = 64;
constexpr std::size_t kChunkSize = 1 << 16;

bool readAt(int fd, std::uint64_t offset, unsigned char* out, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct PackReader::Impl {
    FileDescriptor fd;
    std::uint64_t fileSize = 0;
    bool open = false;
    std::string comment;
    int formatVersion = 0;

    std::vector<unsigned char> directory;
    std::uint64_t directoryBegin = 0;  // in the file
    std::uint64_t directoryEnd = 0;
    std::uint64_t entryCount = 0;
    std::uint64_t base = 0;  // bytes in front of the archive (offsets count from here)

    bool positioned = false;
    std::uint64_t index = 0;
    std::size_t nextRecord = 0;  // in `directory`
    zip::CentralRecord record;
    std::string name;
    PackEntryInfo info;
    std::unique_ptr<EntryChain> chain;  // the entry being read by the classic calls

    const char* password() const { return PackPasswordTable::instance().password(formatVersion); }

    bool openArchive(const std::string& path) {
        fd = FileDescriptor::openForReading(path);
        struct stat st {};
        if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        fileSize = static_cast<std::uint64_t>(st.st_size);
        const std::optional<zip::DirectoryPlace> place = zip::locateDirectory(
            [this](std::uint64_t at, unsigned char* out, std::size_t size) { return readAt(fd.get(), at, out, size); },
            fileSize);
        if (!place) return false;
        comment = place->comment.substr(0, kCommentSize);
        base = place->base;
        directoryBegin = place->begin;
        directoryEnd = directoryBegin + place->size;
        const std::uint64_t size = place->size, entries = place->entries;
        directory.resize(static_cast<std::size_t>(size));
        if (!readAt(fd.get(), directoryBegin, directory.data(), directory.size())) return false;
        entryCount = entries;
        open = true;
        return true;
    }

    int loadRecord(std::size_t at) {
        chain.reset();
        positioned = false;
        std::size_t cursor = at;
        if (!zip::parseCentralRecord(directory, cursor, record)) return PACK_BAD_ZIP_FILE;
        nextRecord = cursor;
        positioned = true;

        info = PackEntryInfo{};
        info.flag = record.flag;
        info.compressionMethod = record.method;
        info.crc = record.crc;
        info.compressedSize = record.compressedSize;
        info.uncompressedSize = record.uncompressedSize;
        info.date = PackFileTime::fromDosDateTime(record.dosDateTime);
        info.unixMode = record.unixMode();
        name = zip::entryName(record);
        info.isDirectory = !name.empty() && (name.back() == '/' || name.back() == '\\');
        return PACK_OK;
    }

    bool supported() const {
        return (record.method == zip::kMethodStored || record.method == zip::kMethodDeflated) &&
               (record.flag & zip::kFlagStrongEncryption) == 0;
    }

    int dataOffset(std::uint64_t& at) {
        unsigned char local[zip::kLocalHeaderSize];
        const std::uint64_t header = base + record.localOffset;
        if (header >= directoryBegin || !readAt(fd.get(), header, local, sizeof local)) return PACK_BAD_ZIP_FILE;
        const std::optional<std::uint64_t> headerLength = zip::localHeaderLength(local, record);
        if (!headerLength) return PACK_BAD_ZIP_FILE;
        at = header + *headerLength;
        // Entry data never reaches into the directory.
        if (at > directoryBegin || record.compressedSize > directoryBegin - at) return PACK_BAD_ZIP_FILE;
        return PACK_OK;
    }

    int makeChain(EntryChain::Stage stage, std::unique_ptr<EntryChain>& out) {
        if (!positioned) return PACK_PARAM_ERROR;
        if (stage != EntryChain::Stage::Stored && !supported()) return PACK_UNSUPPORTED;
        const bool encrypted = (record.flag & zip::kFlagEncrypted) != 0;
        // A format version without a password (outside 0..999) cannot open an encrypted entry.
        if (stage != EntryChain::Stage::Stored && encrypted && !password()) return PACK_PARAM_ERROR;
        EntryChain::Entry entry;
        int rc = dataOffset(entry.dataOffset);
        if (rc != PACK_OK) return rc;
        entry.storedSize = record.compressedSize;
        entry.method = record.method;
        entry.encrypted = encrypted;
        entry.crc = record.crc;
        entry.size = record.uncompressedSize;
        if (encrypted && stage != EntryChain::Stage::Stored && entry.storedSize < ZipCrypto::kHeaderSize)
            return PACK_BAD_ZIP_FILE;
        out = std::make_unique<EntryChain>(fd.get(), entry, password(), stage);
        return PACK_OK;
    }
};

PackReader::PackReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
    // An update of this pack that was cut off is undone before anyone reads it.
    PackJournal::recover(path);
    if (!impl_->openArchive(path)) {
        impl_->fd.reset();
        return;
    }
    // The comment may hold a NUL; the version is parsed from the text before it.
    impl_->formatVersion = PackPasswordTable::parseVersion(impl_->comment.c_str());
}

PackReader::~PackReader() { close(); }

bool PackReader::isOpen() const { return impl_->open; }

void PackReader::close() {
    impl_->chain.reset();
    impl_->positioned = false;
    impl_->open = false;
    impl_->fd.reset();
}

std::optional<std::vector<PackDirectoryEntry>> PackReader::readDirectory(const std::string& path) {
    PackReader reader(path);
    if (!reader.isOpen()) return std::nullopt;
    std::vector<PackDirectoryEntry> entries;
    if (reader.forEachEntry([&](PackReader& r) {
            entries.push_back({r.currentName(), r.currentInfo()});
            return PACK_OK;
        }) != PACK_OK)
        return std::nullopt;
    return entries;
}

int PackReader::goToFirstEntry() {
    if (!impl_->open) return PACK_PARAM_ERROR;
    impl_->index = 0;
    if (impl_->entryCount == 0) {
        impl_->positioned = false;
        return PACK_BAD_ZIP_FILE;
    }
    return impl_->loadRecord(0);
}

int PackReader::goToNextEntry() {
    if (!impl_->open || !impl_->positioned) return PACK_PARAM_ERROR;
    if (impl_->index + 1 >= impl_->entryCount) return PACK_END_OF_LIST;
    ++impl_->index;
    return impl_->loadRecord(impl_->nextRecord);
}

int PackReader::forEachEntry(const std::function<int(PackReader&)>& visit, std::uint64_t* visited) {
    if (visited) *visited = 0;
    if (!impl_->open) return PACK_PARAM_ERROR;
    if (impl_->entryCount == 0) return PACK_OK;
    for (int rc = goToFirstEntry();; rc = goToNextEntry()) {
        if (rc == PACK_END_OF_LIST) return PACK_OK;
        if (rc != PACK_OK) return rc;
        rc = visit(*this);
        if (visited) ++*visited;
        if (rc != PACK_OK) return rc;
    }
}

int PackReader::readEntryInfo() { return impl_->open && impl_->positioned ? PACK_OK : PACK_PARAM_ERROR; }

int PackReader::readGlobalInfo() { return impl_->open ? PACK_OK : PACK_PARAM_ERROR; }

const std::string& PackReader::currentName() const { return impl_->name; }
const PackEntryInfo& PackReader::currentInfo() const { return impl_->info; }
const zip::CentralRecord& PackReader::currentRecord() const { return impl_->record; }
std::uint64_t PackReader::entryCount() const { return impl_->entryCount; }
const std::string& PackReader::comment() const { return impl_->comment; }
int PackReader::formatVersion() const { return impl_->formatVersion; }
const char* PackReader::entryPassword() const { return impl_->password(); }
int PackReader::fd() const { return impl_->fd.get(); }
std::uint64_t PackReader::fileSize() const { return impl_->fileSize; }
std::uint64_t PackReader::directoryBegin() const { return impl_->directoryBegin; }
std::uint64_t PackReader::directoryEnd() const { return impl_->directoryEnd; }

int PackReader::openEntry(EntryChain::Stage stage, std::unique_ptr<EntryChain>& chain) {
    return impl_->makeChain(stage, chain);
}

int PackReader::entryExtent(std::uint64_t& begin, std::uint64_t& end) {
    if (!impl_->positioned) return PACK_PARAM_ERROR;
    std::uint64_t data = 0;
    int rc = impl_->dataOffset(data);
    if (rc != PACK_OK) return rc;
    begin = impl_->base + impl_->record.localOffset;
    end = data + impl_->record.compressedSize;
    return PACK_OK;
}

int PackReader::readEntryToBuffer(unsigned char* buffer, PackEntryDate& date) {
    std::unique_ptr<EntryChain> chain;
    int rc = impl_->makeChain(EntryChain::Stage::Content, chain);
    if (rc != PACK_OK) return rc;
    const std::uint64_t size = impl_->info.uncompressedSize;
    std::uint64_t done = 0;
    while (done < size) {
        long long n = chain->source().read(buffer + done, static_cast<std::size_t>(size - done));
        if (n < 0) return static_cast<int>(n);
        if (n == 0) return PACK_CRC_ERROR;
        done += static_cast<std::uint64_t>(n);
    }
    // The end of the stream is where size and CRC are checked; one more byte means damage.
    unsigned char beyond = 0;
    long long extra = chain->source().read(&beyond, 1);
    if (extra != 0) return extra < 0 ? static_cast<int>(extra) : PACK_CRC_ERROR;
    date = impl_->info.date;
    return PACK_OK;
}

int PackReader::extractEntryToFile(const std::string& path) { return extractEntryToFile(path, false); }

int PackReader::extractEntryToFile(const std::string& path, bool replaceReadOnly) {
    std::unique_ptr<EntryChain> chain;
    int rc = impl_->makeChain(EntryChain::Stage::Content, chain);
    if (rc != PACK_OK) return rc;
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode)) return PACK_INTERNAL_ERROR;
    if (exists && !replaceReadOnly && FileSystem::isReadOnly(path)) return PACK_INTERNAL_ERROR;
    // The entry goes to a temporary beside the target, which is replaced only by a complete
    // entry whose CRC matched: a wrong password or damaged data never leaves a cut file. The
    // file takes the permission bits the archive recorded (a release publishes its modes, and
    // a change of mode alone), never setuid, setgid or sticky; where none are recorded (Windows
    // zip tools, packs) a replaced file keeps its own and a new one gets the usual ones.
    const std::optional<std::uint32_t> recorded = impl_->info.unixMode;
    AtomicFile target;
    if (!target.open(path, recorded ? *recorded & 0777 : 0644)) return PACK_INTERNAL_ERROR;
    if (exists && !recorded && !target.setMode(old.st_mode & 07777)) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> chunk(kChunkSize);
    for (;;) {
        long long n = chain->source().read(chunk.data(), chunk.size());
        if (n < 0) return static_cast<int>(n);
        if (n == 0) break;
        if (!target.write(chunk.data(), static_cast<std::size_t>(n))) return PACK_ERRNO;
    }
    PackFileTime::setFileTimeFromEntry(target.temporaryPath(), impl_->info.date);
    // Extraction writes many files; each is complete under its name, and the game folder is
    // flushed as a whole by the file system (a flush per file would double an extraction).
    if (!target.commit(AtomicFile::Commit::Replace, AtomicFile::Flush::Skip)) return PACK_INTERNAL_ERROR;
    return PACK_OK;
}

int PackReader::readStoredEntry(std::vector<unsigned char>& stored) {
    std::unique_ptr<EntryChain> chain;
    int rc = impl_->makeChain(EntryChain::Stage::Stored, chain);
    if (rc != PACK_OK) return rc;
    rc = EntryChain::readAll(chain->source(), stored);
    if (rc != PACK_OK) return rc;
    return stored.size() == impl_->info.compressedSize ? PACK_OK : PACK_BAD_ZIP_FILE;
}

int PackReader::readCompressedEntry(std::vector<unsigned char>& deflated) {
    if (!impl_->positioned) return PACK_PARAM_ERROR;
    if (impl_->info.compressionMethod != zip::kMethodDeflated) return PACK_PARAM_ERROR;
    std::unique_ptr<EntryChain> chain;
    int rc = impl_->makeChain(EntryChain::Stage::Compressed, chain);
    if (rc != PACK_OK) return rc;
    return EntryChain::readAll(chain->source(), deflated);
}

}  // namespace nimbrel
