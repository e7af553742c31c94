// The compressed formats of logs other than gzip, and zip archives,
// through libarchive.
#include "basalt-archive.h"

#include <archive.h>
#include <archive_entry.h>

struct ArchiveStream::State {
    archive *reader = nullptr;
    bool in_entry = false;

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
        else if (format == LOG_XZ)
            archive_read_support_filter_xz(reader);
        else
            archive_read_support_filter_zstd(reader);
    }
    // The library reads the stream itself, from the start.
    return archive_read_open_FILE(reader, file) == ARCHIVE_OK ? 1 : 0;
}

long ArchiveStream::read(unsigned char *buffer, size_t capacity)
{
    State &s = *state_;
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
