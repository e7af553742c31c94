// The compressed formats of logs other than gzip, and zip archives, where
// libarchive is not available: none of them is read, and a log in one of
// them is refused with a line that says which format it is, rather than
// scanned as bytes, which would find no addresses and report success.
#include "basalt-archive.h"
#include "basalt-core.h"

struct ArchiveStream::State {
};

ArchiveStream::ArchiveStream() = default;

ArchiveStream::~ArchiveStream() = default;

int ArchiveStream::open(std::FILE *file, LogFormat format)
{
    (void)file;
    const char *kind = format == LOG_BZIP2  ? "compressed with bzip2"
                       : format == LOG_XZ   ? "compressed with xz"
                       : format == LOG_ZSTD ? "compressed with zstd"
                                            : "a zip archive";
    out_print("Log file is %s: this build of tarn reads only plain and gzip-compressed logs\n", kind);
    return 0;
}

long ArchiveStream::read(unsigned char *buffer, size_t capacity)
{
    (void)buffer;
    (void)capacity;
    return -1;
}

const char *ArchiveStream::failure_reason() const
{
    return "";
}
