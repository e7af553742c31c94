// Compressed logs: what a log's first bytes say it is, and the readers
// ByteReader hands its bytes over to (gzip through zlib on a thread of its
// own, the other formats through an ArchiveStream).
#include "basalt-archive.h"
#include "basalt-file.h"

#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

void ByteReader::close_decompressor()
{
    decompressor_.reset();
}

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

bool ByteReader::plain_head(const unsigned char *head, size_t length)
{
    return log_format(head, length) == LOG_PLAIN;
}
