#include "pack/PackWriter.h"

#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "pack/DeflateCodec.h"
#include "pack/PackFileTime.h"
#include "pack/PackPasswordTable.h"
#include "pack/ZipCrypto.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace nimbrel {
namespace {

constexpr unsigned long kFlagEncrypted = 0x0001;
constexpr unsigned long kFlagUtf8Name = 0x0800;
// minizip adds flag bit 1 itself for level 8; the level is only recorded, never used, in raw mode.
constexpr int kRecordedLevel = DeflateCodec::kPackLevel;
// Sizes that would need zip64 records, which packs never carry.
constexpr std::uint64_t kLargestEntry = 0xFFFFFFFEull;

// The archive's file, behind minizip's file functions so that every write error is seen
// and close() can flush the data to the disk before it reports success: callers rename the
// finished archive over a pack and must know it is complete.
struct ArchiveFile {
    std::FILE* file = nullptr;
    bool failed = false;
};

voidpf openFile(voidpf opaque, const void* filename, int mode) {
    auto* state = static_cast<ArchiveFile*>(opaque);
    // Packs are only ever created, never appended to.
    if ((mode & ZLIB_FILEFUNC_MODE_CREATE) == 0 || !filename) return nullptr;
    state->file = std::fopen(static_cast<const char*>(filename), "wb");
    if (state->file) std::setvbuf(state->file, nullptr, _IOFBF, 1 << 16);
    return state->file;
}

uLong readFile(voidpf, voidpf stream, void* buf, uLong size) {
    return static_cast<uLong>(std::fread(buf, 1, size, static_cast<std::FILE*>(stream)));
}

uLong writeFile(voidpf opaque, voidpf stream, const void* buf, uLong size) {
    auto written = static_cast<uLong>(std::fwrite(buf, 1, size, static_cast<std::FILE*>(stream)));
    if (written != size) static_cast<ArchiveFile*>(opaque)->failed = true;
    return written;
}

ZPOS64_T tellFile(voidpf opaque, voidpf stream) {
    off_t at = ::ftello(static_cast<std::FILE*>(stream));
    if (at < 0) static_cast<ArchiveFile*>(opaque)->failed = true;
    return static_cast<ZPOS64_T>(at);
}

long seekFile(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END : SEEK_SET;
    if (::fseeko(static_cast<std::FILE*>(stream), static_cast<off_t>(offset), whence) == 0) return 0;
    static_cast<ArchiveFile*>(opaque)->failed = true;
    return -1;
}

int closeFile(voidpf opaque, voidpf stream) {
    auto* state = static_cast<ArchiveFile*>(opaque);
    auto* file = static_cast<std::FILE*>(stream);
    bool ok = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    ok = std::fclose(file) == 0 && ok;
    state->file = nullptr;
    if (!ok) state->failed = true;
    return ok ? 0 : EOF;
}

int errorFile(voidpf, voidpf stream) { return std::ferror(static_cast<std::FILE*>(stream)); }

// RAII owner of a FILE* opened for reading a disk file to add.
struct InputFile {
    explicit InputFile(const std::string& path) : file(std::fopen(path.c_str(), "rb")) {}
    ~InputFile() {
        if (file) std::fclose(file);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    std::FILE* file;
};

}  // namespace

struct PackWriter::Impl {
    ArchiveFile archive;
    zipFile handle = nullptr;
    int closeResult = PACK_PARAM_ERROR;  // what close() reports when the archive was never open

    // Writes one entry whose stored bytes (encryption header and encrypted deflate stream)
    // are ready, and closes it at once: nothing is left for zipClose to finish.
    int addStored(const std::string& entryName, const unsigned char* stored, std::size_t storedSize, std::uint32_t crc,
                  std::uint64_t uncompressedSize, const PackEntryDate& date) {
        if (!handle) return PACK_PARAM_ERROR;
        if (uncompressedSize > kLargestEntry || storedSize > kLargestEntry) return PACK_PARAM_ERROR;

        // The game reads entry names as code page 949 text; a name that has no such form is
        // stored as UTF-8 and flagged so. Bytes that are not UTF-8 at all came from a disk
        // listing in the game's own encoding and are stored unchanged.
        unsigned long flag = kFlagEncrypted;
        std::string storedName;
        if (auto encoded = TextCodec::utf8ToCp949(entryName)) {
            storedName = std::move(*encoded);
        } else if (TextCodec::isValidUtf8(entryName)) {
            storedName = entryName;
            flag |= kFlagUtf8Name;
        } else {
            storedName = entryName;
        }

        zip_fileinfo info{};
        info.tmz_date.tm_sec = date.tm_sec;
        info.tmz_date.tm_min = date.tm_min;
        info.tmz_date.tm_hour = date.tm_hour;
        info.tmz_date.tm_mday = date.tm_mday;
        info.tmz_date.tm_mon = date.tm_mon;
        info.tmz_date.tm_year = date.tm_year;
        info.dosDate = PackFileTime::toDosDateTime(date);

        int rc = zipOpenNewFileInZip4(handle, storedName.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                      kRecordedLevel, 1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, flag);
        if (rc != ZIP_OK) return rc;
        std::size_t done = 0;
        while (done < storedSize && rc == ZIP_OK) {
            unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(storedSize - done, 1u << 30));
            rc = zipWriteInFileInZip(handle, stored + done, chunk);
            done += chunk;
        }
        int closeRc = zipCloseFileInZipRaw(handle, static_cast<uLong>(uncompressedSize), crc);
        if (rc == ZIP_OK) rc = closeRc;
        if (rc == ZIP_OK && archive.failed) rc = PACK_ERRNO;
        return rc;
    }

    // Encrypts header space plus deflate stream in place and writes the entry.
    int encryptAndAdd(const std::string& entryName, std::vector<unsigned char>& stored, std::uint32_t crc,
                      std::uint64_t uncompressedSize, const PackEntryDate& date) {
        ZipCrypto crypto(PackPasswordTable::instance().writePassword());
        // Check value 0, not the entry's CRC: the game's own writer did so and readers of
        // packs never verify the check byte.
        crypto.makeHeader(stored.data(), 0);
        crypto.encrypt(stored.data() + ZipCrypto::kHeaderSize, stored.size() - ZipCrypto::kHeaderSize);
        return addStored(entryName, stored.data(), stored.size(), crc, uncompressedSize, date);
    }
};

PackWriter::PackWriter(const std::string& path) : impl_(std::make_unique<Impl>()) {
    zlib_filefunc64_def functions{};
    functions.zopen64_file = openFile;
    functions.zread_file = readFile;
    functions.zwrite_file = writeFile;
    functions.ztell64_file = tellFile;
    functions.zseek64_file = seekFile;
    functions.zclose_file = closeFile;
    functions.zerror_file = errorFile;
    functions.opaque = &impl_->archive;
    impl_->handle = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (!impl_->handle && impl_->archive.file) {
        std::fclose(impl_->archive.file);
        impl_->archive.file = nullptr;
    }
}

PackWriter::~PackWriter() { close(); }

bool PackWriter::isOpen() const { return impl_->handle != nullptr; }

int PackWriter::close() {
    if (!impl_->handle) return impl_->closeResult;
    int rc = zipClose(impl_->handle, PackPasswordTable::instance().comment());
    impl_->handle = nullptr;
    if (rc == ZIP_OK && impl_->archive.failed) rc = PACK_ERRNO;
    impl_->closeResult = rc;
    return rc;
}

int PackWriter::addFile(const std::string& entryName, const std::string& diskPath) {
    if (!impl_->handle) return PACK_PARAM_ERROR;
    if (FileSystem::isDirectory(diskPath)) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> data;
    {
        InputFile input(diskPath);
        if (!input.file) return PACK_INTERNAL_ERROR;
        if (::fseeko(input.file, 0, SEEK_END) != 0) return PACK_INTERNAL_ERROR;
        off_t size = ::ftello(input.file);
        if (size < 0 || static_cast<std::uint64_t>(size) > kLargestEntry) return PACK_INTERNAL_ERROR;
        std::rewind(input.file);
        data.resize(static_cast<std::size_t>(size));
        if (std::fread(data.data(), 1, data.size(), input.file) != data.size()) return PACK_INTERNAL_ERROR;
    }
    PackEntryDate date{};
    PackFileTime::getFileTimeForEntry(diskPath, date);
    return addBuffer(entryName, data.data(), data.size(), date);
}

int PackWriter::addBuffer(const std::string& entryName, const unsigned char* data, std::size_t size,
                          const PackEntryDate& date) {
    if (!impl_->handle) return PACK_PARAM_ERROR;
    if (size > kLargestEntry || (!data && size > 0)) return PACK_PARAM_ERROR;
    std::vector<unsigned char> deflated;
    static const unsigned char kNothing = 0;
    if (!DeflateCodec::deflate(data ? data : &kNothing, size, deflated)) return PACK_INTERNAL_ERROR;
    std::vector<unsigned char> stored(ZipCrypto::kHeaderSize + deflated.size());
    std::memcpy(stored.data() + ZipCrypto::kHeaderSize, deflated.data(), deflated.size());
    deflated = {};
    return impl_->encryptAndAdd(entryName, stored, DeflateCodec::crc32(data ? data : &kNothing, size), size, date);
}

int PackWriter::addPrecompressed(const std::string& entryName, const unsigned char* deflated, std::size_t deflatedSize,
                                 std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date) {
    if (!impl_->handle) return PACK_PARAM_ERROR;
    if (!deflated || deflatedSize == 0 || deflatedSize > kLargestEntry) return PACK_PARAM_ERROR;
    std::vector<unsigned char> stored(ZipCrypto::kHeaderSize + deflatedSize);
    std::memcpy(stored.data() + ZipCrypto::kHeaderSize, deflated, deflatedSize);
    return impl_->encryptAndAdd(entryName, stored, crc, uncompressedSize, date);
}

int PackWriter::addRawEncrypted(const std::string& entryName, const unsigned char* stored, std::size_t storedSize,
                                std::uint32_t crc, std::uint64_t uncompressedSize, const PackEntryDate& date) {
    if (!impl_->handle) return PACK_PARAM_ERROR;
    // Shorter than the encryption header plus the smallest deflate stream: not an entry.
    if (!stored || storedSize < ZipCrypto::kHeaderSize + 2) return PACK_PARAM_ERROR;
    return impl_->addStored(entryName, stored, storedSize, crc, uncompressedSize, date);
}

}  // namespace nimbrel
