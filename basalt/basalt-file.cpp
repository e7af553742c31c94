// Buffered reading and crash-safe replacement of files.
#include "basalt-file.h"
#include "basalt-core.h"
#include "platform.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace
{

// Write buffer of the temporary file: few system calls for large caches.
constexpr size_t WRITE_BUFFER_SIZE = 256 * 1024;

} // namespace

int ByteReader::open(const char *path)
{
    close_decompressor();
    file_.reset();
    borrowed_ = nullptr;
    memory_ = nullptr;
    failed_ = false;
    cursor_ = end_ = nullptr;
    problem_ = FileProblem{};
    checksum_ = 0;
    bytes_read_ = 0;
    FileHandle handle(platform_open_for_reading(path, &problem_));
    if (!handle)
        return 0;
    if (!buffer_)
        buffer_ = std::make_unique<unsigned char[]>(READ_BUFFER_SIZE);
    file_ = std::move(handle);
    return 1;
}

void ByteReader::open_standard_input(const unsigned char *head, size_t length)
{
    open_memory(nullptr, 0);
    if (!buffer_)
        buffer_ = std::make_unique<unsigned char[]>(READ_BUFFER_SIZE);
    std::memcpy(buffer_.get(), head, length < READ_BUFFER_SIZE ? length : READ_BUFFER_SIZE);
    cursor_ = buffer_.get();
    end_ = cursor_ + (length < READ_BUFFER_SIZE ? length : READ_BUFFER_SIZE);
    borrowed_ = platform_standard_input();
}

void ByteReader::open_memory(const void *data, size_t length)
{
    close_decompressor();
    file_.reset();
    borrowed_ = nullptr;
    failed_ = false;
    memory_ = static_cast<const unsigned char *>(data);
    memory_length_ = length;
    cursor_ = memory_;
    end_ = memory_ + length;
}

int ByteReader::refill()
{
    std::FILE *file = file_ ? file_.get() : borrowed_;
    if (file == nullptr || failed_)
        return 0;
    if (decompressor_)
        return refill_decompressed();
    size_t n = std::fread(buffer_.get(), 1, READ_BUFFER_SIZE, file);
    if (n == 0) {
        if (std::ferror(file))
            failed_ = true;
        return 0;
    }
    if (checksummed_)
        checksum_ = checksum_bytes(checksum_, buffer_.get(), n);
    bytes_read_ += n;
    cursor_ = buffer_.get();
    end_ = cursor_ + n;
    return 1;
}

const unsigned char *ByteReader::peek(size_t *available)
{
    if (cursor_ == end_ && refill() == 0) {
        *available = 0;
        return nullptr;
    }
    *available = static_cast<size_t>(end_ - cursor_);
    return cursor_;
}

int ByteReader::identity(FileIdentity *identity) const
{
    return file_ ? platform_file_identity(file_.get(), identity) : 0;
}

uint32_t checksum_bytes(uint32_t crc, const void *bytes, size_t length)
{
    // zlib takes at most a uInt at a time.
    const auto *p = static_cast<const Bytef *>(bytes);
    for (; length > 0;) {
        const uInt part = length > 0x40000000 ? 0x40000000 : static_cast<uInt>(length);
        crc = static_cast<uint32_t>(crc32(crc, p, part));
        p += part;
        length -= part;
    }
    return crc;
}

int ByteReader::rewind()
{
    failed_ = false;
    if (memory_ != nullptr) {
        cursor_ = memory_;
        end_ = memory_ + memory_length_;
        return 1;
    }
    if (!file_ || decompressor_)
        return 0; // only plain files are read twice
    cursor_ = end_ = nullptr;
    checksum_ = 0;
    bytes_read_ = 0;
    return std::fseek(file_.get(), 0, SEEK_SET) == 0 ? 1 : 0;
}

SafeFileWriter::~SafeFileWriter()
{
    discard();
}

void SafeFileWriter::discard()
{
    file_.reset();
    replacement_.discard();
    ok_ = false;
}

int SafeFileWriter::open(const char *path, const char *attributes_from)
{
    discard();
    problem_ = FileProblem{};
    std::FILE *file = replacement_.create(path, SAFE_WRITE_MARK, attributes_from, CLEANUP_TEMP_FILE, &problem_);
    if (file == nullptr)
        return 0;
    file_.reset(file);
    std::setvbuf(file, nullptr, _IOFBF, WRITE_BUFFER_SIZE);
    ok_ = true;
    return 1;
}

int SafeFileWriter::write(const void *data, size_t length)
{
    if (!ok_ || !file_)
        return 0;
    if (length > 0 && std::fwrite(data, 1, length, file_.get()) != length)
        ok_ = false;
    return ok_ ? 1 : 0;
}

int SafeFileWriter::commit(Durability durability)
{
    if (!ok_ || !file_) {
        discard();
        return 0;
    }
    std::FILE *file = file_.release();
    bool written = durability == SAVE_SYNCED ? platform_sync_file(file) == 1 : std::fflush(file) == 0;
    written = (std::fclose(file) == 0) && written;
    if (!written || replacement_.replace(durability == SAVE_SYNCED ? 1 : 0) == 0) {
        discard();
        return 0;
    }
    ok_ = false;
    return 1;
}

StandardInputCopy::~StandardInputCopy()
{
    if (!created_)
        return;
    platform_cleanup_on_signal(CLEANUP_INPUT_COPY, nullptr);
    std::remove(path_.c_str());
}

StandardInputCopy::Result StandardInputCopy::copy(const unsigned char *head, size_t length)
{
    path_ = platform_temporary_directory() + PLATFORM_PATH_SEPARATOR + "tarn-input-XXXXXX";
    FileHandle copy(platform_create_temporary(path_, CLEANUP_INPUT_COPY));
    if (!copy)
        return WRITE_FAILED; // path() names the pattern of the file refused
    created_ = true;
    if (length > 0 && std::fwrite(head, 1, length, copy.get()) != length)
        return WRITE_FAILED;
    std::FILE *input = platform_standard_input();
    std::unique_ptr<unsigned char[]> buffer = std::make_unique<unsigned char[]>(WRITE_BUFFER_SIZE);
    for (;;) {
        const size_t got = std::fread(buffer.get(), 1, WRITE_BUFFER_SIZE, input);
        if (got > 0 && std::fwrite(buffer.get(), 1, got, copy.get()) != got)
            return WRITE_FAILED;
        if (got < WRITE_BUFFER_SIZE)
            break;
    }
    if (std::ferror(input))
        return READ_FAILED;
    return std::fclose(copy.release()) == 0 ? COPIED : WRITE_FAILED;
}

bool is_refusal(const FileProblem &problem)
{
    return problem.refusal != FILE_OK && problem.refusal != FILE_SYSTEM_ERROR && problem.refusal != FILE_IS_DIRECTORY;
}

void out_open_failure(const char *what, const char *name, const FileProblem &problem)
{
    if (!is_refusal(problem)) {
        out_print("Unable to open %s '%s'\n", what, name);
        return;
    }
    char reason[PLATFORM_NAME_MAX + 256];
    platform_describe_problem(problem, reason, sizeof reason);
    out_print("Unable to open %s '%s': %s\n", what, name, reason);
}
