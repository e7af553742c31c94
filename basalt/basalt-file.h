// Buffered file reading and crash-safe file replacement.
//
// ByteReader hands out a file's bytes one at a time from a large buffer of
// its own, so the parsers can work byte by byte without paying for a locked
// stdio call per byte. SafeFileWriter writes a file so that the old contents
// survive any failure: a full disk, a crash or a kill in the middle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform.h"

struct FileCloser {
    void operator()(std::FILE *file) const
    {
        if (file != nullptr)
            std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Read buffer of ByteReader: large enough that a log is read in a few
// thousand system calls per gigabyte.
inline constexpr size_t READ_BUFFER_SIZE = 256 * 1024;

class ByteReader
{
  public:
    ByteReader();
    ~ByteReader();
    ByteReader(const ByteReader &) = delete;
    ByteReader &operator=(const ByteReader &) = delete;

    // Opens the regular file path names for reading in binary mode,
    // through trusted links only; 1 on success, 0 otherwise, with why in
    // problem().
    int open(const char *path);
    // Opens a log as open() does, but one that starts with the signature of
    // gzip (several members too), bzip2, xz (several streams too), zstd or
    // zip is read as the bytes it holds, streamed (a zip's entries one
    // after another). One that starts with the signature of another
    // compression or archive format is opened, but reading it fails at
    // once, as does reading data that is corrupt or cut short, and an xz
    // log that needs more than XZ_MEMORY_LIMIT (256 MiB) to decompress,
    // which failure_reason() then tells. A build without libarchive and
    // liblzma reads gzip alone of these: the others fail as unknown
    // formats do, after a line that names the format.
    int open_log(const char *path);
    // Reads from memory instead of a file (for parsers' tests and fuzzing).
    void open_memory(const void *data, size_t length);
    // Reads standard input as it comes, plain: the head bytes already
    // taken from it first, then the rest of its stream (not closed here).
    void open_standard_input(const unsigned char *head, size_t length);
    // Whether a log starting with these bytes is read plain (no signature
    // of a compressed or archive format).
    static bool plain_head(const unsigned char *head, size_t length);

    // The next byte (0..255), or -1 at the end of the data or on a read error.
    int next()
    {
        if (cursor_ == end_ && refill() == 0)
            return -1;
        return *cursor_++;
    }

    // The unread bytes of the buffer, refilled when empty; a null pointer at
    // the end. consume() marks bytes as read. For scanners that go faster
    // over whole buffers than byte by byte.
    const unsigned char *peek(size_t *available);
    void consume(size_t count) { cursor_ += count; }

    // Starts reading again from the beginning; 1 on success.
    int rewind();
    // 1 when reading stopped because of an error rather than the end.
    int failed() const { return failed_ ? 1 : 0; }
    // Why open() or open_log() failed.
    const FileProblem &problem() const { return problem_; }
    // The identity of the open file; 1 on success.
    int identity(FileIdentity *identity) const;

    // For a plain file: keep a CRC-32 of the bytes read (from the next
    // refill on), and their count, so that a writer can tell later whether
    // they are still the same.
    void keep_checksum() { checksummed_ = true; }
    uint32_t checksum() const { return checksum_; }
    uint64_t bytes_read() const { return bytes_read_; }
    // After failed(), why, when it is not that the data is corrupt, cut or
    // unreadable: words to follow the log's name in a message, else "".
    const char *failure_reason() const;

  private:
    struct Decompressor;
    int refill();
    int refill_decompressed();
    int refill_gzip();
    void close_decompressor();

    FileHandle file_;
    std::FILE *borrowed_ = nullptr; // read like file_, never closed
    std::unique_ptr<Decompressor> decompressor_;
    std::unique_ptr<unsigned char[]> buffer_;
    const unsigned char *memory_ = nullptr;
    size_t memory_length_ = 0;
    const unsigned char *cursor_ = nullptr;
    const unsigned char *end_ = nullptr;
    bool failed_ = false;
    FileProblem problem_;
    bool checksummed_ = false;
    uint32_t checksum_ = 0;
    uint64_t bytes_read_ = 0;
};

// The CRC-32 of bytes, continuing from crc (0 to start).
uint32_t checksum_bytes(uint32_t crc, const void *bytes, size_t length);

// Replaces a file as a whole: the new contents go to a temporary file in
// the same directory (named ".NAME.tarn-save-XXXXXX"), every write is
// checked, the file is flushed and synced, and only then renamed over the
// target. The target is reached through trusted links only, and a link
// stays one: the file it points to is replaced. What the target carried
// (owner, group, mode, access lists, extended attributes) is kept, or the
// save refused; a new file gets 0666 less the umask, or the attributes of
// another file when one is named.
class SafeFileWriter
{
  public:
    SafeFileWriter() = default;
    ~SafeFileWriter(); // an uncommitted temporary file is removed
    SafeFileWriter(const SafeFileWriter &) = delete;
    SafeFileWriter &operator=(const SafeFileWriter &) = delete;

    // Creates the temporary file for path; 1 on success, 0 when it cannot
    // be created or the target may not be replaced (why in problem()).
    // With attributes_from, the new file takes that file's attributes
    // instead of the target's (FileReplacement::create).
    int open(const char *path, const char *attributes_from = nullptr);
    const FileProblem &problem() const { return problem_; }
    // Buffers bytes for writing; 1 while every write so far has succeeded.
    int write(const void *data, size_t length);
    // The target as it is now, for a writer that checks whether another
    // program changed it meanwhile: 1 and its identity, 0 when there is none.
    int target_identity(FileIdentity *identity) const { return replacement_.target_identity(identity); }
    // Opens the target as it is now for reading; null when it cannot.
    std::FILE *open_target() const { return replacement_.open_target(); }
    // Flushes, syncs and renames over the target; 1 on success. On failure
    // the temporary file is removed and the target is left as it was.
    // SAVE_UNSYNCED leaves the syncing to the system: the rename is still
    // all or nothing, but a power cut soon after may lose the new contents.
    // For files made again from others, where a sync would cost more than
    // the rest of the save.
    enum Durability { SAVE_SYNCED, SAVE_UNSYNCED };
    int commit(Durability durability = SAVE_SYNCED);

  private:
    void discard();

    FileHandle file_;
    FileReplacement replacement_;
    FileProblem problem_;
    bool ok_ = false;
};

// Standard input copied to a temporary file, for a run that reads its logs
// twice (once for the addresses, once to write them out with names). The
// copy lies in $TMPDIR (else /tmp), is removed when the object goes, and is
// removed by a signal that ends the process too.
class StandardInputCopy
{
  public:
    enum Result { COPIED, READ_FAILED, WRITE_FAILED };
    StandardInputCopy() = default;
    ~StandardInputCopy();
    StandardInputCopy(const StandardInputCopy &) = delete;
    StandardInputCopy &operator=(const StandardInputCopy &) = delete;

    // Copies head (bytes already taken from standard input) and the rest
    // of standard input; on WRITE_FAILED path() names the file that could
    // not be made or written.
    Result copy(const unsigned char *head = nullptr, size_t length = 0);
    const char *path() const { return path_.c_str(); }

  private:
    std::string path_;
    bool created_ = false;
};

// "Unable to open WHAT 'NAME'", and for a refusal (an untrusted link, no
// regular file, an attribute that cannot be kept, ...) its reason after a
// colon; the system's own failures print as they always have.
void out_open_failure(const char *what, const char *name, const FileProblem &problem);
// Whether problem is a refusal of tarn's, not a failure of the system's.
bool is_refusal(const FileProblem &problem);

// Suffix that marks a temporary file of SafeFileWriter (after the name).
inline constexpr const char *SAFE_WRITE_MARK = ".tarn-save-";
