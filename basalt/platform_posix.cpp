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
        if (gmtime_r(&started, &utc) == nullptr ||
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
    const size_t slash = full.rfind('/');
    const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
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
    holder->empty = holder->regular == 1 && holder->text_length == 0 ? 1 : 0;
    LockLine line;
    if (holder->regular == 1 && lock_line_parse(holder->text, holder->text_length, &line) == 1) {
        holder->named = 1;
        holder->pid = line.pid;
        std::snprintf(holder->host, sizeof holder->host, "%s", line.host);
        std::snprintf(holder->started, sizeof holder->started, "%s", line.started);
        holder->state = judge_holder(line);
    }
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

std::FILE *platform_open_for_reading(const char *path)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr)
        return nullptr;
    struct stat status {
    };
    if (fstat(fileno(file), &status) != 0 || S_ISDIR(status.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

std::string platform_replacement_target(const char *path)
{
    struct stat link_status {
    };
    if (lstat(path, &link_status) != 0 || !S_ISLNK(link_status.st_mode))
        return path;
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? std::string(path) : target.string();
}

std::FILE *platform_create_replacement(const char *target, std::string &pattern, CleanupSlot slot)
{
    struct stat target_status {
    };
    const bool exists = stat(target, &target_status) == 0;
    if (exists && !S_ISREG(target_status.st_mode))
        return nullptr; // a directory or device is not a file to replace
    // Replacing by rename needs only the directory's permission: a file
    // this user may not write (read-only, or another user's) is refused as
    // opening it for writing would be. Root may write any file.
    if (exists && faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EPERM))
        return nullptr;
    const int fd = make_registered_file(pattern, slot);
    if (fd < 0)
        return nullptr;
    const mode_t mode = exists ? (target_status.st_mode & 07777) : (0666 & ~current_umask());
    if (exists && geteuid() == 0)
        (void)!fchown(fd, target_status.st_uid, target_status.st_gid);
    if (fchmod(fd, mode) != 0) {
        close(fd);
        platform_cleanup_on_signal(slot, nullptr);
        unlink(pattern.c_str());
        return nullptr;
    }
    return stream_of(fd, pattern, slot);
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

int platform_replace_file(const char *path, const char *target)
{
    return std::rename(path, target) == 0 ? 1 : 0;
}

void platform_sync_directory(const std::string &directory)
{
    int fd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
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

void platform_local_time(std::time_t moment, std::tm *local)
{
    localtime_r(&moment, local);
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
