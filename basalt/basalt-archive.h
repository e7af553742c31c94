// Reading the compressed formats of logs other than gzip, and zip
// archives. basalt-file recognises a log's format and reads gzip through
// zlib itself; the rest come through here. Two builds of it exist: one
// over liblzma (xz, within a memory limit) and libarchive (the others),
// and one for systems without them, which reads none of these formats and
// says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// What a log's first bytes say it is.
enum LogFormat { LOG_PLAIN, LOG_GZIP, LOG_BZIP2, LOG_XZ, LOG_ZSTD, LOG_ZIP, LOG_UNREADABLE };

// The most memory that decompressing one xz log may take. An xz header
// names the dictionary the decoder allocates, up to 4 GiB; logrotate's
// xz -6 needs about 9 MiB. A log that needs more is not read.
inline constexpr uint64_t XZ_MEMORY_LIMIT = uint64_t{256} << 20;

class ArchiveStream
{
  public:
    ArchiveStream();
    ~ArchiveStream();
    ArchiveStream(const ArchiveStream &) = delete;
    ArchiveStream &operator=(const ArchiveStream &) = delete;

    // Starts reading file, positioned at its first byte, as format (bzip2,
    // xz, zstd or zip). 0 when this build cannot read the format or the
    // stream cannot be opened; a build that reads no such format has then
    // printed why.
    int open(std::FILE *file, LogFormat format);
    // The next bytes of the log (a zip's entries one after another) into
    // buffer: their count, 0 at the end, -1 on corrupt, cut or unreadable
    // data.
    long read(unsigned char *buffer, size_t capacity);
    // Why read() failed, when it is not that the data is corrupt, cut or
    // unreadable: words to follow the log's name in a message, else "".
    // Only an xz log that needs more than XZ_MEMORY_LIMIT has them.
    const char *failure_reason() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
