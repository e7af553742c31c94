// What the benchmark programs share: a reproducible random source, a
// scratch directory for generated files, and memory readings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

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

} // namespace bench
