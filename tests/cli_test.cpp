// The built program run as a user runs it: texts and exit statuses.
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const std::string USAGE = "\nUsage:   TARN [options]\n"
                          "Options: /A [IP Address]       Loopup an IP address (IP->Name)\n"
                          "         /N [Domain Name]      Loopup an Domain Name (Name->IP)\n"
                          "         /D [DNS Filename]     Process a DNS file (resolve unknown)\n"
                          "         /L [Log Filename]     Process just one log (requires /D also)\n"
                          "         /T [Count]            Number of threads to use (def: 20)\n"
                          "         /G [Config Filename]  Run an Analog Config file\n"
                          "         /S                    Strip all unresolved lookups\n"
                          "         /K [Lock Filename]    Lock file to hold while /D or /L runs\n"
                          "         /Q                    Quiet: print only results, warnings and failures\n"
                          "         /R [Output Filename]  Write the logs of /L with names for addresses\n"
                          "         /C                    Confirm each name by looking up its addresses\n"
                          "         /P [Good,Bad]         Hours a name and a failure stay good for /D and /L\n"
                          "         /X                    Purge: leave out stale entries no log of this run holds\n"
                          "         /W [Filename]         Also write the names for Webalizer's wcmgr -i\n"
                          "Long forms: --address --name --dns-file --log --threads --config --strip\n"
                          "         --lock --quiet --output --confirm --periods --purge --webalizer\n"
                          "         (--option VALUE or --option=VALUE), --help, --version\n";

RunResult tarn(const std::vector<std::string> &arguments)
{
    return run_program(TARN_BINARY, arguments);
}

TEST(Cli, TooFewArgumentsShowUsage)
{
    // Asked for, the usage text is a success; a lone argument that is no
    // job (an option without its value, an unknown letter) is a failure.
    for (const auto &[arguments, status] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{}, 0}, {{"/?"}, 0}, {{"-?"}, 0}, {{"/S"}, 2}, {{"/A"}, 2}, {{"/G"}, 2}, {{"/Z"}, 2}, {{"-h"}, 2}}) {
        RunResult r = tarn(arguments);
        EXPECT_EQ(status, r.status) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_EQ(BANNER + USAGE, r.out);
        EXPECT_EQ("", r.err);
    }
    // A lone long form is read as an option: refused, or a job.
    RunResult r = tarn({"--foo"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, "", "Unknown option '--foo'\nSee 'tarn --help' for the options.\n"}), r);
}

TEST(Cli, QuestionMarkAmongOptionsShowsUsageWithStatusZero)
{
    RunResult r = tarn({"/D", "dns.txt", "/?"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BANNER + USAGE, r.out);
}

TEST(Cli, LongHelpAndVersionPrintTheirTextAndRunNothing)
{
    TempDir dir;
    const std::string version = "tarn (Tarnwick) 1.23\n"
                                "Analog's compiled settings, for /G where a configuration says nothing:\n"
                                "  DNSFILE " TARN_ANALOG_DNS_FILE ", a bare name in " TARN_ANALOG_DNS_DIRECTORY "\n"
                                "  LOGFILE " TARN_ANALOG_LOG_FILE ", a bare name in " TARN_ANALOG_LOG_DIRECTORY "\n"
                                "  DNSLOCKFILE /var/lock/dnslock, a bare name in /var/lock/\n"
                                "  DNSGOODHOURS 100000, DNSBADHOURS 336\n";
    for (const auto &[arguments, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--help"}, BANNER + USAGE},
             {{"--version"}, version},
             {{"/D", "dns.txt", "--version", "/Z"}, version},
             {{"/Q", "/D", "dns.txt", "--help"}, BANNER + USAGE},
         }) {
        RunResult r = run_program(TARN_BINARY, arguments, dir.path());
        EXPECT_EQ(0, r.status) << arguments[0];
        EXPECT_EQ(out, r.out);
        EXPECT_FALSE(std::filesystem::exists(dir.file("dns.txt")));
    }
    // Any other long word is refused, and nothing runs.
    RunResult r = tarn({"--dnsfile", "c.txt", "--lockfile", "l.log"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, "", "Unknown option '--dnsfile'\nSee 'tarn --help' for the options.\n"}), r);
    // A long option with its value is a job of its own.
    write_file(dir.file("c.txt"), "");
    r = run_program(TARN_BINARY, {"--dns-file=c.txt"}, dir.path());
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Entries saved...")) << r.out;
}

TEST(Cli, UnknownOptionPrintsOnlyItsMessage)
{
    RunResult r = tarn({"/Z", "1"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string("Unknown command (Z [ ]) (1: /Z)\n  [") + TARN_BINARY + " /Z 1]\n", r.err);
    EXPECT_EQ("", r.out);
}

TEST(Cli, MissingValueIsRefused)
{
    RunResult r = tarn({"/S", "/T"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("Couldn't get thread count\n", r.err);
    // A value refused is refused as a missing one is, before any job.
    r = tarn({"/D", "never-made.txt", "/P", "-1,24"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("hours cannot be negative")) << r.err;
    EXPECT_FALSE(std::filesystem::exists("never-made.txt"));
}

TEST(Cli, ArgumentsWithBlanksArriveWhole)
{
    // The value with a blank is quoted when the command line is rebuilt, so
    // the unknown-command message shows it as one field.
    RunResult r = tarn({"/D", "my cache.txt", "/Z"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string("Unknown command (Z [ ]) (3: /Z)\n  [") + TARN_BINARY + " /D \"my cache.txt\" /Z]\n", r.err);
    RunResult empty = tarn({"", "/Z"});
    EXPECT_EQ(std::string("Unknown command (Z [ ]) (2: /Z)\n  [") + TARN_BINARY + " \"\" /Z]\n", empty.err);
}

TEST(Cli, OverlongCommandLineIsRefusedAndNothingRuns)
{
    std::string binary = TARN_BINARY;
    std::string value(400, 'v');
    RunResult r = tarn({"/D", value});
    EXPECT_EQ(2, r.status);
    size_t length = binary.size() + 4 + value.size();
    EXPECT_EQ("The command line is too long (" + std::to_string(length) + " characters, at most 319)\n", r.err);

    RunResult huge = tarn({"/D", std::string(100000, 'h')});
    EXPECT_EQ(2, huge.status);
    EXPECT_NE(std::string::npos, huge.err.find("The command line is too long"));
}

TEST(Cli, OverlongFieldIsRefused)
{
    RunResult r = tarn({"/D", std::string(200, 'f')});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("Command line field 2 is too long (at most 159 characters)\n", r.err);
}

TEST(Cli, ArgumentWithADoubleQuoteIsRefusedAndNothingRuns)
{
    // Rebuilt into one command line, 'a"b' /S would be split as "ab /S".
    TempDir dir;
    write_file(dir.file("a\"b"), "5 1.2.3.4 kept.example\r\n");
    RunResult r = run_program(TARN_BINARY, {"/D", "a\"b", "/S"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("Command line argument 2 holds a double quote, which is not allowed\n", r.err);
    EXPECT_EQ("5 1.2.3.4 kept.example\r\n", read_file(dir.file("a\"b")));
}

// Runs on a cache whose entries all have names and stamps make no lookup,
// so they need no resolver.
const std::string NAMED_CACHE = "5 1.2.3.4 one.example\r\n6 1.2.3.5 two.example\r\n";

TEST(Cli, LockIsTakenForTheRunAndAnExistingOneStopsIt)
{
    TempDir dir;
    write_file(dir.file("dns.txt"), NAMED_CACHE);
    RunResult r = run_program(TARN_BINARY, {"/D", "dns.txt", "/K", "dns.lock"}, dir.path());
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_FALSE(std::filesystem::exists(dir.file("dns.lock")));

    // Another program's lock: refused, nothing read or written, and the
    // lock is left where it is.
    write_file(dir.file("dns.lock"), "");
    write_file(dir.file("dns.txt"), "5 1.2.3.4 one.example\n");
    for (const auto &arguments : std::vector<std::vector<std::string>>{
             {"/D", "dns.txt", "/K", "dns.lock"}, {"/D", "dns.txt", "/L", "none.log", "/K", "dns.lock"}}) {
        r = run_program(TARN_BINARY, arguments, dir.path());
        EXPECT_EQ(75, r.status); // try again later
        EXPECT_EQ(BANNER, r.out);
        EXPECT_EQ(0u, r.err.rfind("DNS lock file 'dns.lock' already exists: another program is writing the "
                                  "DNS file (an empty lock, as Analog makes: the file is owned by ",
                                  0))
            << r.err;
        EXPECT_EQ("5 1.2.3.4 one.example\n", read_file(dir.file("dns.txt")));
        EXPECT_TRUE(std::filesystem::exists(dir.file("dns.lock")));
    }
    std::filesystem::remove(dir.file("dns.lock"));

    // A lock that cannot be made, and a run that fails after taking it.
    r = run_program(TARN_BINARY, {"/D", "dns.txt", "/K", "no/dns.lock"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to create DNS lock file 'no/dns.lock' (No such file or directory)\n"}), r);
    r = run_program(TARN_BINARY, {"/D", "missing/dns.txt", "/K", "dns.lock"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_FALSE(std::filesystem::exists(dir.file("dns.lock")));
}

// A lock line as a tarn process writes it, for the process pid of this
// host, boot and PID namespace, with the start ticks given.
std::string lock_line(long pid, const std::string &start, const std::string &host)
{
    std::string boot = read_file("/proc/sys/kernel/random/boot_id");
    boot.erase(boot.find_last_not_of('\n') + 1);
    struct stat ns {
    };
    stat("/proc/self/ns/pid", &ns);
    return "tarn pid=" + std::to_string(pid) + " host=" + host + " start=" + start + " boot=" + boot +
           " pidns=" + std::to_string(ns.st_ino) + " started=2026-01-02T03:04:05Z\n";
}

std::string start_ticks(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    return field;
}

TEST(Cli, HeldLockSaysWhoseItIsAndExits75)
{
    TempDir dir;
    write_file(dir.file("dns.txt"), NAMED_CACHE);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    const pid_t sleeper = fork();
    if (sleeper == 0) {
        execl("/bin/sleep", "sleep", "60", static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(sleeper, 0);
    const std::string owner = getpwuid(geteuid())->pw_name;
    const std::string refusal = "DNS lock file 'dns.lock' already exists: another program is writing the DNS file (";
    struct Case {
        const char *what;
        std::string lock;
        const char *touch; // date for touch -d, or null
        std::string says;
    };
    const std::vector<Case> cases = {
        {"a live tarn", lock_line(sleeper, start_ticks(sleeper), host), nullptr,
         "tarn process " + std::to_string(sleeper) + " on " + host + ", started 2026-01-02T03:04:05Z (still running)"},
        {"another host", lock_line(sleeper, "1", "elsewhere.example"), nullptr,
         "tarn process " + std::to_string(sleeper) +
             " on elsewhere.example, started 2026-01-02T03:04:05Z (on another "
             "host: not checked)"},
        {"a young empty lock", "", nullptr,
         "an empty lock, as Analog makes: the file is owned by " + owner + " and is "},
        {"an old empty lock", "", "3 days ago",
         "an empty lock, as Analog makes: the file is owned by " + owner + " and is 3 days old, so probably stale"},
        {"other text", std::string(10000, 'x'), nullptr,
         "its text names no tarn process: the file is owned by " + owner},
    };
    for (const Case &c : cases) {
        write_file(dir.file("dns.lock"), c.lock);
        if (c.touch != nullptr) {
            ASSERT_EQ(0, std::system(("touch -d '" + std::string(c.touch) + "' " + dir.file("dns.lock")).c_str()));
        }
        RunResult r = run_program(TARN_BINARY, {"/Q", "/D", "dns.txt", "/K", "dns.lock"}, dir.path());
        EXPECT_EQ(75, r.status) << c.what << ": " << r.err;
        EXPECT_EQ(0u, r.err.rfind(refusal + c.says, 0)) << c.what << ": " << r.err;
        EXPECT_EQ(c.lock, read_file(dir.file("dns.lock"))) << c.what;
    }
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    // A lock of this host's that names a process gone is taken over.
    write_file(dir.file("dns.lock"), lock_line(sleeper, start_ticks(getpid()), host));
    RunResult r = run_program(TARN_BINARY, {"/Q", "/D", "dns.txt", "/K", "dns.lock"}, dir.path());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.err.rfind("DNS lock file 'dns.lock' is stale: left by tarn process " + std::to_string(sleeper) +
                                  " started 2026-01-02T03:04:05Z on " + host + ", which no longer runs",
                              0))
        << r.err;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ("dns.txt", entry.path().filename().string()) << "left behind";
}

TEST(Cli, MalformedCacheLinesAreKeptWithAWarningAndAFileWithoutRecordsIsLeftAlone)
{
    TempDir dir;
    write_file(dir.file("dns.txt"), NAMED_CACHE + "7 1.2.3.6\n");
    RunResult r = run_program(TARN_BINARY, {"/D", "dns.txt"}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Warning: 1 malformed line in DNS file 'dns.txt' kept as read (line 3)\n", r.err);
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                       "     0 [T] Entries processed (0 resolved)...\n"
                       "     2 [T] Entries saved...\n",
              printed_lines(r.out));
    EXPECT_EQ(NAMED_CACHE + "7 1.2.3.6\r\n", read_file(dir.file("dns.txt")));

    // A cache name that links to another file: refused before any lookup,
    // and the file it links to stays as it was.
    const std::string passwd = "root:x:0:0:root:/root:/bin/bash\nlist:x:38:38:Mailing List Manager:/var/list:/bin/sh\n";
    write_file(dir.file("passwd"), passwd);
    std::filesystem::create_symlink("passwd", dir.file("link.txt"));
    r = run_program(TARN_BINARY, {"/D", "link.txt"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to read DNS file 'link.txt': not a DNS cache file\n"}), r);
    EXPECT_EQ(passwd, read_file(dir.file("passwd")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.txt")));
}

TEST(Cli, QuietRunPrintsOnlyResultsWarningsAndFailures)
{
    // As cron runs it: a successful run prints nothing at all.
    TempDir dir;
    write_file(dir.file("dns.txt"), NAMED_CACHE);
    write_file(dir.file("a.log"), common_line("1.2.3.4") + common_line("1.2.3.5"));
    // These tests run outside the private DNS namespace: periods long
    // enough that nothing in the cache is due, so nothing is looked up.
    const std::string config = "DNSFILE ./dns.txt\nDNSLOCKFILE " + dir.file("dns.lock") +
                               "\nLOGFILE ./a.log\nDNSGOODHOURS 2000000000\nDNSBADHOURS 2000000000\n";
    write_file(dir.file("analog.cfg"), config);
    RunResult r = run_program(TARN_BINARY, {"/Q", "/G", "analog.cfg"}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(NAMED_CACHE, read_file(dir.file("dns.txt")));

    // A warning still goes out, and so does the message of a failed run.
    write_file(dir.file("analog.cfg"), config + "LOGFILE " + std::string(400, 'x') + "\n");
    r = run_program(TARN_BINARY, {"/G", "analog.cfg", "/Q"}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((RunResult{0, "", "Line 6 of config file 'analog.cfg' is longer than 254 characters and was skipped\n"}),
              r);
    write_file(dir.file("analog.cfg"), config + "LOGFILE ./missing.log\n");
    r = run_program(TARN_BINARY, {"/Q", "/G", "analog.cfg"}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ((RunResult{0, "", "Warning: no log file matches './missing.log': passed over\n"}), r);
    r = run_program(TARN_BINARY, {"/Q", "/D", "nodir/missing.txt"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, "", "Unable to open DNS file 'nodir/missing.txt'\n"}), r);
    EXPECT_EQ(NAMED_CACHE, read_file(dir.file("dns.txt")));

    // The answer of a single lookup is the output asked for; its failure
    // is a message, which name=$(tarn /Q /A ...) does not take as the name.
    r = tarn({"/Q", "/A", "1.2.3"});
    EXPECT_EQ((RunResult{2, "", "Unable to resolve '1.2.3'\n"}), r);
}

TEST(Cli, ResolvedLogAsAFilterFromStandardInputToStandardOutput)
{
    // Every client is in the cache already, so nothing is looked up.
    TempDir dir;
    const std::string cache = "5 192.0.2.1 alpha.example\r\n5 192.0.2.2 *\r\n";
    write_file(dir.file("dns.txt"), cache);
    // The last line fits no format: it is no client's, and stays as it is.
    const std::string log = common_line("192.0.2.1", "/a") + common_line("192.0.2.2", "/b") + " 192.0.2.1 c";
    const std::string named = "alpha.example" + common_line("", "/a") + common_line("192.0.2.2", "/b") + " 192.0.2.1 c";
    write_file(dir.file("in.log"), log);
    ASSERT_EQ(0, setenv("TMPDIR", dir.path().c_str(), 1));
    RunResult r = run_program(TARN_BINARY, {"/R", "-", "/L", "-", "/D", "dns.txt"}, dir.path(), dir.file("in.log"));
    unsetenv("TMPDIR");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(named, r.out);
    EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                       "     0 [T] Log Entries loaded... (2)\n"
                       "     1 [T] Entries processed (0 resolved)...\n"
                       "     2 [T] Entries saved...\n"
                       "     3 [T] Log Lines written... (1 named)\n"
                       "     2 [T] Completed (1 unresolved)...\n",
              printed_lines(r.err));
    EXPECT_EQ(cache, read_file(dir.file("dns.txt")));
    // The copy of standard input is gone.
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        files += entry.path().filename() == "dns.txt" || entry.path().filename() == "in.log" ? 0u : 1u;
    EXPECT_EQ(0u, files);

    // To a file, quietly; the same lines.
    r = run_program(TARN_BINARY, {"/Q", "/D", "dns.txt", "/L", "in.log", "/R", "out.log"}, dir.path());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(named, read_file(dir.file("out.log")));

    // /R needs logs, and a failed run leaves no output behind.
    r = run_program(TARN_BINARY, {"/D", "dns.txt", "/R", "none.log"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Option /R needs /L: the logs to write out with names\n"}), r);
    r = run_program(TARN_BINARY, {"/L", "in.log,missing.log", "/R", "none.log", "/D", "dns.txt"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.log")));
    // An output that cannot be made stops the run before the cache is read.
    r = run_program(TARN_BINARY, {"/L", "in.log", "/R", "no/out.log", "/D", "dns.txt"}, dir.path());
    EXPECT_EQ(2, r.status);
    EXPECT_EQ((RunResult{2, BANNER, "Unable to open output file 'no/out.log'\n"}), r);

    // Without /R standard input is read once, as it comes: no copy is made
    // (none could be, in a directory that is not there). A compressed one
    // is still read, from a copy.
    ASSERT_EQ(0, setenv("TMPDIR", dir.file("absent").c_str(), 1));
    r = run_program(TARN_BINARY, {"/Q", "/L", "-", "/D", "dns.txt"}, dir.path(), dir.file("in.log"));
    unsetenv("TMPDIR");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_EQ(cache, read_file(dir.file("dns.txt")));
    ASSERT_EQ(0, std::system(("gzip -c '" + dir.file("in.log") + "' >'" + dir.file("in.log.gz") + "'").c_str()));
    ASSERT_EQ(0, setenv("TMPDIR", dir.path().c_str(), 1));
    r = run_program(TARN_BINARY, {"/L", "-", "/D", "dns.txt"}, dir.path(), dir.file("in.log.gz"));
    unsetenv("TMPDIR");
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Log Entries loaded... (2)")) << r.out;
}

TEST(Cli, ClosedOutputPipeDoesNotStopTheRun)
{
    // As in "tarn /D cache | head -1": every write after the reader has
    // gone fails, and the run still finishes and saves.
    TempDir dir;
    write_file(dir.file("dns.txt"), "5 1.2.3.5 two.example\r\n5 1.2.3.4 one.example\r\n");
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    close(fds[0]);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        if (chdir(dir.path().c_str()) != 0)
            _exit(99);
        execl(TARN_BINARY, TARN_BINARY, "/D", "dns.txt", static_cast<char *>(nullptr));
        _exit(98);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("5 1.2.3.4 one.example\r\n5 1.2.3.5 two.example\r\n", read_file(dir.file("dns.txt")));
}

TEST(Cli, CompressedLogThatCannotBeReadStopsTheRunAndLeavesTheCache)
{
    // The run stops in the harvest, before any lookup.
    TempDir dir;
    std::string log;
    for (int i = 0; i < 5000; ++i)
        log += "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250) +
               " - - [01/Dec/2026:10:00:00 +0000] \"GET / HTTP/1.1\" 200 1\n";
    write_file(dir.file("a.log"), log);
    ASSERT_EQ(0, std::system(("cd '" + dir.path() + "' && gzip -k a.log && lz4 -q a.log b.log").c_str()));
    const std::string gz = read_file(dir.file("a.log.gz"));
    write_file(dir.file("cut.gz"), gz.substr(0, gz.size() - 9));
    write_file(dir.file("dns.txt"), NAMED_CACHE);
    for (const char *unreadable : {"cut.gz", "b.log"}) {
        RunResult r =
            run_program(TARN_BINARY, {"/D", "dns.txt", "/L", std::string("a.log.gz,") + unreadable}, dir.path());
        EXPECT_EQ(2, r.status);
        EXPECT_EQ(BANNER + "     2 [T] DNS Entries loaded...\n"
                           "  5000 [T] Log Entries loaded... (5000)\n",
                  printed_lines(r.out));
        EXPECT_EQ("Unable to read log file '" + std::string(unreadable) + "'\n", r.err);
        EXPECT_EQ(NAMED_CACHE, read_file(dir.file("dns.txt")));
    }
}

TEST(Cli, ParsedRunPrintsTheBanner)
{
    RunResult r = tarn({"/T", "5", "/S"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BANNER, r.out);
}

} // namespace
