// POSIX implementation of the platform layer.
#include "platform.h"
#include "platform_common.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <glob.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <resolv.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

std::string g_command_line;

bool argument_needs_quotes(const char *argument)
{
    if (argument[0] == '\0')
        return true;
    return std::strpbrk(argument, " \t\r\n") != nullptr;
}

} // namespace

int platform_set_command_line(int argc, const char *const *argv)
{
    g_command_line.clear();
    int quoted = 0;
    for (int i = 0; i < argc; ++i) {
        if (quoted == 0 && std::strchr(argv[i], '"') != nullptr)
            quoted = i;
        if (i > 0)
            g_command_line += ' ';
        if (argument_needs_quotes(argv[i])) {
            g_command_line += '"';
            g_command_line += argv[i];
            g_command_line += '"';
        } else {
            g_command_line += argv[i];
        }
    }
    return quoted;
}

// ---------------------------------------------------------------------------
// Signals.

namespace
{

// Room for one registered path; paths the program builds are far shorter.
constexpr size_t CLEANUP_PATH_SIZE = 4096;

// Written by the main thread, read by the handler: the path is written
// before its flag is set, and the flag cleared before the path changes.
struct CleanupPath {
    char path[CLEANUP_PATH_SIZE];
    std::atomic<bool> set;
};
CleanupPath g_cleanup[CLEANUP_SLOT_COUNT];

// The signals after which the registered files are removed and the
// process ends by the same signal.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};

// The lock this process made, kept open for as long as it holds it: while
// the descriptor is open the file's inode cannot go to another file, so
// the same device and inode at the lock's path mean our own lock. The
// handler reads the descriptor; -1 when no lock is held.
std::atomic<int> g_lock_fd{-1};

// 1 when path is the file of the kept descriptor. fstat and lstat only, so
// the signal handler may call it.
int lock_path_is_ours(const char *path)
{
    const int fd = g_lock_fd.load();
    struct stat kept {
    };
    struct stat named {
    };
    if (fd < 0 || fstat(fd, &kept) != 0 || lstat(path, &named) != 0)
        return 0;
    return kept.st_dev == named.st_dev && kept.st_ino == named.st_ino ? 1 : 0;
}

// A lock replaced by another program's (the lock removed by hand and
// Analog's taken since) is that program's: it stays.
void remove_registered_files()
{
    for (int slot = 0; slot < CLEANUP_SLOT_COUNT; ++slot) {
        CleanupPath &entry = g_cleanup[slot];
        if (entry.set.load() && (slot != CLEANUP_LOCK_FILE || lock_path_is_ours(entry.path) == 1))
            unlink(entry.path);
    }
}

extern "C" void remove_files_and_end(int signal_number)
{
    remove_registered_files();
    // End by the same signal, so the parent sees how the process ended.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

} // namespace

void platform_install_signal_handlers()
{
    std::signal(SIGPIPE, SIG_IGN);
    // A write past the file size limit (ulimit -f) then fails with EFBIG
    // like any write error, and the save's failure path removes its file.
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {
    };
    action.sa_handler = remove_files_and_end;
    sigemptyset(&action.sa_mask);
    for (int signal_number : ENDING_SIGNALS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : ENDING_SIGNALS) {
        // Whoever started the process meant a signal it ignores to be
        // ignored (nohup and its hangup): it stays so.
        struct sigaction inherited {
        };
        if (sigaction(signal_number, nullptr, &inherited) == 0 && (inherited.sa_flags & SA_SIGINFO) == 0 &&
            inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

void platform_cleanup_on_signal(CleanupSlot slot, const char *path)
{
    CleanupPath &entry = g_cleanup[slot];
    entry.set.store(false);
    if (path == nullptr || path[0] == '\0' || std::strlen(path) >= CLEANUP_PATH_SIZE)
        return;
    std::memcpy(entry.path, path, std::strlen(path) + 1);
    entry.set.store(true);
}

void platform_hold_signals(int hold)
{
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal_number : ENDING_SIGNALS)
        sigaddset(&ending, signal_number);
    pthread_sigmask(hold != 0 ? SIG_BLOCK : SIG_UNBLOCK, &ending, nullptr);
}

// ---------------------------------------------------------------------------
// The DNS lock.

namespace
{

// What this process wrote into the lock it holds.
struct OwnLock {
    char text[LOCK_TEXT_SIZE];
    size_t length;
};
OwnLock g_own_lock;

// Reads at most capacity - 1 bytes of fd into buffer and ends them with a
// NUL; the count, or -1 on a read error.
ssize_t read_bounded(int fd, char *buffer, size_t capacity)
{
    size_t total = 0;
    while (total + 1 < capacity) {
        const ssize_t n = read(fd, buffer + total, capacity - 1 - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    buffer[total] = '\0';
    return static_cast<ssize_t>(total);
}

// A small file of the kernel's (/proc, /sys) into buffer; its length or -1.
ssize_t read_system_file(const char *path, char *buffer, size_t capacity)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t length = read_bounded(fd, buffer, capacity);
    close(fd);
    return length;
}

// The start of process pid in clock ticks since boot (field 22 of its
// /proc stat): 1 and the ticks, 0 when it does not run (or is a zombie,
// which holds nothing), -1 when this process cannot tell (/proc hidden
// from it: only kill can say whether the process exists).
int process_start(long long pid, unsigned long long *ticks)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", pid);
    char text[1024];
    if (read_system_file(path, text, sizeof text) <= 0)
        return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH ? 0 : -1;
    // The name, in parentheses, may hold blanks and parentheses itself.
    const char *name_end = std::strrchr(text, ')');
    char state = 0;
    if (name_end == nullptr ||
        std::sscanf(name_end + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                    &state, ticks) != 2)
        return -1;
    return state == 'Z' || state == 'X' ? 0 : 1;
}

// The kernel's boot id, in the letters it has ("" where there is none).
void read_boot_id(char *boot, size_t capacity)
{
    char text[128];
    size_t kept = 0;
    if (read_system_file("/proc/sys/kernel/random/boot_id", text, sizeof text) > 0) {
        for (const char *p = text; *p != '\0' && kept + 1 < capacity; ++p) {
            if (std::isxdigit(static_cast<unsigned char>(*p)) != 0 || *p == '-')
                boot[kept++] = *p;
        }
    }
    boot[kept] = '\0';
}

// This process as its lock names it, read back from its own line so that
// it compares with other locks' lines byte for byte.
const LockLine &own_lock_line()
{
    static const LockLine line = [] {
        LockLine own;
        own.pid = getpid();
        if (gethostname(own.host, sizeof own.host - 1) != 0)
            own.host[0] = '\0';
        if (process_start(own.pid, &own.start) != 1)
            own.start = 0;
        read_boot_id(own.boot, sizeof own.boot);
        struct stat namespace_file {
        };
        if (stat("/proc/self/ns/pid", &namespace_file) == 0)
            own.pidns = namespace_file.st_ino;
        // The wall clock at the start: now, less the time since the start.
        timespec since_boot{};
        const long ticks_per_second = sysconf(_SC_CLK_TCK);
        std::time_t started = std::time(nullptr);
        if (ticks_per_second > 0 && clock_gettime(CLOCK_BOOTTIME, &since_boot) == 0)
            started -= since_boot.tv_sec -
                       static_cast<std::time_t>(own.start / static_cast<unsigned long long>(ticks_per_second));
        std::tm utc{};
        if (platform_utc_time(started, &utc) == 0 ||
            std::strftime(own.started, sizeof own.started, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
            own.started[0] = '\0';
        char text[LOCK_TEXT_SIZE];
        LockLine canonical;
        const size_t length = lock_line_format(own, text, sizeof text);
        return lock_line_parse(text, length, &canonical) == 1 ? canonical : own;
    }();
    return line;
}

int write_all(int fd, const char *text, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        text += n;
        length -= static_cast<size_t>(n);
    }
    return 1;
}

// Creates the lock with this process's line, with the signals held by the
// caller: made, written, synced, kept open and registered, or not there.
LockResult create_lock(const char *path, char *reason, size_t capacity)
{
    // The line first: the empty file a kill could leave between making
    // and writing it would look like Analog's lock.
    g_own_lock.length = lock_line_format(own_lock_line(), g_own_lock.text, sizeof g_own_lock.text);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    int error = errno;
    if (fd >= 0) {
        if (write_all(fd, g_own_lock.text, g_own_lock.length) == 1 && fsync(fd) == 0) {
            g_lock_fd.store(fd);
            platform_cleanup_on_signal(CLEANUP_LOCK_FILE, path);
            return LOCK_TAKEN;
        }
        error = errno;
        unlink(path);
        close(fd);
    }
    if (capacity > 0)
        std::snprintf(reason, capacity, "%s", std::strerror(error));
    return error == EEXIST ? LOCK_EXISTS : LOCK_FAILED;
}

// Opens path as a lock is read: no symbolic link followed, no wait on a
// pipe or device, no terminal taken over. Then at most LOCK_TEXT_SIZE - 1
// bytes of a regular file. 1 with its status and text; 0 when it cannot
// be opened (status from lstat then, if any), is no regular file or
// cannot be read.
int read_lock_file(const char *path, struct stat *status, char *text, size_t *length)
{
    *length = 0;
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t read_length = -1;
    if (fstat(fd, status) == 0 && S_ISREG(status->st_mode))
        read_length = read_bounded(fd, text, LOCK_TEXT_SIZE);
    close(fd);
    if (read_length < 0)
        return 0;
    *length = static_cast<size_t>(read_length);
    return 1;
}

// Whether the holder a lock's line names still runs, seen from here.
LockHolderState judge_holder(const LockLine &theirs)
{
    const LockLine &ours = own_lock_line();
    if (std::strcmp(theirs.host, ours.host) != 0)
        return HOLDER_ELSEWHERE;
    if (ours.boot[0] == '\0' || std::strcmp(theirs.boot, ours.boot) != 0)
        return HOLDER_OLD_BOOT;
    if (ours.pidns == 0 || theirs.pidns != ours.pidns)
        return HOLDER_OTHER_PIDS;
    unsigned long long ticks = 0;
    switch (process_start(theirs.pid, &ticks)) {
    case 0: return HOLDER_GONE;
    // A process of the same number started at another time reused it.
    case 1: return ticks == theirs.start ? HOLDER_RUNS : HOLDER_GONE;
    default: return HOLDER_UNCERTAIN;
    }
}

void owner_name(uid_t uid, char *owner, size_t capacity)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[2048];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        std::snprintf(owner, capacity, "%s", found->pw_name);
    else
        std::snprintf(owner, capacity, "uid %u", static_cast<unsigned>(uid));
}

// The file a take-over moved aside is the one judged stale: the same
// device, inode and text.
int is_judged_file(const char *path, const LockHolder &stale)
{
    struct stat status {
    };
    char text[LOCK_TEXT_SIZE];
    size_t length = 0;
    return read_lock_file(path, &status, text, &length) == 1 && status.st_dev == stale.device &&
                   status.st_ino == stale.inode && length == stale.text_length &&
                   std::memcmp(text, stale.text, length) == 0
               ? 1
               : 0;
}

// Puts a live lock that a take-over moved aside back at path, unless a
// lock is there again: link fails on an existing name, and so does a
// rename that may not replace. Where neither can put it back, its holder
// finds its lock gone before it saves and leaves the cache alone.
void put_back(const char *aside, const char *path)
{
    if (link(aside, path) == 0 || errno == EEXIST || renameat2(AT_FDCWD, aside, AT_FDCWD, path, RENAME_NOREPLACE) != 0)
        unlink(aside);
}

std::string aside_pattern(const char *path)
{
    const std::string full = path;
    const size_t name_start = platform_name_start(path, full.size());
    return full.substr(0, name_start) + "." + full.substr(name_start) + ".tarn-stale-XXXXXX";
}

// The take-over under held signals; see platform_lock_take_over.
LockResult take_over(const char *path, const LockHolder &stale, char *reason, size_t capacity)
{
    std::string aside = aside_pattern(path);
    const int fd = mkostemp(aside.data(), O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(reason, capacity, "%s", std::strerror(errno));
        return LOCK_FAILED;
    }
    close(fd);
    struct stat named {
    };
    if (lstat(path, &named) == 0 && (named.st_dev != stale.device || named.st_ino != stale.inode)) {
        unlink(aside.c_str()); // replaced since it was judged
        return LOCK_EXISTS;
    }
    if (rename(path, aside.c_str()) != 0) {
        const int error = errno;
        unlink(aside.c_str());
        if (error == ENOENT) // gone meanwhile: whoever makes it first holds it
            return create_lock(path, reason, capacity);
        std::snprintf(reason, capacity, "%s", std::strerror(error));
        return LOCK_FAILED;
    }
    if (is_judged_file(aside.c_str(), stale) == 0) {
        put_back(aside.c_str(), path);
        return LOCK_EXISTS;
    }
    unlink(aside.c_str());
    return create_lock(path, reason, capacity);
}

} // namespace

LockResult platform_lock_create(const char *path, char *reason, size_t capacity)
{
    // Created, written and registered as one step, so a signal never finds
    // the lock made but not yet known to its handler.
    platform_hold_signals(1);
    const LockResult result = create_lock(path, reason, capacity);
    platform_hold_signals(0);
    return result;
}

int platform_lock_inspect(const char *path, LockHolder *holder)
{
    *holder = LockHolder{};
    struct stat status {
    };
    if (lstat(path, &status) != 0 && errno == ENOENT)
        return 0;
    holder->regular = read_lock_file(path, &status, holder->text, &holder->text_length);
    holder->device = status.st_dev;
    holder->inode = status.st_ino;
    owner_name(status.st_uid, holder->owner, sizeof holder->owner);
    holder->age_seconds = std::max<long long>(0, static_cast<long long>(std::time(nullptr) - status.st_mtime));
    lock_holder_read_text(holder, judge_holder);
    return 1;
}

// Many runs may find the same stale lock at once; each takes it over so:
//  1. it makes a file of its own beside the lock (mkstemp), and gives up
//     if the lock's path no longer names the file it judged;
//  2. it renames the lock onto that file: of several runs one at most
//     moves the stale file away, the others move nothing (it is gone) or
//     a later file;
//  3. if what it moved is the file it judged (device, inode and text, so
//     a reused inode does not pass), it removes it and creates the lock
//     anew, exclusively: when several get here, one creation succeeds and
//     the others find the lock held;
//  4. if it moved another file (a lock taken meanwhile by a run that got
//     there first, or by Analog), it links it back where it was, which
//     fails when a lock was made at the path again in between, and finds
//     the lock held. The lock that could not go back is then missing for
//     its holder, which checks before it saves and does not save.
// A rename that finds nothing to move means another run moved the stale
// lock first: this one just tries the exclusive creation.
LockResult platform_lock_take_over(const char *path, const LockHolder &stale, char *reason, size_t capacity)
{
    platform_hold_signals(1);
    const LockResult result = take_over(path, stale, reason, capacity);
    platform_hold_signals(0);
    return result;
}

int platform_lock_still_held(const char *path)
{
    struct stat status {
    };
    char text[LOCK_TEXT_SIZE];
    size_t length = 0;
    return lock_path_is_ours(path) == 1 && read_lock_file(path, &status, text, &length) == 1 &&
                   length == g_own_lock.length && std::memcmp(text, g_own_lock.text, length) == 0
               ? 1
               : 0;
}

LockRemoval platform_lock_remove(const char *path)
{
    platform_hold_signals(1);
    LockRemoval result = LOCK_NOT_OURS;
    if (platform_lock_still_held(path) == 1)
        result = unlink(path) == 0 ? LOCK_REMOVED : LOCK_REMOVE_FAILED;
    platform_cleanup_on_signal(CLEANUP_LOCK_FILE, nullptr);
    const int fd = g_lock_fd.exchange(-1);
    if (fd >= 0)
        close(fd);
    platform_hold_signals(0);
    return result;
}

const char *platform_command_line()
{
    return g_command_line.c_str();
}

void platform_console_write(const char *text, size_t length, ConsoleStream stream)
{
    std::FILE *file = stream == CONSOLE_ERROR ? stderr : stdout;
    std::fwrite(text, 1, length, file);
    std::fflush(file);
}

int platform_console_is_terminal(ConsoleStream stream)
{
    return isatty(stream == CONSOLE_ERROR ? STDERR_FILENO : STDOUT_FILENO) == 1 ? 1 : 0;
}

ConsoleStream platform_message_stream()
{
    return CONSOLE_ERROR;
}

void platform_message_box(const char *caption, const char *message)
{
    size_t length = std::strlen(message);
    const char *line_end = (length > 0 && message[length - 1] == '\n') ? "" : "\n";
    std::fprintf(stderr, "%s: %s%s", caption, message, line_end);
    std::fflush(stderr);
}

uint32_t platform_tick_ms()
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

void platform_sleep_ms(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void platform_exit(int status)
{
    // The fatal reports end here: a lock or a temporary file left behind
    // would stop every later run, or litter the cache's directory.
    remove_registered_files();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

// ---------------------------------------------------------------------------
// Sockets and the resolver.

namespace
{

// The version of the socket interface this layer behaves like.
constexpr uint16_t GRANTED_SOCKET_VERSION = 0x0101;
// Start size of the reentrant resolvers' work buffer; doubled on ERANGE up
// to the limit (a host record with many aliases and addresses).
constexpr size_t RESOLVER_BUFFER_START = 4096;
constexpr size_t RESOLVER_BUFFER_LIMIT = 1024 * 1024;

thread_local int t_socket_error = 0;

struct ErrnoCode {
    int errno_value;
    int socket_code;
};

// System errors that have a Windows Sockets counterpart.
const ErrnoCode ERRNO_CODES[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},  {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},    {EUSERS, 10068},          {EDQUOT, 10069},
    {ESTALE, 10070},        {EREMOTE, 10071},
};

// A system error without a counterpart keeps its own number, which the
// socket layer reports through its unknown-code path.
int socket_code_from_errno(int value)
{
    for (const ErrnoCode &code : ERRNO_CODES) {
        if (code.errno_value == value)
            return code.socket_code;
    }
    return value;
}

int socket_code_from_h_errno(int value, int system_error)
{
    switch (value) {
    case HOST_NOT_FOUND: return SOCKET_HOST_NOT_FOUND;
    case TRY_AGAIN: return SOCKET_TRY_AGAIN;
    case NO_RECOVERY: return SOCKET_NO_RECOVERY;
    case NO_DATA: return SOCKET_NO_DATA;
    default: return system_error != 0 ? socket_code_from_errno(system_error) : SOCKET_NO_RECOVERY;
    }
}

// Copies the official name and first IPv4 address out of a host record;
// the name alone when first_address is null (a reverse lookup of an IPv6
// address, whose record lists that address).
int copy_host(const hostent *host, char *name, size_t capacity, uint8_t first_address[4])
{
    const bool want_address = first_address != nullptr;
    if (host->h_name == nullptr ||
        (want_address && (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == nullptr ||
                          host->h_addr_list[0] == nullptr))) {
        t_socket_error = SOCKET_NO_DATA;
        return 0;
    }
    size_t length = std::strlen(host->h_name);
    if (length >= capacity) {
        t_socket_error = SOCKET_NAME_TOO_LONG; // a cut name would be a wrong name
        return 0;
    }
    std::memcpy(name, host->h_name, length + 1);
    if (want_address)
        std::memcpy(first_address, host->h_addr_list[0], 4);
    t_socket_error = 0;
    return 1;
}

// getnameinfo's failures in the Windows Sockets numbering.
int socket_code_from_eai(int rc, int saved_errno)
{
    switch (rc) {
    case EAI_NONAME: return SOCKET_HOST_NOT_FOUND;
    case EAI_NODATA: return SOCKET_NO_DATA;
    case EAI_AGAIN: return SOCKET_TRY_AGAIN;
    case EAI_FAIL: return SOCKET_NO_RECOVERY;
    case EAI_OVERFLOW: return SOCKET_NAME_TOO_LONG;
    case EAI_SYSTEM: return socket_code_from_errno(saved_errno);
    default: return SOCKET_NO_RECOVERY;
    }
}

// Runs a reentrant glibc resolver call with a growing work buffer.
template <class Call> int resolve_with_buffer(Call call, char *name, size_t capacity, uint8_t first_address[4])
{
    std::vector<char> buffer(RESOLVER_BUFFER_START);
    for (;;) {
        hostent storage{};
        hostent *result = nullptr;
        int host_error = 0;
        errno = 0;
        int rc = call(&storage, buffer.data(), buffer.size(), &result, &host_error);
        if (rc == ERANGE && buffer.size() < RESOLVER_BUFFER_LIMIT) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result == nullptr) {
            t_socket_error = socket_code_from_h_errno(host_error, rc != 0 ? rc : errno);
            return 0;
        }
        return copy_host(result, name, capacity, first_address);
    }
}

} // namespace

int platform_socket_startup(uint16_t requested, uint16_t *granted)
{
    (void)requested;
    // glibc reads nsswitch.conf and sets up its lookup state on the first
    // lookup, and when memory runs out there it asserts or crashes rather
    // than fail the lookup. Opening and closing the host database here, on
    // the main thread while memory is plentiful, does that work once and
    // sends no query.
    sethostent(0);
    endhostent();
    *granted = GRANTED_SOCKET_VERSION;
    return 0;
}

int platform_socket_cleanup()
{
    return 0;
}

int platform_socket_last_error()
{
    return t_socket_error;
}

void platform_socket_set_last_error(int code)
{
    t_socket_error = code;
}

int platform_parse_ipv6(const char *text, uint8_t address[16])
{
    uint8_t parsed[16];
    if (inet_pton(AF_INET6, text, parsed) != 1)
        return 0;
    std::memcpy(address, parsed, sizeof parsed);
    return 1;
}

int platform_resolve_address6(const uint8_t address[16], char *name, size_t capacity)
{
    // gethostbyaddr_r, not getnameinfo: getnameinfo folds the resolver's
    // NO_RECOVERY (a broken answer) into "no such name", which would
    // record a failure as a fact. glibc asks for an IPv4-mapped address by
    // its IPv4 name itself.
    return resolve_with_buffer(
        [address](hostent *storage, char *buffer, size_t size, hostent **result, int *host_error) {
            return gethostbyaddr_r(address, 16, AF_INET6, storage, buffer, size, result, host_error);
        },
        name, capacity, nullptr);
}

namespace
{

constexpr int DNS_TYPE_PTR = 12;
constexpr size_t DNS_HEADER_SIZE = 12;

// The reverse-lookup name of an address: d.c.b.a.in-addr.arpa, or the 32
// nibbles of an IPv6 address under ip6.arpa.
void reverse_name(const uint8_t *address, size_t length, char (&text)[80])
{
    char *p = text;
    if (length == 4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u.in-addr.arpa", address[3], address[2], address[1], address[0]);
        return;
    }
    constexpr char HEX[] = "0123456789abcdef";
    for (size_t i = 16; i-- > 0;) {
        *p++ = HEX[address[i] & 0xF];
        *p++ = '.';
        *p++ = HEX[address[i] >> 4];
        *p++ = '.';
    }
    std::memcpy(p, "ip6.arpa", sizeof "ip6.arpa");
}

uint16_t read_16(const unsigned char *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// The PTR names of a DNS answer, into names (count of name_size bytes each);
// how many, bounded by count, or -1 when the answer is malformed.
int answer_ptr_names(const unsigned char *answer, int answer_length, char *names, size_t name_size, int count)
{
    const unsigned char *end = answer + answer_length;
    if (answer_length < static_cast<int>(DNS_HEADER_SIZE))
        return -1;
    const int questions = read_16(answer + 4);
    const int answers = read_16(answer + 6);
    const unsigned char *p = answer + DNS_HEADER_SIZE;
    char name[NS_MAXDNAME];
    for (int i = 0; i < questions; ++i) {
        const int used = dn_expand(answer, end, p, name, sizeof name);
        if (used < 0 || end - p < used + 4)
            return -1;
        p += used + 4;
    }
    int found = 0;
    for (int i = 0; i < answers && found < count; ++i) {
        const int used = dn_expand(answer, end, p, name, sizeof name);
        if (used < 0 || end - p < used + 10)
            return -1;
        p += used;
        const int type = read_16(p);
        const int data_length = read_16(p + 8);
        p += 10;
        if (end - p < data_length)
            return -1;
        if (type == DNS_TYPE_PTR && dn_expand(answer, end, p, name, sizeof name) >= 0 && std::strlen(name) < name_size)
            std::memcpy(names + static_cast<size_t>(found++) * name_size, name, std::strlen(name) + 1);
        p += data_length;
    }
    return found;
}

} // namespace

int platform_address_names(const uint8_t *address, size_t length, char *names, size_t name_size, int count)
{
    char query[80];
    reverse_name(address, length, query);
    struct __res_state state {
    };
    if (res_ninit(&state) != 0) {
        t_socket_error = SOCKET_NO_RECOVERY;
        return -1;
    }
    std::vector<unsigned char> answer(NS_MAXMSG);
    const int answer_length =
        res_nquery(&state, query, ns_c_in, ns_t_ptr, answer.data(), static_cast<int>(answer.size()));
    const int host_error = state.res_h_errno;
    res_nclose(&state);
    if (answer_length < 0) {
        t_socket_error = socket_code_from_h_errno(host_error, 0);
        return -1;
    }
    const int found = answer_ptr_names(answer.data(), std::min(answer_length, static_cast<int>(answer.size())), names,
                                       name_size, count);
    t_socket_error = found > 0 ? 0 : (found == 0 ? SOCKET_NO_DATA : SOCKET_NO_RECOVERY);
    return found;
}

int platform_resolve_address(const uint8_t address[4], char *name, size_t capacity, uint8_t first_address[4])
{
    return resolve_with_buffer(
        [address](hostent *storage, char *buffer, size_t size, hostent **result, int *host_error) {
            return gethostbyaddr_r(address, 4, AF_INET, storage, buffer, size, result, host_error);
        },
        name, capacity, first_address);
}

int platform_resolve_name(const char *host, char *name, size_t capacity, uint8_t first_address[4])
{
    return resolve_with_buffer(
        [host](hostent *storage, char *buffer, size_t size, hostent **result, int *host_error) {
            return gethostbyname2_r(host, AF_INET, storage, buffer, size, result, host_error);
        },
        name, capacity, first_address);
}

int platform_name_has_address(const char *name, const uint8_t *address, size_t length)
{
    addrinfo hints{};
    hints.ai_family = length == 4 ? AF_INET : AF_INET6;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
    addrinfo *found = nullptr;
    errno = 0;
    const int rc = getaddrinfo(name, nullptr, &hints, &found);
    if (rc != 0) {
        t_socket_error = socket_code_from_eai(rc, errno);
        return 0;
    }
    int confirmed = 0;
    for (const addrinfo *entry = found; entry != nullptr && confirmed == 0; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && length == 4) {
            const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
            confirmed = std::memcmp(&ipv4->sin_addr, address, 4) == 0 ? 1 : 0;
        } else if (entry->ai_family == AF_INET6 && length == 16) {
            const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr);
            confirmed = std::memcmp(&ipv6->sin6_addr, address, 16) == 0 ? 1 : 0;
        }
    }
    freeaddrinfo(found);
    t_socket_error = confirmed == 1 ? 0 : SOCKET_NO_DATA;
    return confirmed;
}

// ---------------------------------------------------------------------------
// Files.

static_assert(PLATFORM_NAME_MAX == NAME_MAX, "the longest file name of this system");

namespace
{

mode_t current_umask()
{
    mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// mkstemp with the signals that end the process held back until the new
// file is registered for removal, so no kill falls between the two.
int make_registered_file(std::string &pattern, CleanupSlot slot)
{
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    platform_hold_signals(1);
    const int fd = mkstemp(name.data());
    if (fd >= 0)
        platform_cleanup_on_signal(slot, name.data());
    platform_hold_signals(0);
    if (fd >= 0)
        pattern = name.data();
    return fd;
}

std::FILE *stream_of(int fd, const std::string &path, CleanupSlot slot)
{
    std::FILE *file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        platform_cleanup_on_signal(slot, nullptr);
        unlink(path.c_str());
    }
    return file;
}

} // namespace

namespace
{

// A descriptor closed when it goes.
class Descriptor
{
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : fd_(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// As many links as the kernel follows on one path.
constexpr int MAX_LINKS_ON_PATH = 40;

bool failed(FileProblem *problem, FileRefusal refusal, int error = 0)
{
    if (problem != nullptr) {
        problem->refusal = refusal;
        problem->error = error;
    }
    return false;
}

// A link is followed when root or the user running tarn made it.
bool trusted_owner(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

// Puts the names of text in front of the names still to walk.
void push_names(std::vector<std::string> &pending, const std::string &text)
{
    std::vector<std::string> names;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            names.emplace_back(text, start, end - start);
        start = end + 1;
    }
    // pending is walked from its back.
    pending.insert(pending.end(), names.rbegin(), names.rend());
}

// Where a walk along a path stands: the directory it reached, the name in
// it still to look at, and the names after that.
struct PathWalk {
    Descriptor directory;
    std::string name = ".";
    std::vector<std::string> pending;
    int links = 0;
    // The last name is a link of /proc (/dev/stdin's /proc/self/fd/0):
    // its text names no path, and only the kernel can follow it.
    bool kernel_link = false;
};

constexpr long PROC_FILE_SYSTEM = 0x9fa0;

bool on_proc(int directory)
{
    struct statfs status {
    };
    return fstatfs(directory, &status) == 0 && status.f_type == PROC_FILE_SYSTEM;
}

int open_root(PathWalk &walk, bool absolute)
{
    walk.directory.reset(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    return walk.directory.get() >= 0 ? 1 : 0;
}

// Follows the link fd stands for (named walk.name), if it is trusted: its
// text goes in front of the names still to walk.
bool follow_link(PathWalk &walk, int fd, const struct stat &status, FileProblem *problem)
{
    if (!trusted_owner(status.st_uid)) {
        if (problem != nullptr) {
            problem->owner = status.st_uid;
            std::snprintf(problem->item, sizeof problem->item, "%s", walk.name.c_str());
        }
        return failed(problem, FILE_UNTRUSTED_LINK);
    }
    if (++walk.links > MAX_LINKS_ON_PATH)
        return failed(problem, FILE_SYSTEM_ERROR, ELOOP);
    char text[PATH_MAX];
    // The link read is the one checked: fd holds it, whatever the name
    // points to now.
    const ssize_t length = readlinkat(fd, "", text, sizeof text);
    if (length < 0 || static_cast<size_t>(length) >= sizeof text)
        return failed(problem, FILE_SYSTEM_ERROR, length < 0 ? errno : ENAMETOOLONG);
    const std::string target(text, static_cast<size_t>(length));
    if (target[0] == '/' && open_root(walk, true) == 0)
        return failed(problem, FILE_SYSTEM_ERROR, errno);
    push_names(walk.pending, target);
    return true;
}

// One step: looks at walk.name in walk.directory. A directory with names
// after it becomes the walk's directory; a trusted link is followed. Sets
// *done when walk.name is the last name and not a link (it may not exist).
bool walk_step(PathWalk &walk, bool *done, FileProblem *problem)
{
    Descriptor fd(openat(walk.directory.get(), walk.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {
    };
    if (fd.get() < 0 || fstat(fd.get(), &status) != 0) {
        if (errno == ENOENT && walk.pending.empty()) {
            *done = true; // a file still to be made
            return true;
        }
        return failed(problem, FILE_SYSTEM_ERROR, errno);
    }
    if (S_ISLNK(status.st_mode) && walk.pending.empty() && trusted_owner(status.st_uid) &&
        on_proc(walk.directory.get())) {
        walk.kernel_link = true;
        *done = true;
        return true;
    }
    if (S_ISLNK(status.st_mode))
        return follow_link(walk, fd.get(), status, problem);
    if (walk.pending.empty()) {
        *done = true;
        return true;
    }
    if (!S_ISDIR(status.st_mode))
        return failed(problem, FILE_SYSTEM_ERROR, ENOTDIR);
    walk.directory = std::move(fd);
    return true;
}

// Walks path one name at a time without letting the system follow any
// link, following only trusted ones itself. On success walk holds the
// directory and the last name, which is no link: an existing file or
// directory, or a name still free.
bool walk_path(const char *path, PathWalk &walk, FileProblem *problem)
{
    if (path[0] == '\0')
        return failed(problem, FILE_SYSTEM_ERROR, ENOENT);
    if (open_root(walk, path[0] == '/') == 0)
        return failed(problem, FILE_SYSTEM_ERROR, errno);
    push_names(walk.pending, path);
    for (;;) {
        if (walk.pending.empty()) {
            walk.name.assign(1, '.'); // the path names a directory itself
            return true;
        }
        walk.name = walk.pending.back();
        walk.pending.pop_back();
        bool done = false;
        if (!walk_step(walk, &done, problem))
            return false;
        if (done)
            return true;
    }
}

FileIdentity identity_of(const struct stat &status)
{
    FileIdentity identity;
    identity.device = static_cast<uint64_t>(status.st_dev);
    identity.inode = static_cast<uint64_t>(status.st_ino);
    identity.size = static_cast<uint64_t>(status.st_size);
    identity.links = static_cast<uint64_t>(status.st_nlink);
    identity.modified_ns = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    return identity;
}

// Opens the regular file walk reached, checking that what was opened is
// what was looked at: a name swapped in between is caught.
int open_walked_file(const PathWalk &walk, int flags, FileProblem *problem)
{
    struct stat status {
    };
    FileRefusal refusal = FILE_OK;
    if (fstatat(walk.directory.get(), walk.name.c_str(), &status, walk.kernel_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        refusal = FILE_SYSTEM_ERROR;
    else if (S_ISDIR(status.st_mode))
        refusal = FILE_IS_DIRECTORY;
    else if (!S_ISREG(status.st_mode))
        refusal = FILE_NOT_REGULAR;
    if (refusal != FILE_OK) {
        failed(problem, refusal, errno);
        return -1;
    }
    const int follow = walk.kernel_link ? 0 : O_NOFOLLOW;
    Descriptor fd(openat(walk.directory.get(), walk.name.c_str(), flags | follow | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {
    };
    if (fd.get() < 0 || fstat(fd.get(), &opened) != 0) {
        failed(problem, FILE_SYSTEM_ERROR, errno);
        return -1;
    }
    if (!S_ISREG(opened.st_mode) || opened.st_ino != status.st_ino || opened.st_dev != status.st_dev) {
        failed(problem, FILE_NOT_REGULAR);
        return -1;
    }
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    return fd.release();
}

// Walks to the directory that path's last name lies in; on success walk
// holds it as its directory.
bool walk_to_directory(const char *path, PathWalk &walk, FileProblem *problem)
{
    std::string directory(path, platform_name_start(path, std::strlen(path)));
    directory += '.';
    return walk_path(directory.c_str(), walk, problem);
}

// What holds the name that a new file was to take. Anything but a link is
// left to opening it to judge; a link is what a file to read would reach
// through it, and one that leads to no file is refused: following it would
// make a file wherever its maker pointed it.
NewFileResult name_taken(const char *path, int directory, const char *name, FileProblem *problem)
{
    struct stat status {
    };
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        failed(problem, FILE_SYSTEM_ERROR, errno);
        return NEW_FILE_FAILED;
    }
    if (!S_ISLNK(status.st_mode))
        return NEW_FILE_EXISTS;
    PathWalk walk;
    if (!walk_path(path, walk, problem))
        return NEW_FILE_FAILED;
    const int follow = walk.kernel_link ? 0 : AT_SYMLINK_NOFOLLOW;
    if (fstatat(walk.directory.get(), walk.name.c_str(), &status, follow) == 0)
        return NEW_FILE_EXISTS;
    if (problem != nullptr)
        std::snprintf(problem->item, sizeof problem->item, "%s", name);
    failed(problem, FILE_DANGLING_LINK);
    return NEW_FILE_FAILED;
}

std::FILE *read_stream(int fd)
{
    if (fd < 0)
        return nullptr;
    std::FILE *file = fdopen(fd, "rb");
    if (file == nullptr)
        close(fd);
    return file;
}

std::string user_name(unsigned long uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->pw_name;
    return "?";
}

} // namespace

void platform_describe_problem(const FileProblem &problem, char *text, size_t capacity)
{
    switch (problem.refusal) {
    case FILE_OK: std::snprintf(text, capacity, "no problem"); return;
    case FILE_SYSTEM_ERROR: std::snprintf(text, capacity, "%s", std::strerror(problem.error)); return;
    case FILE_IS_DIRECTORY: std::snprintf(text, capacity, "it is a directory"); return;
    case FILE_NOT_REGULAR:
        std::snprintf(text, capacity, "it is not a regular file (a FIFO, device or socket is never opened)");
        return;
    case FILE_UNTRUSTED_LINK:
        std::snprintf(text, capacity,
                      "the symbolic link '%s' on its path belongs to user %s (%lu), and only links of root or of "
                      "this user are followed",
                      problem.item, user_name(problem.owner).c_str(), problem.owner);
        return;
    case FILE_HARD_LINKED:
        std::snprintf(text, capacity, "it has %lu hard links, and replacing it would split them", problem.links);
        return;
    case FILE_NOT_WRITABLE: std::snprintf(text, capacity, "this user may not write it"); return;
    case FILE_ATTRIBUTES:
        std::snprintf(text, capacity, "its %s cannot be given to the new file (%s)", problem.item,
                      std::strerror(problem.error));
        return;
    case FILE_DANGLING_LINK:
        std::snprintf(text, capacity,
                      "'%s' is a symbolic link to a file that does not exist, and no new file is made through a link",
                      problem.item);
        return;
    }
}

std::FILE *platform_open_for_reading(const char *path, FileProblem *problem)
{
    PathWalk walk;
    if (!walk_path(path, walk, problem))
        return nullptr;
    return read_stream(open_walked_file(walk, O_RDONLY, problem));
}

int platform_directory_trusted(const char *path, FileProblem *problem)
{
    PathWalk walk;
    return walk_to_directory(path, walk, problem) ? 1 : 0;
}

NewFileResult platform_create_new_file(const char *path, FileProblem *problem)
{
    PathWalk walk;
    if (!walk_to_directory(path, walk, problem))
        return NEW_FILE_FAILED;
    // O_NOFOLLOW with O_EXCL: a link at the name, even one that leads
    // nowhere, counts as taken; the file is made here or not at all.
    const char *name = path + platform_name_start(path, std::strlen(path));
    const int fd = openat(walk.directory.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        return NEW_FILE_MADE;
    }
    if (errno == EEXIST)
        return name_taken(path, walk.directory.get(), name, problem);
    failed(problem, FILE_SYSTEM_ERROR, errno);
    return NEW_FILE_FAILED;
}

int platform_file_identity(std::FILE *file, FileIdentity *identity)
{
    struct stat status {
    };
    if (fstat(fileno(file), &status) != 0)
        return 0;
    *identity = identity_of(status);
    return 1;
}

int platform_path_identity(const char *path, FileIdentity *identity)
{
    PathWalk walk;
    struct stat status {
    };
    if (!walk_path(path, walk, nullptr) ||
        fstatat(walk.directory.get(), walk.name.c_str(), &status, walk.kernel_link ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    *identity = identity_of(status);
    return 1;
}

// ---------------------------------------------------------------------------
// Replacing a file.

namespace
{

constexpr const char *ACCESS_ACL = "system.posix_acl_access";

// The temporary name: the pattern's "XXXXXX" filled from the system's
// random bytes, made with O_EXCL beside the target; tries again on a clash.
int make_temporary_at(int directory, std::string &name)
{
    constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const size_t start = name.size() - 6;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (getentropy(random, sizeof random) != 0)
            return -1;
        for (size_t i = 0; i < 6; ++i)
            name[start + i] = LETTERS[random[i] % (sizeof LETTERS - 1)];
        const int fd = openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool attribute_failed(FileProblem *problem, const char *item, int error)
{
    if (problem != nullptr)
        std::snprintf(problem->item, sizeof problem->item, "%s", item);
    return failed(problem, FILE_ATTRIBUTES, error);
}

// Copies one extended attribute (an access control list is one) of from
// to to; true when it was copied.
bool copy_attribute(int from, int to, const char *name)
{
    const ssize_t size = fgetxattr(from, name, nullptr, 0);
    if (size < 0)
        return false;
    std::vector<char> value(static_cast<size_t>(size) + 1);
    const ssize_t got = fgetxattr(from, name, value.data(), value.size());
    return got >= 0 && fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) == 0;
}

// Every extended attribute of from onto to, or the first that fails.
bool copy_attributes(int from, int to, FileProblem *problem)
{
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0)
        return errno == ENOTSUP || attribute_failed(problem, "extended attributes", errno);
    std::vector<char> names(static_cast<size_t>(size) + 1, '\0');
    const ssize_t got = flistxattr(from, names.data(), static_cast<size_t>(size));
    if (got < 0)
        return attribute_failed(problem, "extended attributes", errno);
    for (const char *name = names.data(); name < names.data() + got; name += std::strlen(name) + 1) {
        if (!copy_attribute(from, to, name))
            return attribute_failed(problem, name, errno);
    }
    return true;
}

// The target's own owner, group, mode and attributes onto the new file. A
// user who is not root cannot give a file away: a target of another owner,
// or of a group the user is not in, is refused rather than changed.
bool keep_attributes(int model, const struct stat &status, int fd, FileProblem *problem)
{
    const bool root = geteuid() == 0;
    if (!root && status.st_uid != geteuid())
        return attribute_failed(problem, "owner", EPERM);
    if ((root || status.st_gid != getegid()) &&
        fchown(fd, root ? status.st_uid : static_cast<uid_t>(-1), status.st_gid) != 0)
        return attribute_failed(problem, root ? "owner" : "group", errno);
    if (fchmod(fd, status.st_mode & 07777) != 0)
        return attribute_failed(problem, "mode", errno);
    return copy_attributes(model, fd, problem);
}

// A file made from others takes the mode of the first of them, and its
// access list; its owner and group for root. Group permissions it cannot
// give with the right group or list are dropped.
bool take_attributes(int model, const struct stat &status, int fd, FileProblem *problem)
{
    const bool root = geteuid() == 0;
    mode_t mode = status.st_mode & 0666;
    if (fchown(fd, root ? status.st_uid : static_cast<uid_t>(-1), status.st_gid) != 0)
        mode &= ~static_cast<mode_t>(070);
    if (fchmod(fd, mode) != 0)
        return attribute_failed(problem, "mode", errno);
    if (fgetxattr(model, ACCESS_ACL, nullptr, 0) >= 0 && !copy_attribute(model, fd, ACCESS_ACL))
        (void)fchmod(fd, mode & ~static_cast<mode_t>(070));
    return true;
}

} // namespace

struct FileReplacement::State {
    PathWalk walk;
    std::string temporary;
    bool created = false;
    CleanupSlot slot = CLEANUP_TEMP_FILE;
};

FileReplacement::FileReplacement() = default;
FileReplacement::~FileReplacement()
{
    discard();
}

void FileReplacement::discard()
{
    if (!state_)
        return;
    if (state_->created) {
        platform_cleanup_on_signal(state_->slot, nullptr);
        unlinkat(state_->walk.directory.get(), state_->temporary.c_str(), 0);
    }
    state_.reset();
}

namespace
{

// What the target walk reached may be replaced: *exists says whether there
// is one. With keep, its attributes are to be kept, so its names must be
// one.
bool check_target(const PathWalk &walk, bool keep, struct stat *status, bool *exists, FileProblem *problem)
{
    const int directory = walk.directory.get();
    *exists = fstatat(directory, walk.name.c_str(), status, AT_SYMLINK_NOFOLLOW) == 0;
    if (!*exists)
        return errno == ENOENT || failed(problem, FILE_SYSTEM_ERROR, errno);
    if (S_ISDIR(status->st_mode))
        return failed(problem, FILE_IS_DIRECTORY);
    if (!S_ISREG(status->st_mode))
        return failed(problem, FILE_NOT_REGULAR);
    if (keep && status->st_nlink > 1) {
        if (problem != nullptr)
            problem->links = static_cast<unsigned long>(status->st_nlink);
        return failed(problem, FILE_HARD_LINKED);
    }
    // Replacing by rename needs only the directory's permission: a file
    // this user may not write is refused as opening it for writing would
    // be. Root may write any file.
    if (faccessat(directory, walk.name.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM))
        return failed(problem, FILE_NOT_WRITABLE);
    return true;
}

// The file whose attributes the new one gets: the target itself, or the
// file named, or none (-1: 0666 less the umask).
int attribute_model(const PathWalk &walk, bool exists, const char *attributes_from, struct stat *status)
{
    int fd = -1;
    if (attributes_from != nullptr) {
        PathWalk model;
        if (walk_path(attributes_from, model, nullptr))
            fd = open_walked_file(model, O_RDONLY, nullptr);
    } else if (exists) {
        fd = open_walked_file(walk, O_RDONLY, nullptr);
    }
    if (fd >= 0 && fstat(fd, status) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The temporary file with signals held until it is registered, under a
// path through the directory's descriptor that a signal handler can use.
int create_registered_at(int directory, std::string &name, CleanupSlot slot)
{
    platform_hold_signals(1);
    const int fd = make_temporary_at(directory, name);
    if (fd >= 0) {
        char path[CLEANUP_PATH_SIZE];
        if (std::snprintf(path, sizeof path, "/proc/self/fd/%d/%s", directory, name.c_str()) <
            static_cast<int>(sizeof path))
            platform_cleanup_on_signal(slot, path);
    }
    platform_hold_signals(0);
    return fd;
}

} // namespace

std::FILE *FileReplacement::create(const char *path, const char *mark, const char *attributes_from, CleanupSlot slot,
                                   FileProblem *problem)
{
    discard();
    state_ = std::make_unique<State>();
    State &state = *state_;
    state.slot = slot;
    struct stat target {
    };
    bool exists = false;
    if (!walk_path(path, state.walk, problem) ||
        !check_target(state.walk, attributes_from == nullptr, &target, &exists, problem))
        return nullptr;
    struct stat model_status {
    };
    Descriptor model(attribute_model(state.walk, exists, attributes_from, &model_status));
    if (exists && attributes_from == nullptr && model.get() < 0) {
        failed(problem, FILE_SYSTEM_ERROR, errno);
        return nullptr;
    }
    state.temporary = platform_temporary_name(state.walk.name, mark);
    Descriptor fd(create_registered_at(state.walk.directory.get(), state.temporary, slot));
    if (fd.get() < 0) {
        failed(problem, FILE_SYSTEM_ERROR, errno);
        return nullptr;
    }
    state.created = true;
    bool given = true;
    if (model.get() < 0)
        given = fchmod(fd.get(), 0666 & ~current_umask()) == 0 || attribute_failed(problem, "mode", errno);
    else if (attributes_from == nullptr)
        given = keep_attributes(model.get(), model_status, fd.get(), problem);
    else
        given = take_attributes(model.get(), model_status, fd.get(), problem);
    std::FILE *file = given ? fdopen(fd.get(), "wb") : nullptr;
    if (file == nullptr) {
        discard();
        return nullptr;
    }
    fd.release();
    return file;
}

int FileReplacement::target_identity(FileIdentity *identity) const
{
    struct stat status {
    };
    if (!state_ || fstatat(state_->walk.directory.get(), state_->walk.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return 0;
    *identity = identity_of(status);
    return 1;
}

std::FILE *FileReplacement::open_target() const
{
    return state_ ? read_stream(open_walked_file(state_->walk, O_RDONLY, nullptr)) : nullptr;
}

int FileReplacement::replace(int sync)
{
    if (!state_ || !state_->created)
        return 0;
    const int directory = state_->walk.directory.get();
    if (renameat(directory, state_->temporary.c_str(), directory, state_->walk.name.c_str()) != 0)
        return 0;
    state_->created = false;
    platform_cleanup_on_signal(state_->slot, nullptr);
    if (sync != 0) {
        Descriptor opened(openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (opened.get() >= 0)
            fsync(opened.get());
    }
    return 1;
}

std::FILE *platform_create_temporary(std::string &pattern, CleanupSlot slot)
{
    const int fd = make_registered_file(pattern, slot);
    return fd < 0 ? nullptr : stream_of(fd, pattern, slot);
}

int platform_sync_file(std::FILE *file)
{
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0 ? 1 : 0;
}

std::string platform_temporary_directory()
{
    const char *directory = std::getenv("TMPDIR");
    return directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
}

std::FILE *platform_standard_input()
{
    return stdin;
}

long platform_read_standard_input(unsigned char *bytes, size_t length)
{
    // read_bounded ends what it read with a NUL.
    char head[64];
    const ssize_t got = read_bounded(STDIN_FILENO, head, std::min(length + 1, sizeof head));
    if (got > 0)
        std::memcpy(bytes, head, static_cast<size_t>(got));
    return static_cast<long>(got);
}

void platform_local_time(std::time_t moment, std::tm *local)
{
    localtime_r(&moment, local);
}

int platform_utc_time(std::time_t moment, std::tm *utc)
{
    return gmtime_r(&moment, utc) != nullptr ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Paths and directory listing.

int platform_is_absolute_path(const char *path)
{
    return path[0] == '/' ? 1 : 0;
}

int DirectoryListing::open(const char *pattern)
{
    names_->paths.clear();
    names_->position = 0;
    if (std::strpbrk(pattern, "*?[") == nullptr) {
        struct stat status {
        };
        if (lstat(pattern, &status) != 0)
            return 0;
        names_->paths.emplace_back(pattern);
        return 1;
    }
    // The system's own matching, as Analog's POSIX build uses: wildcards in
    // any component, a leading dot matched only by a dot. Unreadable
    // directories are passed over.
    glob_t found{};
    if (glob(pattern, GLOB_NOSORT, nullptr, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc; ++i) {
            struct stat status {
            };
            if (stat(found.gl_pathv[i], &status) == 0 && S_ISREG(status.st_mode))
                names_->paths.emplace_back(found.gl_pathv[i]);
        }
    }
    globfree(&found);
    // Byte order, whatever the locale's collation.
    std::sort(names_->paths.begin(), names_->paths.end());
    return names_->paths.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Threads: the start of a new one (platform_common.cpp recycles them).

namespace
{

// The stack of each thread. The C library's default (8 MiB) is reserved,
// mapped and later unmapped for every thread, and with hundreds of them
// that cost showed in the time of a whole run. A body here is one lookup:
// the C library sizes its resolver's stack buffers by the thread's stack,
// and 256 KiB is twice what some C libraries give every thread.
constexpr size_t THREAD_STACK_SIZE = 256 * 1024;

void *thread_entry(void *raw)
{
    platform_run_thread(static_cast<ThreadStart *>(raw));
    return nullptr;
}

} // namespace

int platform_new_thread(ThreadStart *start)
{
    // Created detached, never detached afterwards: pthread_detach reads the
    // new thread's descriptor after marking it detached, and if the thread
    // has ended meanwhile (more likely when the starting thread is preempted
    // with hundreds of others running) its stack may already be unmapped.
    // That read crashed a run once in about fifty at /T 500.
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (error == 0)
            error = pthread_attr_setstacksize(&attributes, THREAD_STACK_SIZE);
        pthread_t thread;
        if (error == 0)
            error = pthread_create(&thread, &attributes, thread_entry, start);
        pthread_attr_destroy(&attributes);
    }
    return error;
}
