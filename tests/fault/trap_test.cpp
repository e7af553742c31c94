// Traps that another account lays for a root run: links planted in the
// directories it may write, outputs pointed at inputs, a FIFO named as a
// log. tarn runs as root here; the links are made by user nobody.
#include "fault_support.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

const std::string PASSWD = "root:x:0:0:root:/root:/bin/bash\n"
                           "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                           "bin:x:2:2:bin:/bin:/usr/sbin/nologin\n"
                           "www-data:x:33:33:www-data:/var/www:/usr/sbin/nologin\n"
                           "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n";
const std::string LOG = "192.0.2.1 - - [09/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 1\n";

// A directory that user nobody owns, as a site owner owns a cache or log
// directory.
std::string nobody_directory(TempDir &dir, const std::string &name)
{
    const std::string path = dir.file(name);
    fs::create_directory(path);
    EXPECT_EQ(0, chown(path.c_str(), NOBODY, NOBODY));
    return path;
}

// ln -s target link, run as nobody.
void plant_link(const std::string &target, const std::string &link)
{
    Launch launch = tarn_in("/", {"-s", target, link});
    launch.program = "/bin/ln";
    launch.as_nobody = true;
    const Outcome made = run_tarn(launch);
    ASSERT_EQ(0, made.status) << made.out;
}

class Traps : public testing::Test
{
  protected:
    void SetUp() override
    {
        REQUIRE_FAULT_NAMESPACE("fault");
        if (!can_run_as_nobody())
            GTEST_SKIP() << "cannot run as user " << NOBODY << " here";
        // nobody may enter the test's directory, not the files of root's in it.
        chmod(dir.path().c_str(), 0755);
        // Files only root may change, in a directory only root may enter.
        fs::create_directory(dir.file("root"));
        chmod(dir.file("root").c_str(), 0700);
        write_file(secret, PASSWD);
    }

    TempDir dir;
    std::string secret = dir.file("root/passwd");
};

TEST_F(Traps, LinksPlantedByAnotherUserAreNotFollowed)
{
    // The cache: its directory is the site owner's, who points it at a
    // file of root's.
    const std::string cache_dir = nobody_directory(dir, "cache");
    plant_link(secret, cache_dir + "/dnscache");
    Outcome run = run_tarn(tarn_in(dir.path(), {"/Q", "/D", "cache/dnscache"}));
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_NE(std::string::npos, run.out.find("the symbolic link 'dnscache' on its path belongs to user nobody"))
        << run.out;
    EXPECT_EQ(PASSWD, read_file(secret));

    // The resolved log, in a directory everyone may write.
    const std::string shared = dir.file("public");
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    fs::create_directory(dir.file("logs"));
    write_file(dir.file("logs/access.log"), LOG);
    plant_link(secret, shared + "/out.log");
    run = run_tarn(tarn_in(dir.path(), {"/Q", "/R", "public/out.log", "/L", "logs/access.log"}));
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_NE(std::string::npos, run.out.find("Unable to open output file 'public/out.log': the symbolic link"))
        << run.out;
    EXPECT_EQ(PASSWD, read_file(secret));
}

TEST_F(Traps, LogLinkOfAnotherUserIsPassedOverAndTheOutputIsNoMoreReadableThanTheLogs)
{
    const std::string logs = nobody_directory(dir, "logs");
    write_file(logs + "/access.log", LOG);
    ASSERT_EQ(0, chown((logs + "/access.log").c_str(), 0, 4)); // root:adm, as logrotate makes them
    ASSERT_EQ(0, chmod((logs + "/access.log").c_str(), 0640));
    plant_link(secret, logs + "/access.log.1");
    fs::create_directory(dir.file("out"));
    const Outcome run = run_tarn(tarn_in(dir.path(), {"/Q", "/R", "out/resolved.log", "/L", "logs/access.log*"}));
    EXPECT_EQ(0, run.status) << run.how() << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Warning: log file 'logs/access.log.1' passed over: the symbolic link "
                                              "'access.log.1' on its path belongs to user nobody"))
        << run.out;
    const std::string resolved = read_file(dir.file("out/resolved.log"));
    EXPECT_EQ(std::string::npos, resolved.find("root:x:")) << resolved;
    EXPECT_NE(std::string::npos, resolved.find("one.fault.example")) << resolved;
    struct stat status {
    };
    ASSERT_EQ(0, stat(dir.file("out/resolved.log").c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);
    EXPECT_EQ(4u, status.st_gid);
}

TEST_F(Traps, SaveByAnOwnerWhoIsNotRootKeepsTheGroupOrRefuses)
{
    // The site owner's cache, shared with group adm, saved by the owner.
    const std::string cache_dir = nobody_directory(dir, "cache");
    const std::string cache = cache_dir + "/dns.txt";
    write_file(cache, "1 192.0.2.1 one.fault.example\r\n");
    ASSERT_EQ(0, chown(cache.c_str(), NOBODY, 4));
    ASSERT_EQ(0, chmod(cache.c_str(), 0660));
    Launch launch = tarn_in(dir.path(), {"/Q", "/D", "cache/dns.txt", "/S"});
    launch.as_nobody = true;
    launch.nobody_groups = "4";
    Outcome run = run_tarn(launch);
    EXPECT_EQ(0, run.status) << run.how() << run.out;
    struct stat status {
    };
    ASSERT_EQ(0, stat(cache.c_str(), &status));
    EXPECT_EQ(4u, status.st_gid);
    EXPECT_EQ(0660u, status.st_mode & 07777);

    // Without the group, the save cannot keep it: refused, not changed.
    launch.nobody_groups.clear();
    const std::string before = read_file(cache);
    run = run_tarn(launch);
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_NE(std::string::npos, run.out.find("its group cannot be given to the new file")) << run.out;
    EXPECT_EQ(before, read_file(cache));
}

TEST_F(Traps, OutputsAreNeverInputsAndAFifoIsNeverOpened)
{
    fs::create_directory(dir.file("logs"));
    write_file(dir.file("logs/access.log"), LOG);
    write_file(dir.file("cache.txt"), "1 192.0.2.2 two.fault.example\r\n");
    Outcome run = run_tarn(tarn_in(dir.path(), {"/Q", "/R", "logs/access.log", "/L", "logs/access.log"}));
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_EQ("Log file 'logs/access.log' is the output file: a log is never written over\n", run.out);
    EXPECT_EQ(LOG, read_file(dir.file("logs/access.log")));

    run = run_tarn(tarn_in(dir.path(), {"/Q", "/R", "cache.txt", "/D", "cache.txt", "/L", "logs/access.log"}));
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_EQ("DNS file 'cache.txt' is the output file: the cache is never written over with a log\n", run.out);
    EXPECT_EQ("1 192.0.2.2 two.fault.example\r\n", read_file(dir.file("cache.txt")));

    // An output beside its logs that their pattern matches is not read
    // back in: it does not grow by a copy each run.
    for (int round = 0; round < 2; ++round) {
        run = run_tarn(tarn_in(dir.path(), {"/Q", "/R", "logs/access.log.named", "/L", "logs/access.log*"}));
        EXPECT_EQ(0, run.status) << run.how() << run.out;
        EXPECT_EQ(LOG.size() - 9 + std::string("one.fault.example").size(),
                  read_file(dir.file("logs/access.log.named")).size());
    }

    ASSERT_EQ(0, mkfifo(dir.file("logs/pipe").c_str(), 0644));
    run = run_tarn(tarn_in(dir.path(), {"/Q", "/D", "cache.txt", "/L", "logs/pipe"}, 20));
    EXPECT_EQ(2, run.status) << run.how();
    EXPECT_EQ("Unable to open log file 'logs/pipe': it is not a regular file (a FIFO, device or socket is never "
              "opened)\n",
              run.out);
}

} // namespace
