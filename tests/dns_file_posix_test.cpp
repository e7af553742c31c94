// The DNS cache file where POSIX has more to say: file modes, owners and
// symbolic links kept, files this user may not write, a full disk and a
// read-only directory (in a private mount namespace), and a cache started
// anew never made through a link.
#include "basalt-core.h"
#include "dns_file_test.h"
#include "lookup_dnsfile.h"
#include "lookup_table.h"
#include "platform.h"
#include "test_support.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr const char *HERE = "dns_file_posix_test";

TEST_F(DnsFile, SaveKeepsPermissionsLinksAndLeavesNoTemporaryFile)
{
    load("1 1.2.3.4 a\r\n");
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

bool have_command(const char *name)
{
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string command_output(const std::string &command)
{
    std::string out;
    if (std::FILE *pipe = popen(command.c_str(), "r")) {
        char block[512];
        for (size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;)
            out.append(block, got);
        pclose(pipe);
    }
    return out;
}

TEST_F(DnsFile, SaveKeepsAccessListsAttributesAndGroupOrRefusesASplit)
{
    if (!have_command("setfacl") || !have_command("getfacl"))
        GTEST_SKIP() << "setfacl and getfacl are not installed";
    load("1 1.2.3.4 a\r\n");
    const std::string facl = "setfacl -m u:nobody:rw-,g::--- '" + cache + "' 2>/dev/null";
    if (std::system(facl.c_str()) != 0)
        GTEST_SKIP() << "no access lists on this file system";
    const bool attributes = setxattr(cache.c_str(), "user.origin", "web", 3, 0) == 0;
    if (geteuid() == 0) {
        ASSERT_EQ(0, chown(cache.c_str(), 0, 4)); // group adm
    }
    const std::string acl_before = command_output("getfacl -p '" + cache + "'");
    struct stat before {
    };
    ASSERT_EQ(0, stat(cache.c_str(), &before));
    save(0);
    ASSERT_EQ(1, last_save);
    EXPECT_EQ(acl_before, command_output("getfacl -p '" + cache + "'"));
    struct stat after {
    };
    ASSERT_EQ(0, stat(cache.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_gid, after.st_gid);
    EXPECT_NE(before.st_ino, after.st_ino);
    char value[8] = "";
    if (attributes) {
        EXPECT_EQ(3, getxattr(cache.c_str(), "user.origin", value, sizeof value)) << "user.origin dropped";
    }

    // A cache with a second name would lose it: the save is refused.
    const std::string second = dir.file("second.txt");
    ASSERT_EQ(0, link(cache.c_str(), second.c_str()));
    const std::string linked = read_file(cache);
    const std::string out = save(0);
    EXPECT_EQ(0, last_save);
    EXPECT_EQ("Unable to open output file '" + cache + "': it has 2 hard links, and replacing it would split them\n",
              out);
    EXPECT_EQ(linked, read_file(second));
}

TEST_F(DnsFile, LinesAnotherWriterAppendedAreMergedAndAChangedCacheIsLeftToIt)
{
    // Analog appends the names it looked up to the file it loaded: a line
    // added between load and save survives, a half-written one waits.
    load("1 1.2.3.4 a\r\n2 1.2.3.5 b\r\n");
    {
        std::FILE *file = std::fopen(cache.c_str(), "ab");
        ASSERT_NE(nullptr, file);
        std::fputs("9 1.2.3.5 analog.example\n9 1.2.3.6 six.example\n9 1.2.3.7 hal", file);
        std::fclose(file);
    }
    save(0);
    ASSERT_EQ(1, last_save);
    EXPECT_EQ("1 1.2.3.4 a\r\n9 1.2.3.5 analog.example\r\n9 1.2.3.6 six.example\r\n", read_file(cache));

    // Replaced by another file, or rewritten in place: left as the other
    // writer made it.
    load("1 1.2.3.4 a\r\n");
    const std::string other = dir.file("other.txt");
    write_file(other, "5 5.5.5.5 theirs\r\n");
    ASSERT_EQ(0, std::rename(other.c_str(), cache.c_str()));
    std::string out = save(0);
    EXPECT_EQ(0, last_save);
    EXPECT_NE(std::string::npos, out.find("was changed by another program during this run (it was replaced by another "
                                          "file): not saved"))
        << out;
    EXPECT_EQ("5 5.5.5.5 theirs\r\n", read_file(cache));

    load("1 1.2.3.4 a\r\n");
    {
        std::FILE *file = std::fopen(cache.c_str(), "r+b");
        ASSERT_NE(nullptr, file);
        std::fputs("2", file);
        std::fclose(file);
    }
    out = save(0);
    EXPECT_EQ(0, last_save);
    EXPECT_NE(std::string::npos, out.find("(lines it had were changed)")) << out;
    EXPECT_EQ("2 1.2.3.4 a\r\n", read_file(cache));
}

TEST_F(DnsFile, NewCacheTakesTheUmaskAndKeepsWhatAnalogAppendsBeforeTheSave)
{
    host_table_clear();
    const mode_t mask = umask(027);
    testing::internal::CaptureStdout();
    const int loaded = dns_file_load(cache.c_str());
    umask(mask);
    EXPECT_EQ(1, loaded);
    EXPECT_EQ("Starting a new DNS file '" + cache + "'\n", testing::internal::GetCapturedStdout());
    struct stat status {
    };
    ASSERT_EQ(0, stat(cache.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);

    // Analog appends to the file it found empty while this run looks up.
    {
        std::FILE *file = std::fopen(cache.c_str(), "ab");
        ASSERT_NE(nullptr, file);
        std::fputs("9 1.2.3.5 analog.example\n", file);
        std::fclose(file);
    }
    add_entry("\x01\x02\x03\x04", 7, "ours.example");
    // All of the line is new to the guard: the file was loaded with 0 bytes.
    EXPECT_EQ("    25 Bytes of lines added to the DNS file by another program during the run: merged\n", save(0));
    EXPECT_EQ(1, last_save);
    // A new cache takes the system's line end, LF, as Analog's own lines.
    EXPECT_EQ("7 1.2.3.4 ours.example\n9 1.2.3.5 analog.example\n", read_file(cache));
}

TEST_F(DnsFile, NewCacheIsNeverMadeThroughALink)
{
    // A link of this user's own that leads nowhere: refused, not followed.
    const std::string target = dir.file("target.txt");
    ASSERT_EQ(0, symlink("target.txt", cache.c_str()));
    host_table_clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dns_file_load(cache.c_str()));
    EXPECT_EQ("Unable to open DNS file '" + cache +
                  "': 'dns.txt' is a symbolic link to a file that does not exist, and no new file is made through a "
                  "link\n",
              testing::internal::GetCapturedStdout());
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_TRUE(std::filesystem::is_symlink(cache));

    // A file that is there already is left as it is, for the load to read.
    write_file(target, "1 1.2.3.4 a\r\n");
    FileProblem problem;
    EXPECT_EQ(NEW_FILE_EXISTS, platform_create_new_file(cache.c_str(), &problem));
    EXPECT_EQ(NEW_FILE_EXISTS, platform_create_new_file(target.c_str(), &problem));
    EXPECT_EQ("1 1.2.3.4 a\r\n", read_file(target));

    if (geteuid() != 0)
        GTEST_SKIP() << "making a link of another user needs root";
    // Links of another user, on the way to the directory or at the name.
    const std::string real = dir.file("real");
    std::filesystem::create_directory(real);
    const std::string up = dir.file("up");
    ASSERT_EQ(0, symlink(real.c_str(), up.c_str()));
    ASSERT_EQ(0, lchown(up.c_str(), 65534, 65534));
    problem = FileProblem{};
    EXPECT_EQ(NEW_FILE_FAILED, platform_create_new_file((up + "/dns.txt").c_str(), &problem));
    EXPECT_EQ(FILE_UNTRUSTED_LINK, problem.refusal);
    EXPECT_STREQ("up", problem.item);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dns_file_load((up + "/dns.txt").c_str()));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("the symbolic link 'up' on its path"));
    const std::string planted = real + "/planted.txt";
    ASSERT_EQ(0, symlink((real + "/made.txt").c_str(), planted.c_str()));
    ASSERT_EQ(0, lchown(planted.c_str(), 65534, 65534));
    problem = FileProblem{};
    EXPECT_EQ(NEW_FILE_FAILED, platform_create_new_file(planted.c_str(), &problem));
    EXPECT_EQ(FILE_UNTRUSTED_LINK, problem.refusal);
    EXPECT_EQ((std::vector<std::string>{"planted.txt"}), directory_names(real));
}

TEST_F(DnsFile, LinksOfOtherUsersAreNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a link of another user needs root";
    // A directory another user may write, a cache there pointed by that
    // user at a file only root may change.
    const std::string secret = dir.file("passwd");
    write_file(secret, "root:x:0:0:root:/root:/bin/bash\nnobody:x:65534:65534::/:/usr/sbin/nologin\n");
    const std::string link = dir.file("dnscache");
    ASSERT_EQ(0, symlink(secret.c_str(), link.c_str()));
    ASSERT_EQ(0, lchown(link.c_str(), 65534, 65534));
    host_table_clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, dns_file_load(link.c_str()));
    const std::string refused = "the symbolic link 'dnscache' on its path belongs to user nobody (65534), and only "
                                "links of root or of this user are followed\n";
    EXPECT_EQ("Unable to open DNS file '" + link + "': " + refused, testing::internal::GetCapturedStdout());
    load("1 1.2.3.4 a\r\n");
    EXPECT_EQ("Unable to open output file '" + link + "': " + refused, save(0, link));
    EXPECT_NE(std::string::npos, read_file(secret).find("nobody:x:"));

    // Also a link further up the path; root's own links are followed.
    const std::string up = dir.file("up");
    ASSERT_EQ(0, symlink(dir.path().c_str(), up.c_str()));
    EXPECT_EQ("", save(0, up + "/dns.txt"));
    ASSERT_EQ(0, lchown(up.c_str(), 65534, 65534));
    EXPECT_NE(std::string::npos, save(0, up + "/dns.txt").find("the symbolic link 'up' on its path"));
}

} // namespace
