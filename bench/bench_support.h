// What the benchmark programs share: a reproducible random source, a
// scratch directory for generated files, memory readings, the page cache
// state of a file, and running other tools to time them.
#pragma once

#include "basalt-core.h"
#include "lookup_table.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace bench
{

// splitmix64: the same files on every machine and standard library, which
// <random>'s distributions do not promise.
class Rng
{
  public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // 0 .. bound-1 (the modulo bias is irrelevant here).
    uint64_t below(uint64_t bound) { return next() % bound; }
    // True with the given chance in percent.
    bool percent(uint64_t chance) { return below(100) < chance; }
    template <size_t N> const char *pick(const char *const (&items)[N]) { return items[below(N)]; }

  private:
    uint64_t state_;
};

// The directory that holds the generated files for the whole run, removed
// at the end; TMPDIR chooses the disk.
class WorkDir
{
  public:
    WorkDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarn-bench-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = buffer.data();
    }
    ~WorkDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    WorkDir(const WorkDir &) = delete;
    WorkDir &operator=(const WorkDir &) = delete;
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline double mib(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

inline double resident_bytes()
{
    long pages = 0;
    long resident = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

inline double peak_resident_bytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) * 1024.0; // kilobytes on Linux
}

// Percentage of the file's pages in the page cache.
inline double cached_percent(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return 0;
    struct stat status {
    };
    double percent = 0;
    if (fstat(fd, &status) == 0 && status.st_size > 0) {
        const auto length = static_cast<size_t>(status.st_size);
        void *map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            std::vector<unsigned char> resident((length + page - 1) / page);
            if (mincore(map, length, resident.data()) == 0) {
                const auto in = std::count_if(resident.begin(), resident.end(), [](unsigned char v) { return v & 1; });
                percent = 100.0 * static_cast<double>(in) / static_cast<double>(resident.size());
            }
            munmap(map, length);
        }
    }
    ::close(fd);
    return percent;
}

// Reads the file once so that every case finds it in the page cache.
inline void warm_page_cache(const std::string &path)
{
    std::FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return;
    std::vector<char> buffer(1 << 20);
    while (std::fread(buffer.data(), 1, buffer.size(), in) > 0) {
    }
    std::fclose(in);
}

// What a tool run gave: whether it exited 0, what it printed (when it was
// kept), and the CPU time it and its threads used, user and system.
struct ToolRun {
    bool ok = false;
    std::string printed;
    double cpu_seconds = 0;
};

// Runs a command in the C locale (byte semantics, as the scanner has). Its
// output goes through a pipe and comes back in printed, unless discard is
// set: then it goes to /dev/null. Keep the pipe for tools that look at
// where their output goes: GNU grep notices an output of /dev/null and
// stops at the first match, which would time nothing.
inline ToolRun run_tool(const std::vector<std::string> &argv, bool discard = false)
{
    ToolRun run;
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "LC_ALL=", 7) != 0)
            env_text.emplace_back(*e);
    }
    env_text.emplace_back("LC_ALL=C");
    std::vector<char *> env;
    for (std::string &s : env_text)
        env.push_back(s.data());
    env.push_back(nullptr);
    std::vector<std::string> args_text = argv;
    std::vector<char *> args;
    for (std::string &s : args_text)
        args.push_back(s.data());
    args.push_back(nullptr);

    int out[2];
    if (pipe(out) != 0)
        return run;
    const pid_t pid = fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        return run;
    }
    if (pid == 0) {
        const int target = discard ? ::open("/dev/null", O_WRONLY) : out[1];
        if (target < 0)
            _exit(126);
        dup2(target, STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    ::close(out[1]);
    char buffer[256];
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0)
            run.printed.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR)
            return run;
    }
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok)
        run.printed.clear();
    run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return run;
}

// Starts the support library and the table as the program does, with the
// console on, so that a failing step says why.
inline void start_engine(const char *program_path)
{
    const char *program[] = {program_path};
    platform_set_command_line(1, program);
    core_startup("debug.log", OUT_CONSOLE);
    memory_init(0);
    host_table_create();
}

} // namespace bench
