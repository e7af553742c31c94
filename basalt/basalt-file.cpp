// Buffered reading and crash-safe replacement of files (POSIX).
#include "basalt-file.h"
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Write buffer of the temporary file: few system calls for large caches.
constexpr size_t WRITE_BUFFER_SIZE = 256 * 1024;

// The directory part of path including its last '/', or "" for none.
std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file the save really replaces: a symbolic link is followed to its
// final target (which may not exist yet), so the link itself survives.
std::string resolve_target(const char *path)
{
    struct stat link_status {
    };
    if (lstat(path, &link_status) != 0 || !S_ISLNK(link_status.st_mode))
        return path;
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? std::string(path) : target.string();
}

// ".NAME.tarn-save-XXXXXX", with NAME shortened where the whole would not
// be a valid file name, so that every cache whose own name fits can be saved.
std::string temporary_name(const std::string &name)
{
    const size_t added = 1 + std::strlen(SAFE_WRITE_MARK) + 6;
    const size_t room = NAME_MAX > added ? NAME_MAX - added : 0;
    std::string temporary(1, '.');
    temporary.append(name, 0, room);
    temporary.append(SAFE_WRITE_MARK);
    temporary.append("XXXXXX");
    return temporary;
}

mode_t current_umask()
{
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

void sync_directory(const std::string &directory)
{
    int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd); // best effort: the rename is already done
        close(fd);
    }
}

} // namespace

ByteReader::ByteReader() = default;
ByteReader::~ByteReader() = default;

int ByteReader::open(const char *path)
{
    file_.reset();
    memory_ = nullptr;
    failed_ = false;
    cursor_ = end_ = nullptr;
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return 0;
    FileHandle handle(file);
    struct stat status {
    };
    if (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode))
        return 0;
    if (!buffer_)
        buffer_ = std::make_unique<unsigned char[]>(READ_BUFFER_SIZE);
    file_ = std::move(handle);
    return 1;
}

void ByteReader::open_memory(const void *data, size_t length)
{
    file_.reset();
    failed_ = false;
    memory_ = static_cast<const unsigned char *>(data);
    memory_length_ = length;
    cursor_ = memory_;
    end_ = memory_ + length;
}

int ByteReader::refill()
{
    if (!file_)
        return 0;
    size_t n = std::fread(buffer_.get(), 1, READ_BUFFER_SIZE, file_.get());
    if (n == 0) {
        if (std::ferror(file_.get()))
            failed_ = true;
        return 0;
    }
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

int ByteReader::rewind()
{
    failed_ = false;
    if (memory_ != nullptr) {
        cursor_ = memory_;
        end_ = memory_ + memory_length_;
        return 1;
    }
    if (!file_)
        return 0;
    cursor_ = end_ = nullptr;
    return std::fseek(file_.get(), 0, SEEK_SET) == 0 ? 1 : 0;
}

SafeFileWriter::~SafeFileWriter()
{
    discard();
}

void SafeFileWriter::discard()
{
    file_.reset();
    platform_cleanup_on_signal(CLEANUP_TEMP_FILE, nullptr);
    if (!temp_path_.empty())
        unlink(temp_path_.c_str());
    temp_path_.clear();
    ok_ = false;
}

int SafeFileWriter::open(const char *path)
{
    discard();
    target_path_ = resolve_target(path);
    struct stat target_status {
    };
    bool exists = stat(target_path_.c_str(), &target_status) == 0;
    if (exists && !S_ISREG(target_status.st_mode))
        return 0; // a directory or device is not a cache file to replace
    // Replacing by rename needs only the directory's permission: a file
    // this user may not write (read-only, or another user's) is refused as
    // opening it for writing would be. Root may write any file.
    if (exists && faccessat(AT_FDCWD, target_path_.c_str(), W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM))
        return 0;

    const std::string pattern = directory_of(target_path_) + temporary_name(name_of(target_path_));
    std::unique_ptr<char[]> name = std::make_unique<char[]>(pattern.size() + 1);
    std::memcpy(name.get(), pattern.c_str(), pattern.size() + 1);
    int fd = mkstemp(name.get());
    if (fd < 0)
        return 0;
    temp_path_ = name.get();
    platform_cleanup_on_signal(CLEANUP_TEMP_FILE, temp_path_.c_str());
    mode_t mode = exists ? (target_status.st_mode & 07777) : (0666 & ~current_umask());
    if (exists && geteuid() == 0)
        (void)!fchown(fd, target_status.st_uid, target_status.st_gid);
    if (fchmod(fd, mode) != 0) {
        close(fd);
        discard();
        return 0;
    }
    std::FILE *file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        discard();
        return 0;
    }
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

int SafeFileWriter::commit()
{
    if (!ok_ || !file_) {
        discard();
        return 0;
    }
    std::FILE *file = file_.release();
    bool written = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    written = (std::fclose(file) == 0) && written;
    if (!written || std::rename(temp_path_.c_str(), target_path_.c_str()) != 0) {
        discard();
        return 0;
    }
    platform_cleanup_on_signal(CLEANUP_TEMP_FILE, nullptr);
    temp_path_.clear();
    ok_ = false;
    sync_directory(directory_of(target_path_));
    return 1;
}
