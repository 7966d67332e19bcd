#include "pack/PackReader.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

#include "pack/DeflateCodec.h"
#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/ZipCrypto.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;
constexpr std::size_t kCommentSize = 64;
constexpr std::size_t kChunkSize = 1 << 16;

// RAII owner of the temporary an entry is extracted into; removed unless it was renamed
// into place.
class ExtractTarget {
public:
    explicit ExtractTarget(const std::string& path) {
        // The name keeps a leftover of a killed run next to its target, where the folder
        // listing's name filter (".rpak") keeps it out of any later pack.
        for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
            unsigned char random[6] = {};
            if (::getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random)))
                for (auto& b : random) b = static_cast<unsigned char>(::rand());
            static const char kDigits[] = "0123456789abcdefghijklmnopqrstuv";
            std::string suffix;
            for (unsigned char b : random) suffix += kDigits[b & 31];
            temp_ = FileSystem::folderOf(path) + "." + FileSystem::nameOf(path) + "." + suffix + ".rpak";
            fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) break;
        }
    }
    ~ExtractTarget() {
        if (fd_ >= 0) ::close(fd_);
        if (!kept_ && !temp_.empty()) ::unlink(temp_.c_str());
    }
    ExtractTarget(const ExtractTarget&) = delete;
    ExtractTarget& operator=(const ExtractTarget&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& tempPath() const { return temp_; }

    bool write(const unsigned char* data, std::size_t size) { return FileDescriptor::writeAll(fd_, data, size); }
    bool finishWriting() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    bool moveInto(const std::string& path) {
        if (::rename(temp_.c_str(), path.c_str()) != 0) return false;
        kept_ = true;
        return true;
    }

private:
    std::string temp_;
    int fd_ = -1;
    bool kept_ = false;
};

}  // namespace

struct PackReader::Impl {
    unzFile handle = nullptr;
    bool emptyArchive = false;  // open, without a minizip handle: see openEmptyArchive
    std::string comment;
    int formatVersion = 0;
    std::string name;
    PackEntryInfo info;
    std::uint64_t entryCount = 0;

    // The entry open for decoded reading.
    bool entryOpen = false;
    std::optional<ZipCrypto> crypto;
    std::unique_ptr<DeflateCodec::Inflater> inflater;
    std::vector<unsigned char> input;
    std::uint64_t produced = 0;
    std::uint32_t crc = 0;
    bool reachedEnd = false;

    void closeEntry() {
        if (entryOpen) unzCloseCurrentFile(handle);
        entryOpen = false;
        crypto.reset();
        inflater.reset();
    }

    // minizip never finds an end record at offset 0, so it cannot open an archive without
    // entries (such as a pack built from a folder of subfolders). Such an archive is just
    // the end record and its comment; it is recognised here and opens without a handle.
    bool openEmptyArchive(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return false;
        std::vector<unsigned char> record(22 + 0xFFFF);
        std::size_t size = std::fread(record.data(), 1, record.size(), file);
        bool longer = std::fgetc(file) != EOF;
        std::fclose(file);
        auto le16 = [&](std::size_t at) { return static_cast<std::size_t>(record[at] | record[at + 1] << 8); };
        if (longer || size < 22 || record[0] != 'P' || record[1] != 'K' || record[2] != 5 || record[3] != 6)
            return false;
        // No disk numbers, no entries, an empty directory, and the comment fills the rest.
        for (std::size_t at = 4; at < 20; ++at)
            if (record[at] != 0) return false;
        if (22 + le16(20) != size) return false;
        comment.assign(reinterpret_cast<const char*>(record.data()) + 22,
                       std::min<std::size_t>(le16(20), kCommentSize));
        emptyArchive = true;
        return true;
    }

    const char* password() const { return PackPasswordTable::instance().password(formatVersion); }

    // minizip only hands out the stored bytes; decryption and inflation happen here.
    int openRaw() {
        closeEntry();
        int method = 0;
        int rc = unzOpenCurrentFile2(handle, &method, nullptr, 1);
        if (rc != UNZ_OK) return rc;
        entryOpen = true;
        return UNZ_OK;
    }

    int readRaw(unsigned char* out, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size - done, 1u << 30));
            int n = unzReadCurrentFile(handle, out + done, chunk);
            if (n < 0) return n;
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return static_cast<int>(done);
    }

    int openDecoded() {
        if (info.compressionMethod != 0 && info.compressionMethod != Z_DEFLATED) return UNZ_BADZIPFILE;
        const bool encrypted = (info.flag & kFlagEncrypted) != 0;
        // A format version without a password (outside 0..999) cannot open an encrypted entry.
        if (encrypted && !password()) return UNZ_PARAMERROR;
        int rc = openRaw();
        if (rc != UNZ_OK) return rc;
        if (encrypted) {
            unsigned char header[ZipCrypto::kHeaderSize];
            int n = readRaw(header, sizeof(header));
            if (n != static_cast<int>(sizeof(header))) {
                closeEntry();
                return n < 0 ? n : UNZ_BADZIPFILE;
            }
            crypto.emplace(password());
            crypto->readHeader(header);
        }
        if (info.compressionMethod == Z_DEFLATED) {
            inflater = std::make_unique<DeflateCodec::Inflater>();
            if (!inflater->ok()) {
                closeEntry();
                return UNZ_INTERNALERROR;
            }
            input.resize(kChunkSize);
        }
        produced = 0;
        crc = 0;
        reachedEnd = false;
        return UNZ_OK;
    }

    // Bytes produced (0 at the end of the entry) or a negative code.
    long long readDecoded(unsigned char* out, std::size_t capacity) {
        if (!entryOpen) return UNZ_PARAMERROR;
        if (capacity == 0) return 0;
        long long n = 0;
        if (!inflater) {
            n = readRaw(out, std::min<std::size_t>(capacity, 1u << 30));
            if (n > 0 && crypto) crypto->decrypt(out, static_cast<std::size_t>(n));
        } else {
            while (true) {
                if (inflater->finished()) break;
                if (inflater->needsInput()) {
                    int got = readRaw(input.data(), input.size());
                    if (got < 0) return got;
                    // The stored bytes ended inside the deflate stream: a cut archive.
                    if (got == 0) return UNZ_BADZIPFILE;
                    if (crypto) crypto->decrypt(input.data(), static_cast<std::size_t>(got));
                    inflater->feed(input.data(), static_cast<std::size_t>(got));
                }
                n = inflater->produce(out, capacity);
                if (n != 0) break;
            }
        }
        if (n < 0) return n;
        if (n == 0) {
            reachedEnd = true;
            return 0;
        }
        crc = DeflateCodec::crc32(out, static_cast<std::size_t>(n), crc);
        produced += static_cast<std::uint64_t>(n);
        return n;
    }

    // Releases the entry; an entry read to its end must match its size and CRC-32.
    int finishEntry() {
        if (!entryOpen) return UNZ_PARAMERROR;
        bool readWhole = reachedEnd || produced >= info.uncompressedSize;
        bool intact = produced == info.uncompressedSize && crc == info.crc;
        int rc = unzCloseCurrentFile(handle);
        entryOpen = false;
        crypto.reset();
        inflater.reset();
        if (rc != UNZ_OK) return rc;
        return readWhole && !intact ? UNZ_CRCERROR : UNZ_OK;
    }

    // The stored bytes of the current entry, grown as they arrive so that a damaged header
    // claiming a huge size cannot make us allocate it.
    int readStored(std::vector<unsigned char>& stored) {
        int rc = openRaw();
        if (rc != UNZ_OK) return rc;
        stored.clear();
        stored.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(info.compressedSize, 16u << 20)));
        while (true) {
            std::size_t at = stored.size();
            stored.resize(at + kChunkSize);
            int n = readRaw(stored.data() + at, kChunkSize);
            if (n < 0) {
                stored.clear();
                closeEntry();
                return n;
            }
            stored.resize(at + static_cast<std::size_t>(n));
            if (n == 0) break;
        }
        closeEntry();
        return stored.size() == info.compressedSize ? UNZ_OK : UNZ_BADZIPFILE;
    }
};

PackReader::PackReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
    impl_->handle = unzOpen64(path.c_str());
    if (impl_->handle) {
        char buffer[kCommentSize + 1] = {};
        int n = unzGetGlobalComment(impl_->handle, buffer, kCommentSize);
        if (n > 0) impl_->comment.assign(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), kCommentSize));
    } else if (!impl_->openEmptyArchive(path)) {
        return;
    }
    // The comment may hold a NUL; the version is parsed from the text before it.
    impl_->formatVersion = PackPasswordTable::parseVersion(impl_->comment.c_str());
}

PackReader::~PackReader() { close(); }

bool PackReader::isOpen() const { return impl_->handle != nullptr || impl_->emptyArchive; }

void PackReader::close() {
    impl_->emptyArchive = false;
    if (!impl_->handle) return;
    impl_->closeEntry();
    unzClose(impl_->handle);
    impl_->handle = nullptr;
}

int PackReader::goToFirstEntry() {
    if (!impl_->handle) return impl_->emptyArchive ? UNZ_BADZIPFILE : UNZ_PARAMERROR;
    impl_->closeEntry();
    return unzGoToFirstFile(impl_->handle);
}

int PackReader::goToNextEntry() {
    if (!impl_->handle) return impl_->emptyArchive ? UNZ_END_OF_LIST_OF_FILE : UNZ_PARAMERROR;
    impl_->closeEntry();
    return unzGoToNextFile(impl_->handle);
}

int PackReader::readEntryInfo() {
    if (!impl_->handle) return UNZ_PARAMERROR;
    unz_file_info64 info{};
    char shortName[1024];
    int rc = unzGetCurrentFileInfo64(impl_->handle, &info, shortName, sizeof(shortName), nullptr, 0, nullptr, 0);
    if (rc != UNZ_OK) return rc;
    std::string stored;
    if (info.size_filename < sizeof(shortName)) {
        stored.assign(shortName, info.size_filename);
    } else {
        // Names are not cut short: a cut name could match, or overwrite, another file.
        std::vector<char> longName(info.size_filename + 1);
        rc = unzGetCurrentFileInfo64(impl_->handle, &info, longName.data(), longName.size(), nullptr, 0, nullptr, 0);
        if (rc != UNZ_OK) return rc;
        stored.assign(longName.data(), info.size_filename);
    }
    PackEntryInfo& out = impl_->info;
    out.flag = static_cast<std::uint16_t>(info.flag);
    out.compressionMethod = static_cast<std::uint16_t>(info.compression_method);
    out.crc = static_cast<std::uint32_t>(info.crc);
    out.compressedSize = info.compressed_size;
    out.uncompressedSize = info.uncompressed_size;
    out.date = PackFileTime::fromDosDateTime(static_cast<std::uint32_t>(info.dosDate));
    impl_->name = (out.flag & kFlagUtf8Name) ? stored : TextCodec::cp949ToUtf8(stored);
    return UNZ_OK;
}

int PackReader::readGlobalInfo() {
    if (impl_->emptyArchive) {
        impl_->entryCount = 0;
        return UNZ_OK;
    }
    if (!impl_->handle) return UNZ_PARAMERROR;
    unz_global_info64 info{};
    int rc = unzGetGlobalInfo64(impl_->handle, &info);
    if (rc == UNZ_OK) impl_->entryCount = info.number_entry;
    return rc;
}

const std::string& PackReader::currentName() const { return impl_->name; }
const PackEntryInfo& PackReader::currentInfo() const { return impl_->info; }
std::uint64_t PackReader::entryCount() const { return impl_->entryCount; }
const std::string& PackReader::comment() const { return impl_->comment; }
int PackReader::formatVersion() const { return impl_->formatVersion; }
const char* PackReader::entryPassword() const { return impl_->password(); }

int PackReader::readEntryToBuffer(unsigned char* buffer, PackEntryDate& date) {
    int rc = readEntryInfo();
    if (rc != UNZ_OK) return rc;
    rc = impl_->openDecoded();
    if (rc != UNZ_OK) return rc;
    const std::uint64_t size = impl_->info.uncompressedSize;
    std::uint64_t done = 0;
    while (done < size) {
        long long n = impl_->readDecoded(buffer + done, static_cast<std::size_t>(size - done));
        if (n < 0) return static_cast<int>(n);
        if (n == 0) break;
        done += static_cast<std::uint64_t>(n);
    }
    if (done != size) {
        // A short read is returned as its count; nothing read of a non-empty entry is a
        // damaged entry, never a success.
        if (done == 0) return UNZ_BADZIPFILE;
        return static_cast<int>(std::min<std::uint64_t>(done, 0x7FFFFFFF));
    }
    // The stream must end where the recorded size does; one more byte means damage, even
    // when the bytes so far match the CRC.
    unsigned char beyond = 0;
    long long extra = impl_->readDecoded(&beyond, 1);
    if (extra < 0) return static_cast<int>(extra);
    rc = impl_->finishEntry();
    if (rc != UNZ_OK) return rc;
    date = impl_->info.date;
    return UNZ_OK;
}

int PackReader::extractEntryToFile(const std::string& path) {
    int rc = readEntryInfo();
    if (rc != UNZ_OK) return rc;
    rc = impl_->openDecoded();
    if (rc != UNZ_OK) return rc;
    // A read-only target cannot be overwritten, as the game's platform refuses to open it.
    if (FileSystem::isDirectory(path) || (FileSystem::fileExists(path) && FileSystem::isReadOnly(path)))
        return PACK_INTERNAL_ERROR;
    // The entry goes to a temporary beside the target, which is replaced only by a complete
    // entry whose CRC matched: a wrong password or damaged data never leaves a cut file.
    ExtractTarget target(path);
    if (!target.ok()) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> chunk(kChunkSize);
    while (true) {
        long long n = impl_->readDecoded(chunk.data(), chunk.size());
        if (n < 0) return static_cast<int>(n);
        if (n == 0) break;
        if (!target.write(chunk.data(), static_cast<std::size_t>(n))) return PACK_ERRNO;
    }
    if (!target.finishWriting()) return PACK_ERRNO;
    rc = impl_->finishEntry();
    if (rc != UNZ_OK) return rc;
    PackFileTime::setFileTimeFromEntry(target.tempPath(), impl_->info.date);
    if (!target.moveInto(path)) return PACK_INTERNAL_ERROR;
    return UNZ_OK;
}

int PackReader::readStoredEntry(std::vector<unsigned char>& stored) {
    int rc = readEntryInfo();
    if (rc != UNZ_OK) return rc;
    return impl_->readStored(stored);
}

int PackReader::readCompressedEntry(std::vector<unsigned char>& deflated) {
    int rc = readEntryInfo();
    if (rc != UNZ_OK) return rc;
    if (impl_->info.compressionMethod != Z_DEFLATED) return UNZ_PARAMERROR;
    const bool encrypted = (impl_->info.flag & kFlagEncrypted) != 0;
    if (encrypted && !impl_->password()) return UNZ_PARAMERROR;
    rc = impl_->readStored(deflated);
    if (rc != UNZ_OK) return rc;
    if (encrypted) {
        if (deflated.size() < ZipCrypto::kHeaderSize) return UNZ_BADZIPFILE;
        ZipCrypto crypto(impl_->password());
        crypto.readHeader(deflated.data());
        deflated.erase(deflated.begin(), deflated.begin() + ZipCrypto::kHeaderSize);
        crypto.decrypt(deflated.data(), deflated.size());
    }
    return UNZ_OK;
}

}  // namespace nimbrel
