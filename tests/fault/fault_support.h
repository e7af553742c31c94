// Helpers of the fault-injection tests: running the built program with a
// time limit, a wrapper (another user, a lowered limit) and its resource
// use; mounts that undo themselves; and a strict reader of the cache file.
//
// Everything here that mounts, drops privileges or resolves runs only inside
// netns-run's private network and mount namespace (see require_namespace).
#pragma once

#include "test_support.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// The unprivileged user of the permission and thread-limit cases.
inline constexpr unsigned NOBODY = 65534;

// Empty when this process runs inside the private namespace that netns-run
// made, with the zone the test needs (TARN_FAULT_ZONE, set by ctest);
// otherwise why the test must skip. Checking the namespaces themselves, not
// only the variable, keeps mounts and lookups off the real machine even if
// someone sets TARN_DNS_SERVER by hand.
std::string namespace_problem(const std::string &zone);

#define REQUIRE_FAULT_NAMESPACE(zone)                                                                                  \
    do {                                                                                                               \
        const std::string problem_ = namespace_problem(zone);                                                          \
        if (!problem_.empty())                                                                                         \
            GTEST_SKIP() << problem_;                                                                                  \
    } while (0)

// One run of tarn (or of program): the wrappers that make its user,
// limits and environment are put together by run_tarn.
struct Launch {
    std::vector<std::string> arguments;   // after the program path
    std::string directory;                // working directory
    double timeout_seconds = 120;         // then it counts as hung and is killed
    bool as_nobody = false;               // as NOBODY without any group (setpriv)
    std::string nobody_groups;            // as_nobody with these supplementary groups ("4,5")
    int task_limit = 0;                   // > 0: RLIMIT_NPROC, which counts the user's threads (prlimit)
    long long address_space_limit = 0;    // > 0: RLIMIT_AS in bytes (prlimit)
    long long file_size_limit = 0;        // > 0: RLIMIT_FSIZE in bytes (prlimit)
    std::vector<std::string> environment; // NAME=value added to the environment (env)
    double kill_after_seconds = -1;       // kill_signal this long after the start (< 0: never)
    int kill_signal = 9;                  // SIGKILL
    bool keep_output = true;              // false: output goes to /dev/null
    // Measure tarn's peak memory through /usr/bin/time: a child forked from
    // this (large) test process would count the parent's pages it shares
    // as its own until it execs, and the peak survives the exec.
    bool measure_memory = false;
    std::string program = TARN_BINARY; // what the wrappers run in the end
};

// tarn with the arguments in directory; a test sets any other field itself.
Launch tarn_in(const std::string &directory, std::vector<std::string> arguments, double timeout_seconds = 120);

struct Outcome {
    int status = -1;        // exit status when it exited
    int signal = 0;         // the signal that ended it, if one did
    bool timed_out = false; // killed by us after timeout_seconds
    std::string out;        // standard output and standard error together
    long max_rss_kb = 0;    // with measure_memory; 0 when it could not be measured
    double seconds = 0;
    std::string lines() const { return printed_lines(out); }
    // "exit 2", "signal 9", "hung": for failure messages.
    std::string how() const;
};

Outcome run_tarn(const Launch &launch);

// Whether Launch::as_nobody works here (setpriv present, allowed to switch).
bool can_run_as_nobody();

// A mount that is undone when the object goes out of scope.
class ScopedMount
{
  public:
    // A file system of type (tmpfs, ...) on target, a directory made for
    // it where there is none.
    ScopedMount(const std::string &type, const std::string &target, const std::string &options);
    // source bound onto target, read-only if asked.
    static ScopedMount bind(const std::string &source, const std::string &target, bool read_only);
    ScopedMount(ScopedMount &&other) noexcept;
    ScopedMount(const ScopedMount &) = delete;
    ScopedMount &operator=(const ScopedMount &) = delete;
    ~ScopedMount();
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }

  private:
    ScopedMount() = default;
    std::string target_;
    bool ok_ = false;
    std::string error_;
};

// ---------------------------------------------------------------------------
// The cache file

uint32_t address_key(const std::string &dotted);
std::string dotted(uint32_t key);
// "<stamp> <a.b.c.d> <name>\r\n"
std::string cache_line(uint32_t stamp, uint32_t key, const std::string &name);

struct CacheRecord {
    uint32_t stamp;
    uint32_t key;
    std::string name;
};

// Reads a cache file as the writer must have written it: every line
// "<stamp> <a.b.c.d> <name>" and line_end with a stamp of at most 32 bits,
// octets 0..255 written without leading zeros, a name of 1..79 bytes
// above the blank, and addresses in ascending order. With kept, lines that
// are no such entry may follow the entries: a record kept as read, three
// tokens joined by single blanks and ended by line_end. line_end is the
// one the cache was read with ("\r\n" for cache_line's), "\n" for a cache
// started empty. Empty on success, else the first offence with its line
// number.
std::string read_cache_strictly(const std::string &text, const std::string &line_end, std::vector<CacheRecord> *records,
                                std::vector<std::string> *kept = nullptr);

// Directory entries of path other than "." and "..", sorted.
std::vector<std::string> directory_names(const std::string &path);
// Whether name is a temporary file of a save of cache_name:
// ".<cache_name>.tarn-save-XXXXXX".
bool is_save_temporary(const std::string &name, const std::string &cache_name);

// A case's description as a test name: letters and digits, '_' for the rest.
std::string test_name(const char *text);

// Seconds since an arbitrary start (steady clock).
double now_seconds();
