// The compressed formats of logs other than gzip, and zip archives: xz
// through liblzma, the others through libarchive.
#include "basalt-archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <lzma.h>

#include <string>

namespace
{

// An xz log through liblzma's own decoder rather than libarchive's, which
// lifts liblzma's memory limit: a header that claims a 4 GiB dictionary
// would have it allocated. Here the decoder refuses one that needs more
// than XZ_MEMORY_LIMIT before it allocates anything. Streams in a row (xz
// logs joined with cat) are read on, as xz -dc does, and every block's
// check is verified.
class XzDecoder
{
  public:
    explicit XzDecoder(std::FILE *file) : file_(file) {}
    ~XzDecoder()
    {
        if (ready_)
            lzma_end(&stream_);
    }
    XzDecoder(const XzDecoder &) = delete;
    XzDecoder &operator=(const XzDecoder &) = delete;

    int open()
    {
        ready_ = lzma_stream_decoder(&stream_, XZ_MEMORY_LIMIT, LZMA_CONCATENATED) == LZMA_OK;
        return ready_ ? 1 : 0;
    }

    // As ArchiveStream::read.
    long read(unsigned char *buffer, size_t capacity)
    {
        lzma_stream &z = stream_;
        z.next_out = buffer;
        z.avail_out = capacity;
        while (z.avail_out > 0 && !ended_) {
            if (z.avail_in == 0 && !input_ended_ && fill() == 0)
                return -1;
            const lzma_ret result = lzma_code(&z, input_ended_ ? LZMA_FINISH : LZMA_RUN);
            if (result == LZMA_STREAM_END) {
                ended_ = true;
            } else if (result == LZMA_MEMLIMIT_ERROR) {
                refuse(lzma_memusage(&z));
                return -1;
            } else if (result != LZMA_OK) {
                return -1; // corrupt data, a wrong check, or the end inside a stream
            }
        }
        return static_cast<long>(capacity - z.avail_out);
    }

    const char *failure_reason() const { return reason_.c_str(); }

  private:
    static constexpr size_t INPUT_SIZE = 64 * 1024;

    // The next bytes of the file as input; 0 on a read error.
    int fill()
    {
        const size_t n = std::fread(input_, 1, INPUT_SIZE, file_);
        if (n == 0) {
            if (std::ferror(file_) != 0)
                return 0;
            input_ended_ = true;
        }
        stream_.next_in = input_;
        stream_.avail_in = n;
        return 1;
    }

    // needed: what the decoder would take, from the header's dictionary.
    void refuse(uint64_t needed)
    {
        const uint64_t mebibyte = uint64_t{1} << 20;
        reason_ = "its xz header asks for " + std::to_string((needed + mebibyte - 1) / mebibyte) +
                  " MiB to decompress, more than the " + std::to_string(XZ_MEMORY_LIMIT / mebibyte) + " MiB allowed";
    }

    std::FILE *file_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ready_ = false;
    bool input_ended_ = false;
    bool ended_ = false;
    uint8_t input_[INPUT_SIZE];
    std::string reason_;
};

} // namespace

struct ArchiveStream::State {
    archive *reader = nullptr;
    bool in_entry = false;
    std::unique_ptr<XzDecoder> xz;

    ~State()
    {
        if (reader != nullptr)
            archive_read_free(reader);
    }
};

ArchiveStream::ArchiveStream() : state_(std::make_unique<State>()) {}

ArchiveStream::~ArchiveStream() = default;

int ArchiveStream::open(std::FILE *file, LogFormat format)
{
    if (format == LOG_XZ) {
        state_->xz = std::make_unique<XzDecoder>(file);
        return state_->xz->open();
    }
    archive *reader = archive_read_new();
    state_->reader = reader;
    if (reader == nullptr)
        return 0;
    if (format == LOG_ZIP) {
        archive_read_support_format_zip(reader);
    } else {
        // A compressed stream holds one nameless entry: the log.
        archive_read_support_format_raw(reader);
        if (format == LOG_BZIP2)
            archive_read_support_filter_bzip2(reader);
        else
            archive_read_support_filter_zstd(reader);
    }
    // The library reads the stream itself, from the start.
    return archive_read_open_FILE(reader, file) == ARCHIVE_OK ? 1 : 0;
}

long ArchiveStream::read(unsigned char *buffer, size_t capacity)
{
    State &s = *state_;
    if (s.xz)
        return s.xz->read(buffer, capacity);
    for (;;) {
        if (!s.in_entry) {
            archive_entry *entry = nullptr;
            const int result = archive_read_next_header(s.reader, &entry);
            if (result == ARCHIVE_EOF)
                return 0;
            if (result != ARCHIVE_OK)
                return -1;
            s.in_entry = true;
        }
        const la_ssize_t n = archive_read_data(s.reader, buffer, capacity);
        if (n != 0)
            return n > 0 ? static_cast<long>(n) : -1;
        s.in_entry = false;
    }
}

const char *ArchiveStream::failure_reason() const
{
    return state_->xz ? state_->xz->failure_reason() : "";
}
