// What the Windows half of the platform layer does its own way: paths with
// drive letters and either separator, the wildcard listing matched without
// regard to case, the lock, the save, console bytes, compressed logs (gzip
// only), Analog's lock on Windows, and the system's resolver.
#include "basalt-core.h"
#include "basalt-file.h"
#include "lookup_config.h"
#include "lookup_harvest.h"
#include "platform.h"
#include "socket.h"
#include "test_support.h"

#include <windows.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

using Paths = std::vector<std::string>;

TEST(WindowsPaths, DriveLettersRootsAndBothSeparators)
{
    for (const char *path :
         {"C:\\logs\\a.log", "c:/logs/a.log", "C:a.log", "\\logs\\a.log", "/logs/a.log", "\\\\server\\share\\a.log"})
        EXPECT_EQ(1, platform_is_absolute_path(path)) << path;
    for (const char *path : {"a.log", "logs\\a.log", ".\\a.log", "..\\a.log", "1:a.log", ""})
        EXPECT_EQ(0, platform_is_absolute_path(path)) << path;
    // The directory part ends at the last '\', '/' or drive colon.
    const std::vector<std::pair<const char *, const char *>> prefixes = {
        {"C:\\cfg\\analog.cfg", "C:\\cfg\\"},
        {"C:/cfg/analog.cfg", "C:/cfg/"},
        {"cfg/sub\\analog.cfg", "cfg/sub\\"},
        {"C:analog.cfg", "C:"},
        {"analog.cfg", ""},
    };
    for (const auto &[path, expected] : prefixes) {
        char prefix[PATH_TEXT_SIZE];
        ASSERT_EQ(1, directory_prefix(path, prefix));
        EXPECT_STREQ(expected, prefix) << path;
    }
}

Paths listed(const std::string &pattern)
{
    DirectoryListing listing;
    Paths paths;
    if (listing.open(pattern.c_str()) == 0)
        return {"<none>"};
    while (const char *path = listing.next())
        paths.push_back(path);
    return paths;
}

class WindowsListing : public testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *name : {"Access.LOG", "access.log.1", "b.LOG", "error.log", ".hidden.log", "notes.txt",
                                 "apache2\\access.log", "Apache\\access.log", "apache10\\x"}) {
            std::filesystem::create_directories(std::filesystem::path(base + "\\" + name).parent_path());
            write_file(base + "\\" + name, "x");
        }
        std::filesystem::create_directory(base + "\\dir.log");
    }

    TempDir dir;
    const std::string base = dir.path(); // a drive letter and backslashes
};

TEST_F(WindowsListing, NamesMatchWithoutRegardToCaseInByteOrder)
{
    // Directories passed over, a leading dot matched only by a dot, the
    // results in byte order ('A' before 'b' before 'e').
    const std::string b = base + "\\";
    EXPECT_EQ((Paths{b + "Access.LOG", b + "b.LOG", b + "error.log"}), listed(b + "*.log"));
    EXPECT_EQ((Paths{b + "Access.LOG", b + "access.log.1"}), listed(b + "ACCESS*"));
    EXPECT_EQ((Paths{b + "Access.LOG", b + "b.LOG"}), listed(b + "[AB]*.log"));
    EXPECT_EQ((Paths{b + "Access.LOG", b + "access.log.1", b + "b.LOG"}), listed(b + "[a-b]*"));
    EXPECT_EQ((Paths{b + "error.log", b + "notes.txt"}), listed(b + "[!a-b]*"));
    EXPECT_EQ((Paths{b + ".hidden.log"}), listed(b + ".*.LOG"));
    EXPECT_EQ((Paths{b + "b.LOG"}), listed(b + "?.log"));
    EXPECT_EQ((Paths{"<none>"}), listed(b + "*.gz"));
    EXPECT_EQ((Paths{"<none>"}), listed(b + "nodir\\*.log"));
    // A plain name lists itself if it exists, whatever it is.
    EXPECT_EQ((Paths{b + "dir.log"}), listed(b + "dir.log"));
    EXPECT_EQ((Paths{"<none>"}), listed(b + "missing.log"));
}

TEST_F(WindowsListing, PathsKeepThePatternsOwnSeparatorsAndDirectoryText)
{
    // Forward slashes, mixed ones, wildcards in a directory, and a literal
    // name after them as the pattern spells it.
    std::string slashed = base;
    for (char &c : slashed)
        c = c == '\\' ? '/' : c;
    EXPECT_EQ((Paths{slashed + "/Access.LOG", slashed + "/access.log.1"}), listed(slashed + "/access*"));
    EXPECT_EQ((Paths{base + "/Apache\\access.log", base + "/apache2\\access.log"}),
              listed(base + "/APACHE*\\access.log"));
    EXPECT_EQ((Paths{base + "\\apache2\\ACCESS.LOG"}), listed(base + "\\APACHE?\\ACCESS.LOG"));
    // Relative to the current directory.
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(base);
    EXPECT_EQ((Paths{"Apache\\access.log", "apache2\\access.log"}), listed("apache*\\access.log"));
    std::filesystem::current_path(previous);
}

TEST(WindowsFiles, LockIsMadeOnceSaysWhyItFailsAndIsRemoved)
{
    TempDir dir;
    const std::string lock = dir.path() + "\\dnslock";
    char reason[128] = "";
    EXPECT_EQ(LOCK_TAKEN, platform_lock_create(lock.c_str(), reason, sizeof reason));
    EXPECT_EQ(LOCK_EXISTS, platform_lock_create(lock.c_str(), reason, sizeof reason));
    // It says whose it is, and is known again as this process's.
    EXPECT_EQ(0u, read_file(lock).rfind("tarn pid=" + std::to_string(GetCurrentProcessId()) + " host=", 0));
    EXPECT_EQ(1, platform_lock_still_held(lock.c_str()));
    LockHolder holder;
    ASSERT_EQ(1, platform_lock_inspect(lock.c_str(), &holder));
    EXPECT_EQ(HOLDER_RUNS, holder.state);
    EXPECT_EQ(LOCK_REMOVED, platform_lock_remove(lock.c_str()));
    EXPECT_FALSE(std::filesystem::exists(lock));
    // Another's lock at the path is not this process's to remove.
    EXPECT_EQ(LOCK_TAKEN, platform_lock_create(lock.c_str(), reason, sizeof reason));
    std::filesystem::remove(lock);
    write_file(lock, "");
    EXPECT_EQ(0, platform_lock_still_held(lock.c_str()));
    EXPECT_EQ(LOCK_NOT_OURS, platform_lock_remove(lock.c_str()));
    EXPECT_TRUE(std::filesystem::exists(lock));
    EXPECT_EQ(LOCK_FAILED, platform_lock_create((dir.path() + "\\no\\dnslock").c_str(), reason, sizeof reason));
    // The system's text, made to read inside a message.
    const std::string text = reason;
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n")) << text;
    EXPECT_NE('.', text.back()) << text;
}

Paths names_in(const std::string &directory)
{
    Paths names;
    for (const auto &entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(WindowsFiles, SaveReplacesInOneStepAndRefusesWhatItMayNotWrite)
{
    TempDir dir;
    const std::string cache = dir.path() + "\\dns.txt";
    write_file(cache, "old\r\n");
    {
        // Two saves at once: each its own temporary file beside the cache.
        SafeFileWriter first;
        SafeFileWriter second;
        ASSERT_EQ(1, first.open(cache.c_str()));
        ASSERT_EQ(1, second.open(cache.c_str()));
        const Paths during = names_in(dir.path());
        ASSERT_EQ(3u, during.size());
        for (const std::string &name : {during[0], during[1]}) {
            EXPECT_EQ(0u, name.find(".dns.txt.tarn-save-")) << name;
            EXPECT_EQ(std::string::npos, name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", 19)) << name;
        }
        EXPECT_EQ(1, first.write("new\r\n", 5));
        EXPECT_EQ(1, first.commit());
    } // the second, never committed, leaves nothing
    EXPECT_EQ("new\r\n", read_file(cache));
    EXPECT_EQ((Paths{"dns.txt"}), names_in(dir.path()));

    // A read-only cache, a directory and a missing directory are refused,
    // and the read-only cache stays as it was.
    ASSERT_NE(0, SetFileAttributesA(cache.c_str(), FILE_ATTRIBUTE_READONLY));
    SafeFileWriter refused;
    EXPECT_EQ(0, refused.open(cache.c_str()));
    EXPECT_EQ(0, refused.open(dir.path().c_str()));
    EXPECT_EQ(0, refused.open((dir.path() + "\\no\\dns.txt").c_str()));
    SetFileAttributesA(cache.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ("new\r\n", read_file(cache));
    EXPECT_EQ((Paths{"dns.txt"}), names_in(dir.path()));
}

TEST(WindowsFiles, FilesBeingReadMayBeRemovedAndDirectoriesAreNotOpened)
{
    TempDir dir;
    const std::string log = dir.path() + "\\access.log";
    write_file(log, "192.0.2.1 x\n");
    std::FILE *file = platform_open_for_reading(log.c_str());
    ASSERT_NE(nullptr, file);
    // As the control handler removes the copy of standard input.
    EXPECT_NE(0, DeleteFileA(log.c_str()));
    char bytes[16] = {};
    EXPECT_EQ(12u, std::fread(bytes, 1, sizeof bytes, file));
    std::fclose(file);
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_EQ(nullptr, platform_open_for_reading(dir.path().c_str()));
    EXPECT_EQ(nullptr, platform_open_for_reading(log.c_str()));
}

TEST(WindowsFiles, TemporaryDirectoryHasNoSeparatorAfterIt)
{
    const std::string directory = platform_temporary_directory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(0, platform_is_path_separator(directory.back())) << directory;
    EXPECT_TRUE(std::filesystem::is_directory(directory)) << directory;
}

TEST(WindowsConsole, BytesGoOutAsTheyAreOnBothStreams)
{
    // The child's streams start in the C library's text mode, as a new
    // process's do: a line feed must not become CR LF, nor a Ctrl+Z end
    // anything.
    const RunResult r = run_in_child([] {
        platform_console_write("a\nb\r\n\x1a"
                               "c",
                               7, CONSOLE_OUTPUT);
        platform_console_write("e\n", 2, CONSOLE_ERROR);
        out_print("%s\n", "printed");
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::string("a\nb\r\n\x1a"
                          "c",
                          7),
              r.out.substr(0, 7));
    EXPECT_EQ("e\n", r.err);
}

class WindowsEngine : public ScriptedEngineTest
{
  protected:
    static int scripted(HostInfo *info, const uint8_t address[4])
    {
        std::snprintf(info->name, sizeof info->name, "host%u.example", address[3]);
        return 1;
    }
    WindowsEngine() : ScriptedEngineTest(scripted) {}

    // Harvests path; what it printed.
    std::string harvest(const std::string &path, int expected)
    {
        testing::internal::CaptureStdout();
        EXPECT_EQ(expected, log_file_harvest(path.c_str())) << path;
        return testing::internal::GetCapturedStdout();
    }

    TempDir dir;
};

void append_gzip_member(const std::string &path, const std::string &text)
{
    gzFile file = gzopen(path.c_str(), "ab");
    ASSERT_NE(nullptr, file);
    ASSERT_EQ(static_cast<int>(text.size()), gzwrite(file, text.data(), static_cast<unsigned>(text.size())));
    ASSERT_EQ(Z_OK, gzclose(file));
}

TEST_F(WindowsEngine, GzipLogsAreReadAndOtherCompressedOnesRefusedByName)
{
    const std::string gz = dir.path() + "\\access.log.2.gz";
    append_gzip_member(gz, common_line("192.0.2.1") + common_line("192.0.2.2"));
    append_gzip_member(gz, common_line("192.0.2.3")); // a second member, read on
    EXPECT_EQ("", harvest(gz, 1));
    EXPECT_EQ(3, entry_count);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {std::string("BZh91AY&SY", 10), "compressed with bzip2"},
        {std::string("\xfd"
                     "7zXZ\0\0",
                     7),
         "compressed with xz"},
        {std::string("\x28\xb5\x2f\xfd\0", 5), "compressed with zstd"},
        {std::string("PK\x03\x04", 4), "a zip archive"},
    };
    for (const auto &[head, kind] : refused) {
        const std::string path = dir.path() + "\\log";
        write_file(path, head + common_line("192.0.2.9"));
        EXPECT_EQ("Log file is " + kind + ": this build of tarn reads only plain and gzip-compressed logs\n" +
                      "Unable to read log file '" + path + "'\n",
                  harvest(path, 0));
    }
    // A format no build reads is refused without the line.
    write_file(dir.path() + "\\a.7z", std::string("7z\xbc\xaf\x27\x1c", 6) + "192.0.2.9 x\n");
    EXPECT_EQ("Unable to read log file '" + dir.path() + "\\a.7z'\n", harvest(dir.path() + "\\a.7z", 0));
    EXPECT_EQ(3, entry_count);
}

TEST_F(WindowsEngine, AnalogsLockIsABareNameInTheCurrentDirectory)
{
    // Names with a directory from the current directory, with either
    // separator, in any case; the lock of a bare DNSLOCKFILE, and the
    // default lock, from the current directory.
    const std::string cfg_dir = dir.path() + "\\cfg";
    std::filesystem::create_directories(dir.path() + "\\logs");
    std::filesystem::create_directories(cfg_dir);
    write_file(dir.path() + "\\logs\\a.log", common_line("192.0.2.4"));
    write_file(dir.path() + "\\dns.txt", "");
    const std::vector<std::string> configs = {"DNSFILE .\\dns.txt\nLOGFILE ./LOGS\\*.LOG\nDNSLOCKFILE my.lock\n",
                                              "DNSFILE .\\dns.txt\nLOGFILE " + dir.path() + "/logs/a.log\n"};
    const std::vector<std::string> locks = {"my.lock", PLATFORM_DEFAULT_LOCK_FILE};
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (size_t i = 0; i < configs.size(); ++i) {
        write_file(cfg_dir + "\\analog.cfg", configs[i]);
        write_file(dir.path() + "\\" + locks[i], "");
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, run_analog_config((cfg_dir + "\\analog.cfg").c_str(), 5, 0));
        EXPECT_EQ(0u, testing::internal::GetCapturedStdout().rfind(
                          "DNS lock file '" + locks[i] +
                              "' already exists: another program is writing the DNS file (an empty lock, as Analog "
                              "makes",
                          0));
        std::filesystem::remove(dir.path() + "\\" + locks[i]);
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, run_analog_config((cfg_dir + "\\analog.cfg").c_str(), 5, 0));
        (void)testing::internal::GetCapturedStdout();
        EXPECT_FALSE(std::filesystem::exists(dir.path() + "\\" + locks[i]));
        // The cache was empty: its lines take Windows' own line end.
        EXPECT_NE(std::string::npos, read_file(dir.path() + "\\dns.txt").find(" 192.0.2.4 host4.example\r\n"));
    }
    std::filesystem::current_path(previous);
}

TEST(WindowsSockets, LoopbackNamesConfirmationAndErrorCodes)
{
    start_core_for_test(OUT_CONSOLE);
    ASSERT_EQ(1, socket_startup());
    HostInfo info;
    ASSERT_EQ(1, resolve_name(&info, "localhost"));
    EXPECT_EQ(127, info.address[0]);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    const uint8_t elsewhere[4] = {192, 0, 2, 1};
    EXPECT_EQ(1, platform_name_has_address("localhost", loopback, 4));
    EXPECT_EQ(0, platform_name_has_address("localhost", elsewhere, 4));
    EXPECT_EQ(11004, platform_socket_last_error()); // valid name, no such address
    char name[3];
    uint8_t first[4];
    EXPECT_EQ(0, platform_resolve_name("localhost", name, sizeof name, first));
    EXPECT_EQ(10063, platform_socket_last_error()); // too long to hold, not cut
    EXPECT_EQ(1, socket_cleanup());
}

} // namespace
