// The operating-system services the rest of the program needs, behind one
// small interface: every call that knows POSIX lives in platform_posix.cpp,
// every call that knows Win32 or Windows Sockets in platform_windows.cpp,
// and the build picks one of the two. No other file includes a system
// header or asks which system it is built for; the few constants below
// that differ between the two are the only such test. Nothing here knows
// about the program's records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

// The process command line as one text: program path first, then the
// arguments joined by single blanks. An argument that is empty or holds a
// blank, tab, carriage return or line feed is enclosed in double quotes, so
// the field tokenizer gives back exactly the arguments the shell passed.
// Must be called once at the very start of main, before any other thread.
// Returns 0, or the number of the first argument that holds a double quote:
// the tokenizer would split such a text differently from the shell, so the
// caller refuses it rather than run with other arguments.
// On Windows the process has its command line as one text already
// (GetCommandLineA), quoting and all, and that text is kept exactly as it
// is: argv is not used and the result is always 0.
int platform_set_command_line(int argc, const char *const *argv);

// Sets up how the process meets signals, once at the start of main: a
// write to a closed pipe or terminal fails like any other console write
// instead of ending the process, a file grown past the size limit fails
// its write (SIGXFSZ is ignored), and an interrupt, termination, hangup,
// quit, alarm or user signal removes the files registered below before
// the process ends by it. A signal ignored when the process started
// (nohup's hangup) stays ignored. On Windows these are the console's
// control events (Ctrl+C, Ctrl+Break, the console window closed, log-off,
// shut-down).
void platform_install_signal_handlers();

// Files that a signal ending the process must not leave behind: the lock
// of a run, the temporary file of a save and the copy of standard input.
// The lock is removed only while it is still the file this process made.
enum CleanupSlot { CLEANUP_LOCK_FILE, CLEANUP_TEMP_FILE, CLEANUP_INPUT_COPY, CLEANUP_SLOT_COUNT };
// Registers path for slot (null or "" forgets it). A path longer than the
// slot holds is not registered and only misses this cleanup.
void platform_cleanup_on_signal(CleanupSlot slot, const char *path);

// Holds back (1) or lets through again (0) the signals that end the
// process, for the calling thread: around making a file and registering it
// above, so that no signal falls between the two.
void platform_hold_signals(int hold);

// The DNS lock. It is made the way Analog makes its own (a new file,
// created exclusively, mode 0600), so each sees the other's; Analog's is
// empty, tarn's says whose it is in one line of text:
//   tarn pid=123 host=web1 start=456789 boot=<boot id> pidns=4026531836 started=2026-12-09T13:00:00Z
// start is the process's start in clock ticks since boot, boot the
// kernel's boot id and pidns the inode of its PID namespace: together they
// tell a holder that still runs from a killed one whose PID was reused.
//
// Creates the lock at path with this process's line, written to the disk
// before it returns, and keeps it open to know it again later. LOCK_TAKEN,
// LOCK_EXISTS, or LOCK_FAILED with the system's reason in reason
// (capacity bytes).
enum LockResult { LOCK_TAKEN, LOCK_EXISTS, LOCK_FAILED };
LockResult platform_lock_create(const char *path, char *reason, size_t capacity);

// At most this much of a lock file is read: anyone may have made it.
inline constexpr size_t LOCK_TEXT_SIZE = 4096;

// What a lock file found at a path says, and whether its holder runs.
enum LockHolderState {
    HOLDER_UNKNOWN,    // the file names no process (empty, other text, no regular file)
    HOLDER_RUNS,       // its process runs, with the start time the lock gives
    HOLDER_UNCERTAIN,  // its process may run: this run cannot see it
    HOLDER_ELSEWHERE,  // made on another host
    HOLDER_OLD_BOOT,   // made on this host before it last started
    HOLDER_OTHER_PIDS, // made in another PID namespace (a container)
    HOLDER_GONE,       // made here, and its process no longer runs: stale
};
struct LockHolder {
    int regular = 0; // 1: a regular file, read (the text below)
    int empty = 0;   // 1: an empty file, as Analog makes
    int named = 0;   // 1: a tarn line naming its process
    LockHolderState state = HOLDER_UNKNOWN;
    long long pid = 0;
    char host[256] = "";
    char started[32] = "";     // the holder's start, UTC, as its line gives it
    char owner[64] = "";       // the file's owner: user name, or the uid
    long long age_seconds = 0; // since the file was last written
    // What a take-over compares the file with.
    uint64_t device = 0;
    uint64_t inode = 0;
    size_t text_length = 0;
    char text[LOCK_TEXT_SIZE] = "";
};
// Reads the lock at path without following a symbolic link or waiting on
// a pipe, at most LOCK_TEXT_SIZE bytes of it, and judges its holder. 1 and
// the holder, or 0 when nothing is at path.
int platform_lock_inspect(const char *path, LockHolder *holder);

// Takes over the lock at path that inspect found stale (HOLDER_GONE), so
// that of many runs doing so at once one at most ends up holding it:
// LOCK_TAKEN, LOCK_EXISTS when another program holds it now, or
// LOCK_FAILED with the system's reason. On Windows: LOCK_EXISTS always.
LockResult platform_lock_take_over(const char *path, const LockHolder &stale, char *reason, size_t capacity);

// 1 when path is still the lock this process made (the same file, with
// the same text), 0 when it was removed or replaced since.
int platform_lock_still_held(const char *path);

// Removes the lock made by platform_lock_create, if it is still ours.
enum LockRemoval { LOCK_REMOVED, LOCK_NOT_OURS, LOCK_REMOVE_FAILED };
LockRemoval platform_lock_remove(const char *path);

// Per-platform constants: where Analog looks for a lock file named without
// a directory, the lock it uses when its configuration names none, the
// directory separator of this platform's paths, the longest name of one
// directory entry, and the line end of the system's text files.
#ifdef _WIN32
// Analog's Windows builds keep their DNS files in a folder fixed when they
// are compiled (the one of analog.exe), which tarn cannot know. A bare
// lock name is therefore taken from the current directory, which is that
// folder when both programs are run from it; elsewhere the configuration
// needs an absolute DNSLOCKFILE.
inline constexpr const char *PLATFORM_LOCK_DIRECTORY = "";
inline constexpr const char *PLATFORM_DEFAULT_LOCK_FILE = "dnslock";
inline constexpr char PLATFORM_PATH_SEPARATOR = '\\';
inline constexpr size_t PLATFORM_NAME_MAX = 255;
// The line end of this system's own text files.
inline constexpr const char *PLATFORM_LINE_END = "\r\n";

// Windows takes '/' as well as '\', and the ':' of a drive ("C:x.log")
// ends the drive part as a separator ends a directory.
inline constexpr int platform_is_path_separator(char c)
{
    return c == '\\' || c == '/' || c == ':' ? 1 : 0;
}
#else
// Debian's build of Analog.
inline constexpr const char *PLATFORM_LOCK_DIRECTORY = "/var/lock/";
inline constexpr const char *PLATFORM_DEFAULT_LOCK_FILE = "/var/lock/dnslock";
inline constexpr char PLATFORM_PATH_SEPARATOR = '/';
inline constexpr size_t PLATFORM_NAME_MAX = 255;
inline constexpr const char *PLATFORM_LINE_END = "\n";

// 1 when the byte ends a directory part of a path on this platform.
inline constexpr int platform_is_path_separator(char c)
{
    return c == PLATFORM_PATH_SEPARATOR ? 1 : 0;
}
#endif

// Where the name of the first length bytes of path starts: after its last
// separator, or 0 when it has none. The bytes before it are the path's
// directory part, its separator included.
inline size_t platform_name_start(const char *path, size_t length)
{
    while (length > 0 && platform_is_path_separator(path[length - 1]) == 0)
        --length;
    return length;
}

// The text built by platform_set_command_line (empty before it runs). The
// text may be far longer than any of the program's fixed buffers; callers
// copy it with a bound and check the result.
const char *platform_command_line();

// Writes raw bytes to standard output (or standard error) and flushes
// them, so console texts and the pool's progress lines reach the terminal
// in the order written. Line ends go out as they are, on Windows too (no
// LF to CR LF), so both builds print the same bytes.
enum ConsoleStream { CONSOLE_OUTPUT, CONSOLE_ERROR };
void platform_console_write(const char *text, size_t length, ConsoleStream stream = CONSOLE_OUTPUT);
// 1 when the stream is a terminal (a console window on Windows), 0 when it
// is a file, a pipe or closed.
int platform_console_is_terminal(ConsoleStream stream);
// The stream failures, warnings and other messages go to, apart from the
// results: standard error on POSIX, where scripts keep the two apart
// (name=$(tarn /A ...) must not catch an error text as the name); standard
// output on Windows, whose console users read one stream.
ConsoleStream platform_message_stream();

// The fatal-report box. On POSIX it is one line on standard error: the
// caption, a colon, a blank and the message. On Windows it is a message
// box (MessageBoxA), which waits for a click; with the environment
// variable TARN_NO_MESSAGE_BOX set to a non-empty value it is the POSIX
// line instead, so that tests and unattended runs never wait on it.
void platform_message_box(const char *caption, const char *message);

// Milliseconds from an arbitrary fixed point, wrapping at 2^32 like the
// tick count of the original platform. Only differences are meaningful.
uint32_t platform_tick_ms();

// Sleeps at least the given number of milliseconds.
void platform_sleep_ms(int milliseconds);

// Ends the process at once with the given status after removing the files
// registered for a signal's cleanup (below) and flushing standard output.
// Static destructors do not run: worker threads may still be alive
// and must not find their shared objects torn down under them.
[[noreturn]] void platform_exit(int status);

// ---------------------------------------------------------------------------
// Sockets and the system resolver. Error codes use the Windows Sockets
// numbering on every platform, so the socket layer has one table of texts.

// Windows Sockets codes for the resolver's own failures. HOST_NOT_FOUND
// and NO_DATA are answers (the address or name has no record); TRY_AGAIN
// and NO_RECOVERY, like every system error, are failures for now.
inline constexpr int SOCKET_HOST_NOT_FOUND = 11001;
inline constexpr int SOCKET_TRY_AGAIN = 11002;
inline constexpr int SOCKET_NO_RECOVERY = 11003;
inline constexpr int SOCKET_NO_DATA = 11004;
inline constexpr int SOCKET_NAME_TOO_LONG = 10063;

// Starts the socket library asking for a version (major in the low byte);
// returns 0 and the granted version, or a socket error code.
int platform_socket_startup(uint16_t requested, uint16_t *granted);
// Stops it again: 0 on success, -1 on failure.
int platform_socket_cleanup();
// The calling thread's last socket error code.
int platform_socket_last_error();
void platform_socket_set_last_error(int code);

// Asks the system resolver for the official name and first address of an
// IPv4 address (resolve_address) or a host name (resolve_name). Reentrant:
// safe from hundreds of threads at once. On success returns 1 with the name
// in name (capacity bytes) and the first address in first_address. Returns
// 0 when nothing was found, on any resolver failure, and when the official
// name does not fit name; the thread's last socket error then tells why.
int platform_resolve_address(const uint8_t address[4], char *name, size_t capacity, uint8_t first_address[4]);
int platform_resolve_name(const char *host, char *name, size_t capacity, uint8_t first_address[4]);

// IPv6 text (any form of RFC 4291, the IPv4-mapped and embedded forms
// included) to its 16 bytes: 1, or 0 with address untouched.
int platform_parse_ipv6(const char *text, uint8_t address[16]);
// The name of an IPv6 address (of its IPv4 address when it is an
// IPv4-mapped one), as resolve_address gives it for IPv4: 1 and the name,
// or 0 with the thread's last socket error telling why.
int platform_resolve_address6(const uint8_t address[16], char *name, size_t capacity);

// Every PTR name of an address (4 bytes, or 16 for IPv6), for a name to
// confirm when the resolver's first one does not: up to count names of at
// most name_size bytes each, terminator included, into names, one after
// another. Their number, or -1 with the thread's last socket error telling
// why (0 with "no data record" when the answer holds none).
int platform_address_names(const uint8_t *address, size_t length, char *names, size_t name_size, int count);

// Whether a forward lookup of name gives address among its addresses:
// length 4 asks for the name's IPv4 addresses, 16 for its IPv6 ones. 1 when
// it does; 0 when it does not or the lookup failed, with the thread's last
// socket error telling why ("no data record" for a name whose addresses are
// all others).
int platform_name_has_address(const char *name, const uint8_t *address, size_t length);

// ---------------------------------------------------------------------------
// Files. Reading and writing go through the C library's streams; what a
// port changes is how files are opened, made, synced and replaced.

// Why a file was not opened, or may not be replaced. tarn runs as root
// among directories that other accounts can write, so a file is reached
// only through symbolic links that root or the user running tarn made
// (stricter than the kernel's protected_symlinks, which trusts a
// directory's owner too), and only a regular file is ever opened: a FIFO
// would hang the run, a device could do anything.
enum FileRefusal {
    FILE_OK,
    FILE_SYSTEM_ERROR,   // error: the system's code
    FILE_IS_DIRECTORY,   //
    FILE_NOT_REGULAR,    // a FIFO, device or socket; never opened
    FILE_UNTRUSTED_LINK, // item: the link's name on the path; owner: its owner
    FILE_HARD_LINKED,    // links: how many names the file has
    FILE_NOT_WRITABLE,   // this user may not write it
    FILE_ATTRIBUTES,     // item: what could not be kept (owner, group, mode or an attribute's name); error
    FILE_DANGLING_LINK,  // a file to be made: its name is a symbolic link to nothing
};
struct FileProblem {
    FileRefusal refusal = FILE_OK;
    int error = 0;
    unsigned long owner = 0;
    unsigned long links = 0;
    char item[PLATFORM_NAME_MAX + 1] = "";
};
// The problem as the end of a message ("it is not a regular file", ...),
// into text (capacity bytes).
void platform_describe_problem(const FileProblem &problem, char *text, size_t capacity);

// What tells one file from another, and whether it changed.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    uint64_t links = 0;
    int64_t modified_ns = 0;
};
inline bool same_file(const FileIdentity &a, const FileIdentity &b)
{
    return a.device == b.device && a.inode == b.inode;
}

// Opens the regular file path names for reading in binary mode, through
// trusted links only (each link on the path, the last name included); null
// when it cannot be opened, with why in *problem when given.
std::FILE *platform_open_for_reading(const char *path, FileProblem *problem = nullptr);
// 1 when the directory that path's last name lies in can be reached
// through trusted links only; 0 with why in *problem. For files that are
// made by name (a lock), whose own name is never followed.
int platform_directory_trusted(const char *path, FileProblem *problem);
// Makes the file path names, empty, when nothing is at its name yet: in
// the directory its last name lies in, reached through trusted links only,
// with mode 0666 less the umask. The name itself is never followed: a
// symbolic link there that leads to no file is refused, so that no file
// appears where its maker pointed it. NEW_FILE_MADE; NEW_FILE_EXISTS when
// something is at the name already (another program made it meanwhile, or
// it could not be read for another reason: opening it will tell); or
// NEW_FILE_FAILED with why in *problem (no such directory among them).
enum NewFileResult { NEW_FILE_MADE, NEW_FILE_EXISTS, NEW_FILE_FAILED };
NewFileResult platform_create_new_file(const char *path, FileProblem *problem);
// The identity of an open file; 1 on success.
int platform_file_identity(std::FILE *file, FileIdentity *identity);
// The identity of the file path names now, through trusted links; 0 when
// there is none or it cannot be reached.
int platform_path_identity(const char *path, FileIdentity *identity);

// The replacement of a whole file: a temporary file beside the target is
// written and then renamed over it. The target is found as a file to read
// is (trusted links only, each of them followed, so the links stay), and
// kept hold of by its directory: a directory or link swapped on the path
// after create() changes nothing. For root the temporary file is made
// owned by root and given the target's owner only when complete.
class FileReplacement
{
  public:
    FileReplacement();
    ~FileReplacement(); // removes a temporary file not yet renamed
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    // Creates the temporary file ".NAME<mark>XXXXXX" beside the target of
    // path and registers it in slot for removal by a signal. With
    // attributes_from null, an existing target's owner, group (also for a
    // user who is not root but belongs to it), mode, access control lists
    // and extended attributes are copied to it, and a target with more
    // than one hard link is refused; a new target gets 0666 less the
    // umask. With attributes_from, the new file takes that file's mode
    // and access control list, and for root its owner and group (a user
    // who cannot give it the group gets no group permissions): a file made
    // from others is no more readable than they are. Null with why in
    // *problem when it cannot be made or the target may not be replaced.
    std::FILE *create(const char *path, const char *mark, const char *attributes_from, CleanupSlot slot,
                      FileProblem *problem);
    // The target as it is now: 1 and its identity; 0 when there is none.
    int target_identity(FileIdentity *identity) const;
    // Opens the target as it is now for reading; null when it cannot.
    std::FILE *open_target() const;
    // Renames the (closed) temporary file over the target; 1 on success.
    // With sync, the directory is synced after it (best effort).
    int replace(int sync);
    // Removes the temporary file, if any.
    void discard();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Creates a new private file (mode 0600) from pattern (a path ending in
// "XXXXXX", which is filled in), registered in slot; null when it cannot
// be made.
std::FILE *platform_create_temporary(std::string &pattern, CleanupSlot slot);
// Writes the stream's buffer and then the file's data to the disk; 1 when
// both succeeded.
int platform_sync_file(std::FILE *file);
// The directory for temporary files ($TMPDIR, else /tmp; on Windows
// GetTempPath's), no separator after.
std::string platform_temporary_directory();
// Standard input, read as bytes.
std::FILE *platform_standard_input();
// Reads up to length bytes of standard input past its stream's buffer, for
// a first look at what comes before the stream is used: how many, fewer
// only at the end, -1 on an error.
long platform_read_standard_input(unsigned char *bytes, size_t length);
// The local time of a moment (safe from any thread).
void platform_local_time(std::time_t moment, std::tm *local);
// The moment (seconds since 1970, UTC) at which the local clock showed
// local_seconds (seconds since 1970 as the local clock counts them): the
// local time less the UTC offset in force then. In an hour the clock shows
// twice, the system picks one. local_seconds itself when the system cannot
// tell. Main thread only: it may read the time zone setting again.
int64_t platform_utc_of_local(int64_t local_seconds);

// ---------------------------------------------------------------------------
// Paths and directory listing.

// 1 when the path names its file from the root rather than from the
// current directory. On POSIX: it starts with '/'. On Windows: it starts
// with a separator (rooted, or UNC "\\server\share") or with a drive
// letter and ':' ("C:\x", and "C:x" too, whose place no directory put in
// front of it could make right).
int platform_is_absolute_path(const char *path);

// The files a log name or pattern stands for, by path. The wildcards '*',
// '?' and '[...]' may stand in any path component; a leading dot of a name
// is matched only by a dot. A name without wildcards lists itself when it
// exists (whatever it is, so that opening it can say what is wrong with
// it); a pattern lists the matching regular files, passing directories
// over, in byte order of their paths so that runs are repeatable. Each path
// begins with the pattern's own directory text. On Windows, names are
// matched without regard to (ASCII) case, as its file systems name files,
// and paths may use '\' or '/', a drive letter or a UNC share.
class DirectoryListing
{
  public:
    DirectoryListing();
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing &) = delete;
    DirectoryListing &operator=(const DirectoryListing &) = delete;

    // 1 when at least one name matches; 0 when nothing matches or the
    // directory cannot be read.
    int open(const char *pattern);
    // The next path, or null after the last. Valid until the next call.
    const char *next();

  private:
    struct Names;
    std::unique_ptr<Names> names_;
};

// ---------------------------------------------------------------------------
// Threads.

// Runs body(argument) at once on a detached thread of its own: a new one,
// or one that has finished an earlier body and waits for the next (thread
// starts are costly next to a short lookup). A body must therefore not
// count on fresh thread-local state. Returns 0, or the system's error code
// when a new thread was needed and cannot be started.
int platform_start_thread(void (*body)(void *), void *argument);

// Starts threads ahead of need, from a thread of its own, until count of
// them (at most 1024) have been started this way since the last release;
// they park as finished threads do and platform_start_thread takes them.
// Asking again with a larger count raises the number. For a caller that
// knows work is coming: the costly starts then overlap its own work.
void platform_prepare_threads(int count);

// Ends every parked thread now: for a caller whose work did not come after
// all (threads made ahead of need would otherwise wait for it). Later
// starts work as before.
void platform_release_threads();

// How many threads wait parked for a body now.
int platform_parked_threads();
