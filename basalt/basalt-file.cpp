// Buffered reading and crash-safe replacement of files.
#include "basalt-file.h"
#include "basalt-archive.h"
#include "basalt-core.h"
#include "platform.h"

#include <zlib.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace
{

// Write buffer of the temporary file: few system calls for large caches.
constexpr size_t WRITE_BUFFER_SIZE = 256 * 1024;

} // namespace

// ---------------------------------------------------------------------------
// Compressed logs.

namespace
{

struct Signature {
    const char *bytes;
    size_t length;
    LogFormat format;
};

// Recognised by content, not by name, as Analog does. The formats after
// zip are ones tarn does not read: scanning them as bytes would find no
// addresses and report success.
constexpr Signature SIGNATURES[] = {
    {"\x1f\x8b", 2, LOG_GZIP},
    {"BZh", 3, LOG_BZIP2},
    {"\xfd"
     "7zXZ\0",
     6, LOG_XZ},
    {"\x28\xb5\x2f\xfd", 4, LOG_ZSTD},
    {"PK\x03\x04", 4, LOG_ZIP},
    {"PK\x05\x06", 4, LOG_ZIP},                // an empty zip
    {"\x1f\x9d", 2, LOG_UNREADABLE},           // compress (.Z)
    {"\x1f\xa0", 2, LOG_UNREADABLE},           // compress (LZH)
    {"7z\xbc\xaf\x27\x1c", 6, LOG_UNREADABLE}, // 7-Zip
    {"Rar!\x1a\x07", 6, LOG_UNREADABLE},       // RAR
    {"\x04\x22\x4d\x18", 4, LOG_UNREADABLE},   // LZ4
    {"LZIP", 4, LOG_UNREADABLE},               // lzip
    {"\x89LZO\0", 5, LOG_UNREADABLE},          // lzop
    {"MSCF", 4, LOG_UNREADABLE},               // cabinet
    {"PK\x07\x08", 4, LOG_UNREADABLE},         // split zip
};

LogFormat log_format(const unsigned char *head, size_t length)
{
    for (const Signature &signature : SIGNATURES) {
        if (length >= signature.length && std::memcmp(head, signature.bytes, signature.length) == 0)
            return signature.format;
    }
    return LOG_PLAIN;
}

// The largest signature above.
constexpr size_t SIGNATURE_SIZE = 6;

} // namespace

// gzip goes through zlib itself: it checks every member's CRC and length
// (libarchive's gzip reader does not), and it is the format of nearly every
// rotated log, where speed counts. Inflating costs about as much as the
// scan of what it gives, so it runs on a thread of its own, a few buffers
// ahead of the reader. The others go through an ArchiveStream.
class GzipPipeline
{
  public:
    explicit GzipPipeline(std::FILE *file) : file_(file)
    {
        for (auto &slot : slots_)
            slot = std::make_unique<unsigned char[]>(READ_BUFFER_SIZE);
        input_ = std::make_unique<unsigned char[]>(READ_BUFFER_SIZE);
        // 16 + 15: a gzip wrapper around the largest window.
        if (inflateInit2(&stream_, 16 + 15) != Z_OK) {
            done_ = failed_ = true;
            return;
        }
        stream_ready_ = true;
        worker_ = std::thread([this] { inflate_all(); });
    }
    ~GzipPipeline()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (worker_.joinable())
            worker_.join();
        if (stream_ready_)
            inflateEnd(&stream_);
    }
    GzipPipeline(const GzipPipeline &) = delete;
    GzipPipeline &operator=(const GzipPipeline &) = delete;

    // Hands back the buffer given last time and waits for the next: its
    // bytes in *data and *length, 1; or 0 at the end (*failed says whether
    // the data was corrupt, cut short or unreadable).
    int next(const unsigned char **data, size_t *length, bool *failed)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (holding_) {
            holding_ = false;
            read_index_ = (read_index_ + 1) % SLOTS;
            --filled_;
            changed_.notify_all();
        }
        changed_.wait(lock, [this] { return filled_ > 0 || done_; });
        if (filled_ == 0) {
            *failed = failed_;
            return 0;
        }
        holding_ = true;
        *data = slots_[read_index_].get();
        *length = lengths_[read_index_];
        return 1;
    }

  private:
    static constexpr int SLOTS = 4;

    // The inflating thread: fills free slots until the end or an error.
    void inflate_all()
    {
        for (int slot = 0;; slot = (slot + 1) % SLOTS) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return filled_ < SLOTS || stop_; });
                if (stop_)
                    return;
            }
            bool ended = false;
            bool failed = false;
            const size_t length = fill(slots_[slot].get(), &ended, &failed);
            std::lock_guard<std::mutex> lock(mutex_);
            if (length > 0) {
                lengths_[slot] = length;
                ++filled_;
            }
            if (ended) {
                done_ = true;
                failed_ = failed;
            }
            changed_.notify_all();
            if (ended)
                return;
        }
    }

    // Inflates into out until it is full or the data ends; the length.
    size_t fill(unsigned char *out, bool *ended, bool *failed)
    {
        z_stream &z = stream_;
        z.next_out = out;
        z.avail_out = static_cast<uInt>(READ_BUFFER_SIZE);
        while (z.avail_out > 0) {
            if (z.avail_in == 0) {
                const size_t n = std::fread(input_.get(), 1, READ_BUFFER_SIZE, file_);
                if (n == 0) {
                    // The end of the file is the end of the log only between
                    // members: inside one, the file was cut short.
                    *failed = std::ferror(file_) != 0 || !between_members_;
                    *ended = true;
                    break;
                }
                z.next_in = input_.get();
                z.avail_in = static_cast<uInt>(n);
            }
            if (between_members_) {
                // Another member follows (a log appended to with gzip, or
                // joined with cat): read it on.
                inflateReset(&z);
                between_members_ = false;
            }
            const int result = inflate(&z, Z_NO_FLUSH);
            if (result == Z_STREAM_END) {
                between_members_ = true;
            } else if (result != Z_OK && result != Z_BUF_ERROR) {
                *failed = *ended = true; // corrupt data, a wrong check value or length
                break;
            }
        }
        return READ_BUFFER_SIZE - z.avail_out;
    }

    std::FILE *file_;
    z_stream stream_{};
    bool stream_ready_ = false;
    bool between_members_ = false; // inflating thread only
    std::unique_ptr<unsigned char[]> input_;
    std::unique_ptr<unsigned char[]> slots_[SLOTS];
    size_t lengths_[SLOTS] = {};

    std::mutex mutex_;
    std::condition_variable changed_;
    int filled_ = 0;       // slots full of bytes, the one the reader holds included
    int read_index_ = 0;   // the slot the reader reads next, or holds
    bool holding_ = false; // the reader still reads slot read_index_
    bool done_ = false;    // nothing more will be filled
    bool failed_ = false;
    bool stop_ = false; // the reader is gone
    std::thread worker_;
};

struct ByteReader::Decompressor {
    bool unreadable = false;
    std::unique_ptr<GzipPipeline> gzip;
    std::unique_ptr<ArchiveStream> archive;
};

ByteReader::ByteReader() = default;
ByteReader::~ByteReader() = default;

int ByteReader::open_log(const char *path)
{
    if (open(path) == 0)
        return 0;
    unsigned char head[SIGNATURE_SIZE];
    const size_t got = std::fread(head, 1, sizeof head, file_.get());
    // Every reader below starts from the first byte again.
    if (std::fseek(file_.get(), 0, SEEK_SET) != 0)
        failed_ = true;
    const LogFormat format = log_format(head, got);
    if (format == LOG_PLAIN)
        return 1;
    decompressor_ = std::make_unique<Decompressor>();
    if (format == LOG_UNREADABLE) {
        decompressor_->unreadable = true;
        return 1;
    }
    if (format == LOG_GZIP) {
        decompressor_->gzip = std::make_unique<GzipPipeline>(file_.get());
        return 1;
    }
    decompressor_->archive = std::make_unique<ArchiveStream>();
    if (decompressor_->archive->open(file_.get(), format) == 0)
        decompressor_->unreadable = true;
    return 1;
}

int ByteReader::refill_gzip()
{
    const unsigned char *data = nullptr;
    size_t length = 0;
    bool failed = false;
    if (decompressor_->gzip->next(&data, &length, &failed) == 0) {
        failed_ = failed;
        return 0;
    }
    cursor_ = data;
    end_ = data + length;
    return 1;
}

int ByteReader::refill_decompressed()
{
    Decompressor &d = *decompressor_;
    if (d.unreadable) {
        failed_ = true;
        return 0;
    }
    if (d.gzip)
        return refill_gzip();
    const long n = d.archive->read(buffer_.get(), READ_BUFFER_SIZE);
    if (n <= 0) {
        failed_ = n < 0;
        return 0;
    }
    cursor_ = buffer_.get();
    end_ = cursor_ + n;
    return 1;
}

const char *ByteReader::failure_reason() const
{
    if (!failed_ || !decompressor_ || !decompressor_->archive)
        return "";
    return decompressor_->archive->failure_reason();
}

int ByteReader::open(const char *path)
{
    decompressor_.reset();
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

bool ByteReader::plain_head(const unsigned char *head, size_t length)
{
    return log_format(head, length) == LOG_PLAIN;
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
    decompressor_.reset();
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
