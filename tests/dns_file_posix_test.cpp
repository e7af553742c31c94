// The DNS cache file's save where POSIX has more to say: file modes,
// owners and symbolic links kept, files this user may not write, a full
// disk and a read-only directory (in a private mount namespace).
#include "basalt-core.h"
#include "dns_file_test.h"
#include "lookup.h"
#include "test_support.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr const char *HERE = "dns_file_posix_test";

TEST_F(DnsFile, SaveKeepsPermissionsLinksAndLeavesNoTemporaryFile)
{
    load("1 1.2.3.4 a\r\n");
    write_file(cache, "old\r\n");
    chmod(cache.c_str(), 0640);
    save(0);
    struct stat status {
    };
    ASSERT_EQ(0, stat(cache.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);
    EXPECT_EQ((std::vector<std::string>{"dns.txt"}), directory_names(dir.path()));

    // Through a symbolic link: the link stays, its target gets the contents.
    std::string link = dir.file("link.txt");
    ASSERT_EQ(0, symlink("dns.txt", link.c_str()));
    write_file(cache, "old\r\n");
    save(0, link);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ("1 1.2.3.4 a\r\n", read_file(cache));

    // A new file: 0666 less the umask.
    mode_t mask = umask(027);
    std::string fresh = dir.file("fresh.txt");
    save(0, fresh);
    umask(mask);
    ASSERT_EQ(0, stat(fresh.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);
}

TEST_F(DnsFile, SaveRefusesACacheThisUserMayNotWriteAndKeepsItsOwner)
{
    // Renaming over a file needs only the directory's permission; the save
    // must still refuse what opening the file for writing would refuse.
    // Root may write anything, so as root the check runs as nobody.
    load("1 1.2.3.4 a\r\n");
    chmod(dir.path().c_str(), 0777);
    const std::string read_only = dir.file("read-only.txt");
    const std::string foreign = dir.file("foreign.txt");
    write_file(read_only, "old\r\n");
    write_file(foreign, "old\r\n");
    chmod(read_only.c_str(), 0444);
    chmod(foreign.c_str(), 0644);
    const bool root = geteuid() == 0;
    RunResult child = run_in_child([&] {
        if (root && setresuid(65534, 65534, 65534) != 0)
            _exit(77);
        for (const std::string &path : root ? std::vector<std::string>{read_only, foreign} : std::vector{read_only}) {
            if (dns_file_save(path.c_str(), 0) != 0)
                _exit(1);
        }
    });
    ASSERT_NE(77, child.status) << "cannot become nobody";
    EXPECT_EQ(0, child.status);
    EXPECT_NE(std::string::npos, child.out.find("Unable to open output file '" + read_only + "'")) << child.out;
    EXPECT_EQ("old\r\n", read_file(read_only));
    EXPECT_EQ("old\r\n", read_file(foreign));
    struct stat status {
    };
    ASSERT_EQ(0, stat(foreign.c_str(), &status));
    EXPECT_EQ(geteuid(), status.st_uid);
    EXPECT_EQ((std::vector<std::string>{"dns.txt", "foreign.txt", "read-only.txt"}), directory_names(dir.path()));
}

// Runs body in a child with a private mount namespace; status 77 when the
// namespace cannot be made (not root, no user namespaces).
RunResult in_mount_namespace(const std::function<void()> &body)
{
    return run_in_child([&body] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(77);
        body();
    });
}

TEST_F(DnsFile, FullDiskLeavesTheOldFileAsItWas)
{
    std::string mount_point = dir.file("small");
    std::filesystem::create_directory(mount_point);
    std::string old_contents;
    for (int i = 0; i < 100; ++i)
        old_contents += std::to_string(i) + " 9.9.9." + std::to_string(i) + " old.example\r\n";
    RunResult r = in_mount_namespace([&] {
        if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=16k") != 0)
            _exit(77);
        std::string path = mount_point + "/dns.txt";
        write_file(path, old_contents);
        // Fill the file system so the new file cannot be written whole.
        write_file(mount_point + "/filler", std::string(8 * 1024, 'f'));
        host_table_clear();
        for (int i = 0; i < 2000; ++i) {
            HostEntry *entry = tracked_new<HostEntry>(HERE, __LINE__);
            entry->address[0] = 10;
            entry->address[2] = static_cast<uint8_t>(i / 256);
            entry->address[3] = static_cast<uint8_t>(i % 256);
            std::snprintf(entry->name, sizeof entry->name, "a-rather-long-host-name-%d.example", i);
            HostEntry *hint = nullptr;
            host_table_insert(entry, INSERT_UNIQUE, &hint);
        }
        int saved = dns_file_save(path.c_str(), 0);
        bool intact = read_file(path) == old_contents;
        bool clean = directory_names(mount_point) == std::vector<std::string>{"dns.txt", "filler"};
        _exit(saved == 0 && intact && clean ? 0 : 1);
    });
    if (r.status == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ("Unable to write output file '" + mount_point + "/dns.txt'\n", r.out);
}

TEST_F(DnsFile, ReadOnlyDirectoryLeavesTheOldFileAsItWas)
{
    std::string sub = dir.file("ro");
    std::filesystem::create_directory(sub);
    std::string path = sub + "/dns.txt";
    write_file(path, "5 5.5.5.5 old\r\n");
    load("1 1.2.3.4 new\r\n");
    RunResult r = in_mount_namespace([&] {
        if (mount(sub.c_str(), sub.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(nullptr, sub.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            _exit(77);
        int saved = dns_file_save(path.c_str(), 0);
        _exit(saved == 0 ? 0 : 1);
    });
    if (r.status == 77)
        GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Unable to open output file '" + path + "'\n", r.out);
    EXPECT_EQ("5 5.5.5.5 old\r\n", read_file(path));
}

} // namespace
