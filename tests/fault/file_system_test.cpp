// Files that cannot be opened, read or written: each run says which and
// why, exits 2, and leaves every file as it was, with no temporary file
// behind. Mounts are made in netns-run's private mount namespace.
#include "fault_support.h"

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

// Three named, stamped entries: no run of these tests looks anything up.
const std::string CACHE = "100 192.0.2.1 one.fault.example\r\n"
                          "100 192.0.2.2 two.fault.example\r\n"
                          "100 192.0.2.3 three.fault.example\r\n";
const std::string LOG = "192.0.2.1 - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";

// A cache too big to be written twice into a 768 KiB file system.
std::string big_cache()
{
    std::string text;
    for (uint32_t i = 0; i < 12'000; ++i)
        text += cache_line(100, 0x0A000000u + i, "h" + std::to_string(i) + ".fault.example");
    return text;
}

void own(const std::string &path, unsigned user, mode_t mode)
{
    ASSERT_EQ(0, chown(path.c_str(), user, user)) << path;
    ASSERT_EQ(0, chmod(path.c_str(), mode)) << path;
}

// Every file, link and directory below root with its contents: what a
// failed run must leave exactly as it found.
std::map<std::string, std::string> snapshot(const std::string &root)
{
    std::map<std::string, std::string> state;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string path = it->path().string().substr(root.size());
        if (it->is_symlink())
            state[path] = "link to " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            state[path] = "directory";
        else
            state[path] = read_file(it->path().string());
    }
    return state;
}

struct Prepared {
    std::vector<ScopedMount> mounts;
};

struct FileCase {
    const char *name;
    bool unprivileged;
    // Makes the fault in dir (which already holds dns.txt with CACHE and
    // a.log with LOG); the mounts it returns last until the run is over.
    std::function<void(const std::string &dir, Prepared &prepared)> make_fault;
    std::vector<std::string> arguments;
    std::string printed; // what follows the banner, step times as [T]
};

const std::string LOADED = "     3 [T] DNS Entries loaded...\n";

const FileCase FILE_CASES[] = {
    {"cache path is a directory",
     false,
     [](const std::string &dir, Prepared &) { fs::create_directory(dir + "/cache.d"); },
     {"/D", "cache.d"},
     "Unable to open DNS file 'cache.d'\n"},
    {"cache without read permission",
     true,
     [](const std::string &dir, Prepared &) { own(dir + "/dns.txt", NOBODY, 0200); },
     {"/D", "dns.txt", "/L", "a.log"},
     "Unable to open DNS file 'dns.txt'\n"},
    {"read error in the cache",
     false,
     // Reading a process's memory at offset 0 fails with EIO: a read
     // error on demand, where no disk can be made to fail.
     [](const std::string &dir, Prepared &) { fs::create_symlink("/proc/self/mem", dir + "/mem.txt"); },
     {"/D", "mem.txt"},
     "Unable to read DNS file 'mem.txt'\n"},
    {"log without read permission",
     true,
     [](const std::string &dir, Prepared &) { own(dir + "/a.log", NOBODY, 0200); },
     {"/D", "dns.txt", "/L", "a.log"},
     LOADED + "Unable to open log file 'a.log'\n"},
    {"log path is a directory",
     false,
     [](const std::string &dir, Prepared &) { fs::create_directory(dir + "/logs"); },
     {"/D", "dns.txt", "/L", "logs"},
     LOADED + "Unable to open log file 'logs'\n"},
    {"pattern matches only a directory",
     false,
     [](const std::string &dir, Prepared &) { fs::create_directory(dir + "/logs.d"); },
     {"/D", "dns.txt", "/L", "logs.*"},
     LOADED + "No log file matches 'logs.*'\n"},
    {"read error in a log",
     false,
     [](const std::string &dir, Prepared &) { fs::create_symlink("/proc/self/mem", dir + "/mem.log"); },
     {"/D", "dns.txt", "/L", "mem.log"},
     LOADED + "Unable to read log file 'mem.log'\n"},
    {"full disk",
     false,
     [](const std::string &dir, Prepared &prepared) {
         prepared.mounts.emplace_back("tmpfs", dir + "/full", "size=768k");
         write_file(dir + "/full/dns.txt", big_cache());
     },
     {"/D", "full/dns.txt"},
     " 12000 [T] DNS Entries loaded...\n     0 [T] Entries processed (0 resolved)...\n"
     "Unable to write output file 'full/dns.txt'\n"},
    {"no free inode for the temporary file",
     false,
     [](const std::string &dir, Prepared &prepared) {
         prepared.mounts.emplace_back("tmpfs", dir + "/full", "size=1m,nr_inodes=2");
         write_file(dir + "/full/dns.txt", CACHE);
     },
     {"/D", "full/dns.txt", "/L", "a.log"},
     LOADED + "     0 [T] Log Entries loaded... (1)\n     0 [T] Entries processed (0 resolved)...\n"
              "Unable to open output file 'full/dns.txt'\n"},
    {"read-only directory",
     false,
     [](const std::string &dir, Prepared &prepared) {
         fs::create_directory(dir + "/ro");
         write_file(dir + "/ro/dns.txt", CACHE);
         prepared.mounts.push_back(ScopedMount::bind(dir + "/ro", dir + "/ro", true));
     },
     {"/D", "ro/dns.txt"},
     LOADED + "     0 [T] Entries processed (0 resolved)...\nUnable to open output file 'ro/dns.txt'\n"},
    {"directory without write permission",
     true,
     [](const std::string &dir, Prepared &) {
         fs::create_directory(dir + "/locked");
         write_file(dir + "/locked/dns.txt", CACHE);
         own(dir + "/locked/dns.txt", NOBODY, 0644);
         own(dir + "/locked", 0, 0755);
     },
     {"/D", "locked/dns.txt"},
     LOADED + "     0 [T] Entries processed (0 resolved)...\nUnable to open output file 'locked/dns.txt'\n"},
    {"cache file is a mount point",
     false,
     // The rename over a mounted file fails (EBUSY) after everything
     // else succeeded: the last step of the save.
     [](const std::string &dir, Prepared &prepared) {
         write_file(dir + "/cover.txt", CACHE);
         prepared.mounts.push_back(ScopedMount::bind(dir + "/cover.txt", dir + "/dns.txt", false));
     },
     {"/D", "dns.txt"},
     LOADED + "     0 [T] Entries processed (0 resolved)...\nUnable to write output file 'dns.txt'\n"},
};

class FileFaults : public testing::TestWithParam<FileCase>
{
};

TEST_P(FileFaults, SayWhichFileAndWhyAndChangeNothing)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    const FileCase &c = GetParam();
    if (c.unprivileged && !can_run_as_nobody())
        GTEST_SKIP() << "cannot run as user " << NOBODY << " here (root ignores permissions)";
    TempDir temp;
    // The unprivileged user needs to pass through the test's directory and
    // could write in it: only the permission under test stops it.
    const std::string dir = temp.file("work");
    fs::create_directory(dir);
    ASSERT_EQ(0, chmod(temp.path().c_str(), 0755));
    own(dir, c.unprivileged ? NOBODY : 0, 0755);
    write_file(dir + "/dns.txt", CACHE);
    write_file(dir + "/a.log", LOG);
    if (c.unprivileged) {
        own(dir + "/dns.txt", NOBODY, 0644);
        own(dir + "/a.log", NOBODY, 0644);
    }
    Prepared prepared;
    c.make_fault(dir, prepared);
    for (const ScopedMount &mount : prepared.mounts)
        ASSERT_TRUE(mount.ok()) << mount.error();
    const auto before = snapshot(dir);

    Launch launch = tarn_in(dir, c.arguments, 60);
    launch.as_nobody = c.unprivileged;
    Outcome r = run_tarn(launch);

    EXPECT_EQ(2, r.status) << r.how();
    EXPECT_EQ(BANNER + c.printed, r.lines());
    EXPECT_TRUE(before == snapshot(dir)) << "files changed, or a temporary file was left";
}

INSTANTIATE_TEST_SUITE_P(Cases, FileFaults, testing::ValuesIn(FILE_CASES),
                         [](const testing::TestParamInfo<FileCase> &each) { return test_name(each.param.name); });

// A log that a writer keeps appending to while it is harvested: the run
// ends (it does not chase the writer for ever), counts what it read, and
// what it read is a prefix of what was written.
TEST(GrowingLog, HarvestEndsAndCountsWhatItRead)
{
    REQUIRE_FAULT_NAMESPACE("fault");
    TempDir dir;
    write_file(dir.file("dns.txt"), CACHE);
    // 32 MiB of one repeated client, so the harvest takes a while...
    const std::string repeated = "10.0.0.1 - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 5\n";
    std::string initial;
    while (initial.size() < (32u << 20))
        initial += repeated;
    const size_t initial_lines = initial.size() / repeated.size();
    write_file(dir.file("grow.log"), initial);

    // ...while a writer appends clients 10.1.0.0, 10.1.0.1, ... one line
    // per write, as a web server does, at most 20,000 of them in 30 s.
    constexpr int MAX_APPENDED = 20'000;
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int fd = open(dir.file("grow.log").c_str(), O_WRONLY | O_APPEND);
        const double end = now_seconds() + 30;
        for (int i = 0; i < MAX_APPENDED && now_seconds() < end; ++i) {
            const std::string line = common_line(dotted(0x0A010000u + static_cast<uint32_t>(i)));
            if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                _exit(1);
            if (i % 16 == 15)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Outcome r = run_tarn(tarn_in(dir.path(), {"/D", "dns.txt", "/L", "grow.log", "/T", "500"}));
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer failed";

    ASSERT_EQ(0, r.status) << r.how() << "\n" << r.out;
    const std::string printed = r.lines();
    const size_t at = printed.find("[T] Log Entries loaded... (");
    ASSERT_NE(std::string::npos, at) << printed;
    const long counted = std::stol(printed.substr(at + 27));
    std::vector<CacheRecord> records;
    ASSERT_EQ("", read_cache_strictly(read_file(dir.file("dns.txt")), "\r\n", &records));
    // The cache: its three entries, 10.0.0.1, and appended clients
    // 10.1.0.0 up to the count read, without a gap.
    const long appended = counted - static_cast<long>(initial_lines);
    ASSERT_GE(appended, 0);
    ASSERT_LE(appended, MAX_APPENDED);
    ASSERT_EQ(static_cast<size_t>(4 + appended), records.size());
    EXPECT_EQ(address_key("10.0.0.1"), records[0].key);
    for (long i = 0; i < appended; ++i)
        ASSERT_EQ(0x0A010000u + static_cast<uint32_t>(i), records[static_cast<size_t>(1 + i)].key) << i;
    std::printf("[ figures  ] growing log: %ld of the appended lines were read while the writer wrote\n", appended);
}

} // namespace
