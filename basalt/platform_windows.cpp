// Windows implementation of the platform layer: Win32, the C run-time
// library and Windows Sockets.
#include "platform.h"
#include "platform_common.h"
#include "platform_ipv6.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// After the socket headers, which must come before windows.h.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <io.h>
#include <memory>
#include <mutex>
#include <new>
#include <process.h>
#include <string>
#include <vector>

namespace
{

std::string g_command_line;

// The C library's standard streams start in text mode, which writes LF as
// CR LF and reads CR LF as LF. The program's output and its logs on
// standard input are bytes, exactly as on POSIX. Done once at start-up;
// console writes set it again for their stream.
void binary_standard_streams()
{
    static const bool done = [] {
        _setmode(_fileno(stdin), _O_BINARY);
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        return true;
    }();
    (void)done;
}

// The system's text for an error code, without the line end and final
// full stop that Windows puts after it, so that it reads inside a message.
void system_error_text(DWORD error, char *text, size_t capacity)
{
    if (capacity == 0)
        return;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, static_cast<DWORD>(std::min<size_t>(capacity, 65535)), nullptr);
    size_t end = length;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ' || text[end - 1] == '.'))
        --end;
    if (length == 0 || end == 0)
        std::snprintf(text, capacity, "Windows error %lu", static_cast<unsigned long>(error));
    else
        text[end] = '\0';
}

} // namespace

int platform_set_command_line(int argc, const char *const *argv)
{
    (void)argc;
    (void)argv;
    binary_standard_streams();
    const char *text = GetCommandLineA();
    g_command_line = text != nullptr ? text : "";
    return 0;
}

const char *platform_command_line()
{
    return g_command_line.c_str();
}

// ---------------------------------------------------------------------------
// Console control events: the Windows signals.

namespace
{

// Room for one registered path; the ANSI file functions take far less.
constexpr size_t CLEANUP_PATH_SIZE = 1024;

// Written by the main thread, read by the control handler: the path is
// written before its flag is set, and the flag cleared before it changes.
struct CleanupPath {
    char path[CLEANUP_PATH_SIZE];
    std::atomic<bool> set;
};
CleanupPath g_cleanup[CLEANUP_SLOT_COUNT];

// The control handler runs on a thread of its own that the system starts;
// "holding the signals" is holding this lock, which the handler takes too.
SRWLOCK g_signal_lock = SRWLOCK_INIT;

int lock_is_ours(const char *path);

// A lock replaced by another program's is that program's: it stays.
void remove_registered_files()
{
    for (int slot = 0; slot < CLEANUP_SLOT_COUNT; ++slot) {
        CleanupPath &entry = g_cleanup[slot];
        if (entry.set.load() && (slot != CLEANUP_LOCK_FILE || lock_is_ours(entry.path) == 1))
            DeleteFileA(entry.path);
    }
}

BOOL WINAPI remove_files_and_end(DWORD event)
{
    (void)event;
    AcquireSRWLockExclusive(&g_signal_lock);
    remove_registered_files();
    ReleaseSRWLockExclusive(&g_signal_lock);
    // Not handled: the system's own handler ends the process as it would
    // have without this one.
    return FALSE;
}

} // namespace

void platform_install_signal_handlers()
{
    binary_standard_streams();
    // A drive without a medium fails like any other missing file instead
    // of asking the user with a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    SetConsoleCtrlHandler(remove_files_and_end, TRUE);
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
    if (hold != 0)
        AcquireSRWLockExclusive(&g_signal_lock);
    else
        ReleaseSRWLockExclusive(&g_signal_lock);
}

// ---------------------------------------------------------------------------
// The DNS lock.

namespace
{

std::string unique_part();

// What this process wrote into the lock it holds, and the file's identity.
struct OwnLock {
    char text[LOCK_TEXT_SIZE];
    size_t length;
    uint64_t volume;
    uint64_t index;
};
OwnLock g_own_lock;

uint64_t file_time_value(const FILETIME &time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// FILETIME counts 100 ns from 1601; time_t seconds from 1970.
std::time_t file_time_seconds(uint64_t value)
{
    return static_cast<std::time_t>(static_cast<long long>(value / 10'000'000ULL) - 11'644'473'600LL);
}

// The creation time of a process, or 0 when it cannot be read.
uint64_t process_creation(HANDLE process)
{
    FILETIME created{}, ended{}, kernel{}, user{};
    return GetProcessTimes(process, &created, &ended, &kernel, &user) != 0 ? file_time_value(created) : 0;
}

const LockLine &own_lock_line()
{
    static const LockLine line = [] {
        LockLine own;
        own.pid = static_cast<long long>(GetCurrentProcessId());
        DWORD size = sizeof own.host;
        if (GetComputerNameA(own.host, &size) == 0)
            own.host[0] = '\0';
        own.start = process_creation(GetCurrentProcess());
        const std::time_t started = own.start != 0 ? file_time_seconds(own.start) : std::time(nullptr);
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

// Reads at most LOCK_TEXT_SIZE - 1 bytes of the file at path, and its
// identity and age; 1 when it could be opened and read.
int read_lock_file(const char *path, LockHolder *holder)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION information{};
    DWORD got = 0;
    const int read = GetFileInformationByHandle(file, &information) != 0 &&
                     (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                     ReadFile(file, holder->text, static_cast<DWORD>(LOCK_TEXT_SIZE - 1), &got, nullptr) != 0;
    CloseHandle(file);
    holder->text_length = read == 1 ? got : 0;
    holder->text[holder->text_length] = '\0';
    holder->device = information.dwVolumeSerialNumber;
    holder->inode = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const long long age = static_cast<long long>(file_time_value(now) / 10'000'000ULL) -
                          static_cast<long long>(file_time_value(information.ftLastWriteTime) / 10'000'000ULL);
    holder->age_seconds = age > 0 ? age : 0;
    return read;
}

LockHolderState judge_holder(const LockLine &theirs)
{
    if (std::strcmp(theirs.host, own_lock_line().host) != 0)
        return HOLDER_ELSEWHERE;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(theirs.pid));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER ? HOLDER_GONE : HOLDER_UNCERTAIN;
    DWORD code = 0;
    const bool active = GetExitCodeProcess(process, &code) != 0 && code == STILL_ACTIVE;
    const uint64_t created = process_creation(process);
    CloseHandle(process);
    if (!active)
        return HOLDER_GONE;
    // A process of the same number made at another time reused it.
    return created == 0 ? HOLDER_UNCERTAIN : created == theirs.start ? HOLDER_RUNS : HOLDER_GONE;
}

int lock_is_ours(const char *path)
{
    if (g_own_lock.length == 0)
        return 0;
    LockHolder now;
    return read_lock_file(path, &now) == 1 && now.device == g_own_lock.volume && now.inode == g_own_lock.index &&
                   now.text_length == g_own_lock.length && std::memcmp(now.text, g_own_lock.text, now.text_length) == 0
               ? 1
               : 0;
}

// Creates the lock with this process's line, with the control events held.
LockResult create_lock(const char *path, char *reason, size_t capacity)
{
    // The line first: the empty file a kill could leave between making
    // and writing it would look like Analog's lock.
    g_own_lock.length = lock_line_format(own_lock_line(), g_own_lock.text, sizeof g_own_lock.text);
    HANDLE lock = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (lock != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        BY_HANDLE_FILE_INFORMATION information{};
        const bool ok =
            WriteFile(lock, g_own_lock.text, static_cast<DWORD>(g_own_lock.length), &written, nullptr) != 0 &&
            written == g_own_lock.length && FlushFileBuffers(lock) != 0 &&
            GetFileInformationByHandle(lock, &information) != 0;
        error = GetLastError();
        CloseHandle(lock);
        g_own_lock.volume = information.dwVolumeSerialNumber;
        g_own_lock.index = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        if (ok) {
            platform_cleanup_on_signal(CLEANUP_LOCK_FILE, path);
            return LOCK_TAKEN;
        }
        g_own_lock.length = 0;
        DeleteFileA(path);
    }
    system_error_text(error, reason, capacity);
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? LOCK_EXISTS : LOCK_FAILED;
}

// As on POSIX: moved aside under a new name (a move that never replaces),
// checked, removed and made anew exclusively; a file that is not the one
// judged goes back only where no lock was made again meanwhile.
LockResult take_over(const char *path, const LockHolder &stale, char *reason, size_t capacity)
{
    const std::string aside = std::string(path) + ".tarn-stale-" + unique_part();
    if (MoveFileExA(path, aside.c_str(), 0) == 0) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return create_lock(path, reason, capacity);
        system_error_text(error, reason, capacity);
        return LOCK_FAILED;
    }
    LockHolder moved;
    if (read_lock_file(aside.c_str(), &moved) == 0 || moved.device != stale.device || moved.inode != stale.inode ||
        moved.text_length != stale.text_length || std::memcmp(moved.text, stale.text, moved.text_length) != 0) {
        if (MoveFileExA(aside.c_str(), path, 0) == 0)
            DeleteFileA(aside.c_str());
        return LOCK_EXISTS;
    }
    DeleteFileA(aside.c_str());
    return create_lock(path, reason, capacity);
}

} // namespace

LockResult platform_lock_create(const char *path, char *reason, size_t capacity)
{
    // Created and registered as one step, so a control event never finds
    // the lock made but not yet known to its handler.
    platform_hold_signals(1);
    const LockResult result = create_lock(path, reason, capacity);
    platform_hold_signals(0);
    return result;
}

int platform_lock_inspect(const char *path, LockHolder *holder)
{
    *holder = LockHolder{};
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)
        return 0;
    holder->regular = read_lock_file(path, holder);
    // Who owns a file takes the security API; the name is left unknown.
    std::snprintf(holder->owner, sizeof holder->owner, "%s", "an unknown user");
    lock_holder_read_text(holder, judge_holder);
    return 1;
}

LockResult platform_lock_take_over(const char *path, const LockHolder &stale, char *reason, size_t capacity)
{
    platform_hold_signals(1);
    const LockResult result = take_over(path, stale, reason, capacity);
    platform_hold_signals(0);
    return result;
}

int platform_lock_still_held(const char *path)
{
    return lock_is_ours(path);
}

LockRemoval platform_lock_remove(const char *path)
{
    platform_hold_signals(1);
    LockRemoval result = LOCK_NOT_OURS;
    if (lock_is_ours(path) == 1)
        result = DeleteFileA(path) != 0 ? LOCK_REMOVED : LOCK_REMOVE_FAILED;
    platform_cleanup_on_signal(CLEANUP_LOCK_FILE, nullptr);
    g_own_lock.length = 0;
    platform_hold_signals(0);
    return result;
}

// ---------------------------------------------------------------------------
// Console, clock and process.

void platform_console_write(const char *text, size_t length, ConsoleStream stream)
{
    std::FILE *file = stream == CONSOLE_ERROR ? stderr : stdout;
    // Again at every write: whoever redirected the stream since (a test
    // capturing it, say) may have put it back in text mode.
    _setmode(_fileno(file), _O_BINARY);
    std::fwrite(text, 1, length, file);
    std::fflush(file);
}

int platform_console_is_terminal(ConsoleStream stream)
{
    return _isatty(_fileno(stream == CONSOLE_ERROR ? stderr : stdout)) != 0 ? 1 : 0;
}

ConsoleStream platform_message_stream()
{
    return CONSOLE_OUTPUT;
}

void platform_message_box(const char *caption, const char *message)
{
    const char *no_box = std::getenv("TARN_NO_MESSAGE_BOX");
    if (no_box == nullptr || no_box[0] == '\0') {
        MessageBoxA(nullptr, message, caption, MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
        return;
    }
    _setmode(_fileno(stderr), _O_BINARY);
    const size_t length = std::strlen(message);
    const char *line_end = (length > 0 && message[length - 1] == '\n') ? "" : "\n";
    std::fprintf(stderr, "%s: %s%s", caption, message, line_end);
    std::fflush(stderr);
}

uint32_t platform_tick_ms()
{
    return GetTickCount();
}

void platform_sleep_ms(int milliseconds)
{
    if (milliseconds <= 0)
        return;
    // At least that long on the tick count too: it moves in steps of 10 to
    // 16 ms, and a sleep may end just before the step that completes it.
    const DWORD start = GetTickCount();
    Sleep(static_cast<DWORD>(milliseconds));
    while (GetTickCount() - start < static_cast<DWORD>(milliseconds))
        Sleep(1);
}

void platform_exit(int status)
{
    // The fatal reports end here: a lock or a temporary file left behind
    // would stop every later run, or litter the cache's directory.
    remove_registered_files();
    std::fflush(stdout);
    std::fflush(stderr);
    // At once: ExitProcess would first run the libraries' detach code,
    // which may wait for a lock that a worker thread in the middle of a
    // lookup holds.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    std::_Exit(status);
}

// ---------------------------------------------------------------------------
// Sockets and the resolver. Windows Sockets numbers its errors as the
// socket layer expects, and keeps the last one per thread itself.

namespace
{

// Copies the official name and first IPv4 address out of a host record,
// which Windows Sockets keeps per thread until the thread's next call.
int copy_host(const hostent *host, char *name, size_t capacity, uint8_t first_address[4])
{
    if (host->h_name == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr) {
        WSASetLastError(WSANO_DATA);
        return 0;
    }
    const size_t length = std::strlen(host->h_name);
    if (length >= capacity) {
        WSASetLastError(WSAENAMETOOLONG); // a cut name would be a wrong name
        return 0;
    }
    std::memcpy(name, host->h_name, length + 1);
    std::memcpy(first_address, host->h_addr_list[0], 4);
    WSASetLastError(0);
    return 1;
}

int copy_name(const char *found, char *name, size_t capacity)
{
    const size_t length = std::strlen(found);
    if (length >= capacity) {
        WSASetLastError(WSAENAMETOOLONG);
        return 0;
    }
    std::memcpy(name, found, length + 1);
    return 1;
}

// A failed call of the resolver that did not say why still fails.
int failed_lookup()
{
    if (WSAGetLastError() == 0)
        WSASetLastError(WSANO_RECOVERY);
    return 0;
}

constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Whether one address of a getaddrinfo answer is the one asked about.
bool same_address(const addrinfo *entry, const uint8_t *address, size_t length)
{
    if (entry->ai_family == AF_INET && length == 4) {
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
        return std::memcmp(&ipv4->sin_addr, address, 4) == 0;
    }
    if (entry->ai_family == AF_INET6 && length == 16) {
        const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(entry->ai_addr);
        return std::memcmp(&ipv6->sin6_addr, address, 16) == 0;
    }
    return false;
}

} // namespace

int platform_socket_startup(uint16_t requested, uint16_t *granted)
{
    WSADATA data{};
    const int error = WSAStartup(requested, &data);
    if (error != 0)
        return error;
    *granted = data.wVersion;
    return 0;
}

int platform_socket_cleanup()
{
    return WSACleanup() == 0 ? 0 : -1;
}

int platform_socket_last_error()
{
    return WSAGetLastError();
}

void platform_socket_set_last_error(int code)
{
    WSASetLastError(code);
}

int platform_parse_ipv6(const char *text, uint8_t address[16])
{
    // Not the system's inet_pton, which takes texts the POSIX build's does
    // not: a log must give the same clients on both.
    return parse_ipv6_text(text, address);
}

int platform_resolve_address6(const uint8_t address[16], char *name, size_t capacity)
{
    // An IPv4-mapped address is asked for by its IPv4 address: not every
    // Windows resolver does that by itself.
    sockaddr_storage storage{};
    int size = 0;
    if (std::memcmp(address, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
        auto *ipv4 = reinterpret_cast<sockaddr_in *>(&storage);
        ipv4->sin_family = AF_INET;
        std::memcpy(&ipv4->sin_addr, address + 12, 4);
        size = sizeof *ipv4;
    } else {
        auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        ipv6->sin6_family = AF_INET6;
        std::memcpy(&ipv6->sin6_addr, address, 16);
        size = sizeof *ipv6;
    }
    char host[NI_MAXHOST];
    const int error =
        getnameinfo(reinterpret_cast<const sockaddr *>(&storage), size, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    if (error != 0) {
        WSASetLastError(error);
        return 0;
    }
    return copy_name(host, name, capacity);
}

int platform_resolve_address(const uint8_t address[4], char *name, size_t capacity, uint8_t first_address[4])
{
    WSASetLastError(0);
    const hostent *host = gethostbyaddr(reinterpret_cast<const char *>(address), 4, AF_INET);
    return host == nullptr ? failed_lookup() : copy_host(host, name, capacity, first_address);
}

int platform_resolve_name(const char *host_name, char *name, size_t capacity, uint8_t first_address[4])
{
    WSASetLastError(0);
    const hostent *host = gethostbyname(host_name);
    return host == nullptr ? failed_lookup() : copy_host(host, name, capacity, first_address);
}

int platform_address_names(const uint8_t *address, size_t length, char *names, size_t name_size, int count)
{
    // Windows Sockets gives an address's other PTR names as the host
    // record's aliases.
    WSASetLastError(0);
    const hostent *host = gethostbyaddr(reinterpret_cast<const char *>(address), static_cast<int>(length),
                                        length == 4 ? AF_INET : AF_INET6);
    if (host == nullptr || host->h_name == nullptr) {
        failed_lookup();
        return -1;
    }
    int found = 0;
    auto add = [&](const char *name) {
        if (found < count && std::strlen(name) < name_size)
            std::memcpy(names + static_cast<size_t>(found++) * name_size, name, std::strlen(name) + 1);
    };
    add(host->h_name);
    for (char **alias = host->h_aliases; alias != nullptr && *alias != nullptr; ++alias)
        add(*alias);
    return found;
}

int platform_name_has_address(const char *name, const uint8_t *address, size_t length)
{
    addrinfo hints{};
    hints.ai_family = length == 4 ? AF_INET : AF_INET6;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
    addrinfo *found = nullptr;
    const int error = getaddrinfo(name, nullptr, &hints, &found);
    if (error != 0) {
        WSASetLastError(error);
        return 0;
    }
    int confirmed = 0;
    for (const addrinfo *entry = found; entry != nullptr && confirmed == 0; entry = entry->ai_next)
        confirmed = same_address(entry, address, length) ? 1 : 0;
    freeaddrinfo(found);
    WSASetLastError(confirmed == 1 ? 0 : WSANO_DATA);
    return confirmed;
}

// ---------------------------------------------------------------------------
// Files.

namespace
{

// The six characters that stand for "XXXXXX" in a temporary name: lower
// case and digits, as the file system does not tell the cases apart.
std::string unique_part()
{
    static std::atomic<uint32_t> counter{0};
    uint64_t value = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount() ^
                     (static_cast<uint64_t>(counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ULL);
    value ^= value >> 29;
    value *= 0xBF58476D1CE4E5B9ULL;
    value ^= value >> 32;
    static constexpr char DIGITS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string part(6, 'x');
    for (char &c : part) {
        c = DIGITS[value % 36];
        value /= 36;
    }
    return part;
}

// Names tried before giving up on a pattern: a clash is rare, and every
// name after it is new.
constexpr int NAME_ATTEMPTS = 100;

// Creates a new file from pattern ("...XXXXXX") with the control events
// held back until it is registered in slot. Open for writing; others may
// read it, and delete it, so that the control handler can remove it while
// it is still open.
HANDLE make_registered_file(std::string &pattern, CleanupSlot slot)
{
    const size_t stem = pattern.size() >= 6 ? pattern.size() - 6 : pattern.size();
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        const std::string name = pattern.substr(0, stem) + unique_part();
        platform_hold_signals(1);
        HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE)
            platform_cleanup_on_signal(slot, name.c_str());
        platform_hold_signals(0);
        if (file != INVALID_HANDLE_VALUE) {
            pattern = name;
            return file;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    return INVALID_HANDLE_VALUE;
}

// The C library's stream over a new file's handle, in binary mode.
std::FILE *stream_of(HANDLE handle, const std::string &path, CleanupSlot slot)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    std::FILE *file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0)
            _close(fd);
        else
            CloseHandle(handle);
        platform_cleanup_on_signal(slot, nullptr);
        DeleteFileA(path.c_str());
    }
    return file;
}

// Whether this user may write an existing file: what opening it for
// writing says. A file that another program holds open only counts as
// busy, not as refused; the replacement itself will tell.
bool may_write(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_ACCESS_DENIED;
    CloseHandle(file);
    return true;
}

} // namespace

namespace
{

bool failed(FileProblem *problem, FileRefusal refusal, int error = 0)
{
    if (problem != nullptr) {
        problem->refusal = refusal;
        problem->error = error;
    }
    return false;
}

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION &information)
{
    FileIdentity identity;
    identity.device = information.dwVolumeSerialNumber;
    identity.inode = (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity.size = (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    identity.links = information.nNumberOfLinks;
    identity.modified_ns =
        static_cast<int64_t>(((static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
                              information.ftLastWriteTime.dwLowDateTime) *
                             100);
    return identity;
}

int handle_identity(HANDLE handle, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information) == 0)
        return 0;
    *identity = identity_of(information);
    return 1;
}

} // namespace

void platform_describe_problem(const FileProblem &problem, char *text, size_t capacity)
{
    switch (problem.refusal) {
    case FILE_OK: std::snprintf(text, capacity, "no problem"); return;
    case FILE_SYSTEM_ERROR: std::snprintf(text, capacity, "system error %d", problem.error); return;
    case FILE_IS_DIRECTORY: std::snprintf(text, capacity, "it is a directory"); return;
    case FILE_NOT_REGULAR: std::snprintf(text, capacity, "it is not a regular file"); return;
    case FILE_UNTRUSTED_LINK: std::snprintf(text, capacity, "a link on its path is not trusted"); return;
    case FILE_HARD_LINKED:
        std::snprintf(text, capacity, "it has %lu hard links, and replacing it would split them", problem.links);
        return;
    case FILE_NOT_WRITABLE: std::snprintf(text, capacity, "this user may not write it"); return;
    case FILE_ATTRIBUTES: std::snprintf(text, capacity, "its %s cannot be given to the new file", problem.item); return;
    case FILE_DANGLING_LINK:
        std::snprintf(text, capacity, "'%s' is a link to a file that does not exist", problem.item);
        return;
    }
}

std::FILE *platform_open_for_reading(const char *path, FileProblem *problem)
{
    // Others may write, rename or delete the file while it is read, as on
    // POSIX: a log rotated meanwhile, or the copy of standard input that
    // the control handler removes. A directory cannot be opened this way.
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesA(path);
        const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        failed(problem, directory ? FILE_IS_DIRECTORY : FILE_SYSTEM_ERROR, static_cast<int>(GetLastError()));
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle); // a pipe, console or device
        failed(problem, FILE_NOT_REGULAR);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        failed(problem, FILE_SYSTEM_ERROR, EMFILE);
        return nullptr;
    }
    std::FILE *file = _fdopen(fd, "rb");
    if (file == nullptr)
        _close(fd);
    return file;
}

int platform_directory_trusted(const char *path, FileProblem *problem)
{
    (void)path; // links are rare on Windows: see FileReplacement
    (void)problem;
    return 1;
}

NewFileResult platform_create_new_file(const char *path, FileProblem *problem)
{
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return NEW_FILE_MADE;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
        return NEW_FILE_EXISTS;
    failed(problem, FILE_SYSTEM_ERROR, static_cast<int>(error));
    return NEW_FILE_FAILED;
}

int platform_file_identity(std::FILE *file, FileIdentity *identity)
{
    const intptr_t handle = _get_osfhandle(_fileno(file));
    return handle != -1 && handle_identity(reinterpret_cast<HANDLE>(handle), identity) == 1 ? 1 : 0;
}

int platform_path_identity(const char *path, FileIdentity *identity)
{
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    const int found = handle_identity(handle, identity);
    CloseHandle(handle);
    return found;
}

// Symbolic links are rare on Windows (making one takes a privilege most
// users lack): the path is replaced as it stands. The new file gets the
// permissions its directory gives new files, which the target had too
// unless someone changed them.
struct FileReplacement::State {
    std::string target;
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
        DeleteFileA(state_->temporary.c_str());
    }
    state_.reset();
}

namespace
{

// A directory is not a file to replace; a read-only file, or one this
// user may not write, is refused as opening it would be.
bool check_target(const char *target, bool keep, FileProblem *problem)
{
    const DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return failed(problem, FILE_IS_DIRECTORY);
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return failed(problem, FILE_NOT_REGULAR);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 || !may_write(target))
        return failed(problem, FILE_NOT_WRITABLE);
    FileIdentity identity;
    if (keep && platform_path_identity(target, &identity) == 1 && identity.links > 1) {
        if (problem != nullptr)
            problem->links = static_cast<unsigned long>(identity.links);
        return failed(problem, FILE_HARD_LINKED);
    }
    return true;
}

} // namespace

std::FILE *FileReplacement::create(const char *path, const char *mark, const char *attributes_from, CleanupSlot slot,
                                   FileProblem *problem)
{
    discard();
    if (!check_target(path, attributes_from == nullptr, problem))
        return nullptr;
    state_ = std::make_unique<State>();
    state_->slot = slot;
    state_->target = path;
    const size_t start = platform_name_start(state_->target.c_str(), state_->target.size());
    std::string pattern = state_->target.substr(0, start) + platform_temporary_name(state_->target.substr(start), mark);
    HANDLE file = make_registered_file(pattern, slot);
    if (file == INVALID_HANDLE_VALUE) {
        failed(problem, FILE_SYSTEM_ERROR, static_cast<int>(GetLastError()));
        state_.reset();
        return nullptr;
    }
    state_->temporary = pattern;
    state_->created = true;
    std::FILE *stream = stream_of(file, pattern, slot);
    if (stream == nullptr) {
        state_->created = false;
        failed(problem, FILE_SYSTEM_ERROR, EMFILE);
    }
    return stream;
}

int FileReplacement::target_identity(FileIdentity *identity) const
{
    return state_ ? platform_path_identity(state_->target.c_str(), identity) : 0;
}

std::FILE *FileReplacement::open_target() const
{
    return state_ ? platform_open_for_reading(state_->target.c_str()) : nullptr;
}

int FileReplacement::replace(int sync)
{
    (void)sync; // the write-through move is on the disk when it returns
    if (!state_ || !state_->created)
        return 0;
    if (MoveFileExA(state_->temporary.c_str(), state_->target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0)
        return 0;
    state_->created = false;
    platform_cleanup_on_signal(state_->slot, nullptr);
    return 1;
}

std::FILE *platform_create_temporary(std::string &pattern, CleanupSlot slot)
{
    HANDLE file = make_registered_file(pattern, slot);
    return file == INVALID_HANDLE_VALUE ? nullptr : stream_of(file, pattern, slot);
}

int platform_sync_file(std::FILE *file)
{
    if (std::fflush(file) != 0)
        return 0;
    const intptr_t handle = _get_osfhandle(_fileno(file));
    return handle != -1 && FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0 ? 1 : 0;
}

std::string platform_temporary_directory()
{
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof path, path);
    std::string directory = length > 0 && length < sizeof path ? std::string(path, length) : std::string(".");
    while (directory.size() > 1 && (directory.back() == '\\' || directory.back() == '/'))
        directory.pop_back();
    return directory;
}

std::FILE *platform_standard_input()
{
    binary_standard_streams();
    return stdin;
}

long platform_read_standard_input(unsigned char *bytes, size_t length)
{
    binary_standard_streams();
    size_t got = 0;
    while (got < length) {
        const int n = _read(_fileno(stdin), bytes + got, static_cast<unsigned>(length - got));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

void platform_local_time(std::time_t moment, std::tm *local)
{
    localtime_s(local, &moment);
}

int platform_utc_time(std::time_t moment, std::tm *utc)
{
    return gmtime_s(utc, &moment) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Paths and directory listing.

int platform_is_absolute_path(const char *path)
{
    if (path[0] == '\\' || path[0] == '/')
        return 1;
    const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    return letter && path[1] == ':' ? 1 : 0;
}

namespace
{

bool has_wildcard(const std::string &text)
{
    return text.find_first_of("*?[") != std::string::npos;
}

// One component of a pattern and the separator text after it ("" for the
// last; "\\" or "/" or ":" as the pattern wrote it).
struct Component {
    std::string name;
    std::string separator;
};

std::vector<Component> split_components(const std::string &pattern, size_t from)
{
    std::vector<Component> components;
    size_t i = from;
    while (i < pattern.size()) {
        Component component;
        while (i < pattern.size() && platform_is_path_separator(pattern[i]) == 0)
            component.name += pattern[i++];
        while (i < pattern.size() && platform_is_path_separator(pattern[i]) == 1)
            component.separator += pattern[i++];
        components.push_back(component);
    }
    return components;
}

// Lists a directory (prefix is its path with the separator after it, or
// "" for the current one) and calls take for every entry but "." and "..".
template <class Take> void each_entry(const std::string &prefix, Take take)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((prefix + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0)
            take(entry.cFileName, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (FindNextFileA(search, &entry) != 0);
    FindClose(search);
}

bool is_regular_file(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_directory(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Expands the components from index on below prefix: the matching regular
// files of the last component, through the matching directories of the
// others, each path as prefix plus the names and the pattern's separators.
void expand(const std::string &prefix, const std::vector<Component> &components, size_t index,
            std::vector<std::string> &paths)
{
    const Component &component = components[index];
    const bool last = index + 1 == components.size();
    if (!has_wildcard(component.name)) {
        const std::string path = prefix + component.name;
        if (last && is_regular_file(path))
            paths.push_back(path);
        else if (!last && is_directory(path))
            expand(path + component.separator, components, index + 1, paths);
        return;
    }
    each_entry(prefix, [&](const char *name, bool directory) {
        if (!platform_name_matches(component.name.c_str(), name, true))
            return;
        if (last && !directory)
            paths.push_back(prefix + name);
        else if (!last && directory)
            expand(prefix + name + component.separator, components, index + 1, paths);
    });
}

bool is_slash(char c)
{
    return c == '\\' || c == '/';
}

// The part of a pattern that names its root and is never expanded: a drive
// ("C:"), the separators after it and, for a UNC path, the server and
// share ("\\server\share\").
size_t root_length(const std::string &pattern)
{
    size_t i = 0;
    if (pattern.size() >= 2 && pattern[1] == ':' && platform_is_absolute_path(pattern.c_str()) == 1)
        i = 2;
    const size_t separators_from = i;
    while (i < pattern.size() && is_slash(pattern[i]))
        ++i;
    if (separators_from > 0 || i < 2)
        return i;
    for (int part = 0; part < 2; ++part) {
        while (i < pattern.size() && !is_slash(pattern[i]))
            ++i;
        while (i < pattern.size() && is_slash(pattern[i]))
            ++i;
    }
    return i;
}

} // namespace

int DirectoryListing::open(const char *pattern)
{
    names_->paths.clear();
    names_->position = 0;
    const std::string text = pattern;
    if (!has_wildcard(text)) {
        if (GetFileAttributesA(pattern) == INVALID_FILE_ATTRIBUTES)
            return 0;
        names_->paths.push_back(text);
        return 1;
    }
    // Windows's own wildcards know neither '[...]' nor the rule for a
    // leading dot, and match names of eight and three characters that no
    // user sees: each directory is listed whole and matched here.
    const size_t root = root_length(text);
    const std::vector<Component> components = split_components(text, root);
    if (!components.empty())
        expand(text.substr(0, root), components, 0, names_->paths);
    // Byte order, whatever the locale's collation.
    std::sort(names_->paths.begin(), names_->paths.end());
    return names_->paths.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Threads: the start of a new one (platform_common.cpp recycles them).

namespace
{

// Address space reserved for each thread's stack. A body is one lookup,
// which needs far less than the default megabyte, and 500 threads of a
// 32-bit process would otherwise reserve a quarter of its address space.
constexpr unsigned THREAD_STACK_RESERVE = 256 * 1024;

unsigned __stdcall thread_entry(void *raw)
{
    platform_run_thread(static_cast<ThreadStart *>(raw));
    return 0;
}

} // namespace

int platform_new_thread(ThreadStart *start)
{
    errno = 0;
    const uintptr_t thread =
        _beginthreadex(nullptr, THREAD_STACK_RESERVE, thread_entry, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0)
        return errno != 0 ? errno : EAGAIN;
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return 0;
}
