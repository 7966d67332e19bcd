#include "pack/PackWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "pack/DeflateCodec.h"
#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/ZipCrypto.h"
#include "platform/FileDescriptor.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

// Packs carry no zip64 records per entry: every offset and size must fit 32 bits.
constexpr std::uint64_t kLargestOffset = 0xFFFFFFFEull;
constexpr std::size_t kBufferLimit = 1 << 20;

}  // namespace

struct PackWriter::Impl {
    FileDescriptor fd;
    Encryption encryption = Encryption::WritePassword;
    std::uint64_t offset = 0;  // of the next byte written
    std::vector<unsigned char> buffer;
    std::vector<zip::CentralRecord> records;
    bool failed = false;
    int error = 0;                       // errno of the first failed write
    int closeResult = PACK_PARAM_ERROR;  // what close() reports when the archive was never open

    void fail() {
        if (!failed && error == 0) error = errno;
        failed = true;
    }

    bool flushBuffer() {
        if (!buffer.empty() && !failed && !fd.writeAll(buffer.data(), buffer.size())) fail();
        buffer.clear();
        return !failed;
    }

    bool emit(const unsigned char* data, std::size_t size) {
        if (buffer.size() + size > kBufferLimit && !flushBuffer()) return false;
        if (size > kBufferLimit) {
            if (!fd.writeAll(data, size)) fail();
        } else {
            buffer.insert(buffer.end(), data, data + size);
        }
        offset += size;
        return !failed;
    }

    // The game reads entry names as code page 949 text; a name that has no such form is
    // stored as UTF-8 and flagged so. Bytes that are not UTF-8 at all came from a disk
    // listing in the game's own encoding and are stored unchanged.
    static void setName(zip::CentralRecord& record, const std::string& entryName) {
        record.utf8Name.reset();
        if (auto encoded = TextCodec::utf8ToCp949(entryName)) {
            record.storedName = std::move(*encoded);
            record.utf8Name = entryName;
        } else {
            record.storedName = entryName;
            if (TextCodec::isValidUtf8(entryName)) record.flag |= zip::kFlagUtf8Name;
        }
        describeName(record);
    }

    // Zip tools read a name without the UTF-8 flag in their own code page, which garbles a
    // Korean one: every such name also travels in UTF-8 in Info-ZIP's Unicode path field.
    // Plain ASCII names get none, so those entries stay byte for byte as the game has always
    // read them. An entry copied from an archive keeps the field or gains it.
    static void describeName(zip::CentralRecord& record) {
        record.utf8Name = zip::unicodePathOf(record);
        if (zip::unicodePathFieldSize(record) > 0xFFFF) record.utf8Name.reset();
    }

    // Copies `size` bytes from `begin` in another file behind what was written, in the kernel.
    // PACK_BAD_ZIP_FILE when the source ends first: it is shorter than its records say.
    int copyFrom(int fromFd, std::uint64_t begin, std::uint64_t size) {
        if (!flushBuffer()) return PACK_ERRNO;
        loff_t from = static_cast<loff_t>(begin);
        for (std::uint64_t left = size; left > 0;) {
            ssize_t n = ::copy_file_range(fromFd, &from, fd.get(), nullptr, left, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                if (n == 0) errno = 0;  // the source ended: not the disk's fault
                fail();
                return n == 0 ? PACK_BAD_ZIP_FILE : PACK_ERRNO;
            }
            left -= static_cast<std::uint64_t>(n);
        }
        offset += size;
        return PACK_OK;
    }

    // Writes the local header of an entry of `storedSize` stored bytes (encryption header and
    // encrypted deflate stream, or the plain deflate stream) and returns its record; the
    // caller writes those bytes next. PACK_OK, or why the entry cannot be written.
    int beginStored(zip::CentralRecord& record, const std::string& entryName, std::uint64_t storedSize,
                    std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date, bool encrypted) {
        if (!fd.isOpen()) return PACK_PARAM_ERROR;
        record.flag = zip::kFlagLevelMaximum | (encrypted ? zip::kFlagEncrypted : 0);
        record.method = zip::kMethodDeflated;
        record.dosDateTime = PackFileTime::toDosDateTime(date);
        record.crc = crc;
        record.compressedSize = storedSize;
        record.uncompressedSize = uncompressedSize;
        record.localOffset = offset;
        setName(record, entryName);
        const std::uint64_t headerSize =
            zip::kLocalHeaderSize + record.storedName.size() + zip::unicodePathFieldSize(record);
        if (record.storedName.size() > 0xFFFF || uncompressedSize > kLargestOffset ||
            offset + headerSize + storedSize > kLargestOffset)
            return PACK_PARAM_ERROR;
        std::vector<unsigned char> header;
        zip::appendLocalHeader(header, record);
        return emit(header.data(), header.size()) ? PACK_OK : PACK_ERRNO;
    }

    // Writes one entry whose stored bytes are ready.
    int addStored(const std::string& entryName, const unsigned char* stored, std::size_t storedSize, std::uint32_t crc,
                  std::uint64_t uncompressedSize, const PackEntryDate& date, bool encrypted) {
        zip::CentralRecord record;
        if (int rc = beginStored(record, entryName, storedSize, crc, uncompressedSize, date, encrypted); rc != PACK_OK)
            return rc;
        if (!emit(stored, storedSize)) return PACK_ERRNO;
        records.push_back(std::move(record));
        return PACK_OK;
    }

    // Encrypts header space plus deflate stream in place (unless the archive is plain) and writes the entry.
    int encryptAndAdd(const std::string& entryName, std::vector<unsigned char>& stored, std::uint32_t crc,
                      std::uint64_t uncompressedSize, const PackEntryDate& date) {
        if (encryption == Encryption::None)
            return addStored(entryName, stored.data() + ZipCrypto::kHeaderSize, stored.size() - ZipCrypto::kHeaderSize,
                             crc, uncompressedSize, date, false);
        ZipCrypto crypto(PackPasswordTable::instance().writePassword());
        // The check value is the entry's CRC, as every zip tool verifies it. The game's own
        // writer put 0 there; its reader never looks, so both forms stay readable to the game.
        crypto.makeHeader(stored.data(), crc);
        crypto.encrypt(stored.data() + ZipCrypto::kHeaderSize, stored.size() - ZipCrypto::kHeaderSize);
        return addStored(entryName, stored.data(), stored.size(), crc, uncompressedSize, date, true);
    }
};

PackWriter::PackWriter() : impl_(std::make_unique<Impl>()) {}

PackWriter::PackWriter(const std::string& path, Encryption encryption) : impl_(std::make_unique<Impl>()) {
    impl_->encryption = encryption;
    if (FileSystem::isDirectory(path)) return;
    impl_->fd = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!impl_->fd.isOpen()) impl_->error = errno;
}

std::unique_ptr<PackWriter> PackWriter::appendTo(const std::string& path, std::vector<zip::CentralRecord> kept) {
    std::unique_ptr<PackWriter> writer(new PackWriter());
    Impl& impl = *writer->impl_;
    impl.fd = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    struct stat st {};
    if (!impl.fd.isOpen() || ::fstat(impl.fd.get(), &st) != 0 || ::lseek(impl.fd.get(), 0, SEEK_END) != st.st_size) {
        impl.error = errno;
        impl.fd.reset();
        return writer;
    }
    impl.offset = static_cast<std::uint64_t>(st.st_size);
    impl.records = std::move(kept);
    for (auto& record : impl.records) Impl::describeName(record);
    return writer;
}

PackWriter::~PackWriter() { close(); }

bool PackWriter::isOpen() const { return impl_->fd.isOpen(); }

std::uint64_t PackWriter::offset() const { return impl_->offset; }

int PackWriter::writeError() const { return impl_->error; }

int PackWriter::close() {
    Impl& impl = *impl_;
    if (!impl.fd.isOpen()) return impl.closeResult;
    FileDescriptor fd = closeUnflushed();
    // Callers rename the finished archive over a pack, or drop the journal of an update: it
    // must be on the disk whole first.
    bool ok = fd.isOpen() && ::fsync(fd.get()) == 0;
    if (!ok && fd.isOpen() && impl.error == 0) impl.error = errno;
    ok = fd.close() && ok;
    if (!ok && impl.error == 0) impl.error = errno;
    impl.closeResult = ok ? PACK_OK : PACK_ERRNO;
    return impl.closeResult;
}

FileDescriptor PackWriter::closeUnflushed() {
    Impl& impl = *impl_;
    if (!impl.fd.isOpen()) return FileDescriptor();
    std::vector<unsigned char> directory;
    for (const auto& record : impl.records) zip::appendCentralRecord(directory, record);
    const std::uint64_t directoryOffset = impl.offset;
    zip::appendEndRecord(directory, impl.records.size(), directory.size(), directoryOffset,
                         PackPasswordTable::instance().comment());
    bool ok = directoryOffset <= kLargestOffset && impl.emit(directory.data(), directory.size()) && impl.flushBuffer();
    FileDescriptor fd = std::move(impl.fd);
    impl.closeResult = ok ? PACK_OK : PACK_ERRNO;
    if (!ok) fd.reset();
    return fd;
}

void PackWriter::abandon() {
    impl_->buffer.clear();
    impl_->fd.reset();
}

int PackWriter::addFile(const std::string& entryName, const std::string& diskPath) {
    if (!isOpen()) return PACK_PARAM_ERROR;
    FileDescriptor input = FileDescriptor::openForReading(diskPath);
    struct stat st {};
    if (!input.isOpen() || ::fstat(input.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > kLargestOffset)
        return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> data(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::read(input.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return PACK_INTERNAL_ERROR;
        done += static_cast<std::size_t>(n);
    }
    input.reset();
    PackEntryDate date{};
    PackFileTime::getFileTimeForEntry(diskPath, date);
    return addBuffer(entryName, data.data(), data.size(), date);
}

int PackWriter::addBuffer(const std::string& entryName, const unsigned char* data, std::size_t size,
                          const PackEntryDate& date) {
    if (!isOpen()) return PACK_PARAM_ERROR;
    if (size > kLargestOffset || (!data && size > 0)) return PACK_PARAM_ERROR;
    std::vector<unsigned char> deflated;
    static const unsigned char kNothing = 0;
    if (!DeflateCodec::deflate(data ? data : &kNothing, size, deflated)) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> stored(ZipCrypto::kHeaderSize + deflated.size());
    std::memcpy(stored.data() + ZipCrypto::kHeaderSize, deflated.data(), deflated.size());
    deflated = {};
    return impl_->encryptAndAdd(entryName, stored, DeflateCodec::crc32(data ? data : &kNothing, size), size, date);
}

int PackWriter::setLastEntryMode(std::uint32_t mode, bool isDirectory) {
    if (!isOpen() || impl_->records.empty()) return PACK_PARAM_ERROR;
    constexpr std::uint32_t kFileType = 0100000, kFolderType = 0040000, kDosFolder = 0x10;
    zip::CentralRecord& record = impl_->records.back();
    record.madeBy = static_cast<std::uint16_t>(zip::kMadeByUnix << 8 | 20);
    record.externalAttributes =
        ((isDirectory ? kFolderType : kFileType) | (mode & 07777)) << 16 | (isDirectory ? kDosFolder : 0);
    return PACK_OK;
}

int PackWriter::addPrecompressed(const std::string& entryName, const unsigned char* deflated, std::size_t deflatedSize,
                                 std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date) {
    if (!isOpen()) return PACK_PARAM_ERROR;
    if (!deflated || deflatedSize == 0 || deflatedSize > kLargestOffset) return PACK_PARAM_ERROR;
    std::vector<unsigned char> stored(ZipCrypto::kHeaderSize + deflatedSize);
    std::memcpy(stored.data() + ZipCrypto::kHeaderSize, deflated, deflatedSize);
    return impl_->encryptAndAdd(entryName, stored, crc, uncompressedSize, date);
}

int PackWriter::addRawEncrypted(const std::string& entryName, const unsigned char* stored, std::size_t storedSize,
                                std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date) {
    if (!isOpen() || impl_->encryption == Encryption::None) return PACK_PARAM_ERROR;
    // Shorter than the encryption header plus the smallest deflate stream: not an entry.
    if (!stored || storedSize < ZipCrypto::kHeaderSize + 2) return PACK_PARAM_ERROR;
    return impl_->addStored(entryName, stored, storedSize, crc, uncompressedSize, date, true);
}

int PackWriter::addDeflatedRange(const std::string& entryName, int fromFd, std::uint64_t dataOffset,
                                 std::uint64_t deflatedSize, std::uint32_t crc, std::uint64_t uncompressedSize,
                                 const PackEntryDate& date) {
    Impl& impl = *impl_;
    if (!isOpen() || impl.encryption != Encryption::None || deflatedSize == 0) return PACK_PARAM_ERROR;
    zip::CentralRecord record;
    if (int rc = impl.beginStored(record, entryName, deflatedSize, crc, uncompressedSize, date, false); rc != PACK_OK)
        return rc;
    if (int rc = impl.copyFrom(fromFd, dataOffset, deflatedSize); rc != PACK_OK) return rc;
    impl.records.push_back(std::move(record));
    return PACK_OK;
}

int PackWriter::addCopiedRun(int fromFd, std::uint64_t begin, std::uint64_t end,
                             std::vector<zip::CentralRecord> records) {
    Impl& impl = *impl_;
    if (!isOpen() || end < begin) return PACK_PARAM_ERROR;
    if (impl.offset + (end - begin) > kLargestOffset) return PACK_PARAM_ERROR;
    const std::uint64_t start = impl.offset;
    if (int rc = impl.copyFrom(fromFd, begin, end - begin); rc != PACK_OK) return rc;
    for (auto& record : records) {
        record.localOffset = start + (record.localOffset - begin);
        Impl::describeName(record);
        impl.records.push_back(std::move(record));
    }
    return PACK_OK;
}

}  // namespace nimbrel
