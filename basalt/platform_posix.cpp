// POSIX implementation of the platform layer.
#include "platform.h"
#include "platform_common.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <glob.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <new>
#include <pthread.h>
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

void remove_registered_files()
{
    for (CleanupPath &entry : g_cleanup) {
        if (entry.set.load())
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
    struct sigaction action {
    };
    action.sa_handler = remove_files_and_end;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal_number, &action, nullptr);
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
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, signal_number);
    pthread_sigmask(hold != 0 ? SIG_BLOCK : SIG_UNBLOCK, &ending, nullptr);
}

LockResult platform_lock_create(const char *path, char *reason, size_t capacity)
{
    // Created and registered as one step, so a signal never finds the lock
    // made but not yet known to its handler.
    platform_hold_signals(1);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) {
        close(fd);
        platform_cleanup_on_signal(CLEANUP_LOCK_FILE, path);
    }
    platform_hold_signals(0);
    if (fd >= 0)
        return LOCK_TAKEN;
    if (capacity > 0)
        std::snprintf(reason, capacity, "%s", std::strerror(error));
    return error == EEXIST ? LOCK_EXISTS : LOCK_FAILED;
}

int platform_lock_remove(const char *path)
{
    platform_hold_signals(1);
    const int removed = unlink(path) == 0 ? 1 : 0;
    platform_cleanup_on_signal(CLEANUP_LOCK_FILE, nullptr);
    platform_hold_signals(0);
    return removed;
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
