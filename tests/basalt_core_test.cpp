// Console output, the diagnostic log, section bars and the fatal reports.
// Output is checked in forked children, so each case starts from a clean
// process and fatal reports can end it.
#include "basalt-core.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

TEST(Console, PrintWritesTheTextAndReturnsItsLength)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        int n = out_print("%d [%10.4f secs] %s\n", 12, 1.5, "done");
        out_print("length %d\n", n);
    });
    EXPECT_EQ((RunResult{0, "12 [    1.5000 secs] done\nlength 26\n", ""}), r);
}

TEST(Console, ControlBytesFromOutsideArePrintedEscaped)
{
    // A file name with a terminal escape (a title change, a clear) and a
    // carriage return: the terminal gets their text, not the sequences.
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_print("Unable to open log file '%s'\n", "a\x1b]0;owned\x07\r\x7f\tb");
    });
    EXPECT_EQ((RunResult{0, "Unable to open log file 'a\\x1b]0;owned\\x07\\x0d\\x7f\tb'\n", ""}), r);
}

TEST(Console, OutputOffWritesNothingAndPrintReturnsOne)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(0);
        int n = out_print("hello\n");
        out_section("Title");
        if (n != 1)
            _exit(3);
    });
    EXPECT_EQ((RunResult{0, "", ""}), r);
}

TEST(Console, QuietOutputLeavesOutNotesAndProgressOnly)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_note("note\n");
        out_progress("     1 Threads\r", 15);
        core_set_output_flags(core_output_flags() | OUT_QUIET);
        out_note("quiet note\n");
        out_progress("     2 Threads\r", 15);
        out_print("failure\n");
    });
    EXPECT_EQ((RunResult{0, "note\n     1 Threads\rfailure\n", ""}), r);
}

TEST(Console, EachTextGoesToItsStreamAndProgressLinesOnlyToATerminal)
{
    // Standard output is a pipe here: the timed lines go out, the
    // self-overwriting ones do not. Results and notes go to standard
    // output; messages where the platform puts them, unless one stream is
    // asked for, or standard output carries the program's product.
    const auto run = [](int flags) {
        return run_in_child([flags] {
            const char *argv[] = {"/opt/tarn/bin/tarn"};
            platform_set_command_line(1, argv);
            core_startup("debug.log", flags);
            out_progress("     1 Threads\r", 15);
            out_note("     1 [    0.0000 secs] Entries saved...\n");
            out_result("host.example\n");
            out_print("Warning: w\n");
        });
    };
    const std::string results = "     1 [    0.0000 secs] Entries saved...\nhost.example\n";
    if (platform_message_stream() == CONSOLE_ERROR)
        EXPECT_EQ((RunResult{0, results, "Warning: w\n"}), run(OUT_CONSOLE));
    else
        EXPECT_EQ((RunResult{0, results + "Warning: w\n", ""}), run(OUT_CONSOLE));
    EXPECT_EQ((RunResult{0, results + "Warning: w\n", ""}), run(OUT_CONSOLE | OUT_ONE_STREAM));
    EXPECT_EQ((RunResult{0, "", results + "Warning: w\n"}), run(OUT_CONSOLE | OUT_STDERR | OUT_ONE_STREAM));
}

TEST(Console, SectionBarsAreAlways79Characters)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_section("Memory Init");
        out_section(nullptr);
        out_section(std::string(100, 'T').c_str());
    });
    std::string titled = "\n====[Memory Init]" + std::string(62, '=') + "\n";
    std::string closing = std::string(79, '=') + "\n";
    std::string long_title = "\n====[" + std::string(74, 'T') + "\n"; // cut, its ']' lost
    ASSERT_EQ(81u, titled.size());
    EXPECT_EQ(titled + closing + long_title, r.out);
}

TEST(Console, OverlongReportIsWrittenCutThenAborts)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_print("%s", std::string(2049, 'x').c_str());
    });
    EXPECT_EQ(1, r.status);
    ASSERT_GE(r.out.size(), 2048u);
    EXPECT_EQ(std::string(2048, 'x'), r.out.substr(0, 2048));
    EXPECT_EQ("\n\nABORT: Last string too large (2049)\n       (basalt-core/", r.out.substr(2048, 58));
    EXPECT_EQ("Internal error, program aborting...: Last string too large (2049)\n", r.err);
}

TEST(Console, ReportOfExactly2048CharactersIsFine)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_print("%s", std::string(2048, 'y').c_str());
    });
    EXPECT_EQ((RunResult{0, std::string(2048, 'y'), ""}), r);
}

TEST(FatalReports, AbortShowsTheBoxThenTheReportAndSite)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        out_print("before\n");
        mark_abort_site("lookup", 42);
        fatal_abort("(%s) (%d) No memory available (%d)\n", "lookup", 7, 96);
    });
    EXPECT_EQ((RunResult{1, "before\n\n\nABORT: (lookup) (7) No memory available (96)\n       (lookup/42)\n",
                         "Internal error, program aborting...: (lookup) (7) No memory available (96)\n"}),
              r);
}

TEST(FatalReports, AssertHasTheSameShapeWithoutABox)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        mark_assert_site("cmdline", 9);
        fatal_assert(1, "not shown\n");
        out_print("still running\n");
        mark_assert_site("cmdline", 10);
        fatal_assert(0, "Pointer is NULL\n");
        out_print("not reached\n");
    });
    EXPECT_EQ((RunResult{1, "still running\n\n\nASSERT: Pointer is NULL\n        (cmdline/10)\n", ""}), r);
}

TEST(FatalReports, AssertWithOutputOffEndsSilently)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(0);
        fatal_assert(0, "Pointer is NULL\n");
    });
    EXPECT_EQ((RunResult{1, "", ""}), r);
}

TEST(FatalReports, SitesAreKeptPerThread)
{
    const RunResult r = run_in_child([] {
        start_core_for_test(OUT_CONSOLE);
        mark_assert_site("main-thread", 1);
        std::thread other([] { mark_assert_site("worker", 2); });
        other.join();
        fatal_assert(0, "x\n");
    });
    EXPECT_EQ("\n\nASSERT: x\n        (main-thread/1)\n", r.out);
}

TEST(FatalReports, EmptyCommandLineAbortsThroughTheBoxOnly)
{
    const RunResult r = run_in_child([] {
        platform_set_command_line(0, nullptr);
        core_startup("debug.log", OUT_CONSOLE);
    });
    EXPECT_EQ(
        (RunResult{1, "", "Internal error, program aborting...: No starting path was specified on commandline!\n"}), r);
}

struct LogPathCase {
    const char *program_path;
    const char *log_name;
    const char *expected;
};

TEST(LogPath, LivesInTheProgramsDirectory)
{
    const LogPathCase cases[] = {
        {"/opt/tarn/bin/tarn", "debug.log", "/opt/tarn/bin/debug.log"},
        {"tarn", "debug.log", "debug.log"},
        {"/tarn", "debug.log", "debug.log"}, // only separator is the first byte
        {"./tarn", "debug.log", "./debug.log"},
        {"/opt/my tools/tarn", "debug.log", "/opt/my tools/debug.log"},
        {"/opt/tarn", "", "/opt/debug.log"},
        {"/opt/tarn", "x", "/opt/debug.log"},
        {"/opt/tarn", "my.log", "/opt/my.log"},
    };
    for (const LogPathCase &c : cases) {
        start_core_for_test(OUT_CONSOLE, c.program_path);
        core_startup(c.log_name, OUT_CONSOLE);
        EXPECT_STREQ(c.expected, core_log_path()) << c.program_path;
    }
}

TEST(LogPath, TooLongTurnsTheLogFileOff)
{
    std::string deep = "/" + std::string(800, 'd') + "/tarn";
    start_core_for_test(OUT_CONSOLE | OUT_LOGFILE, deep.c_str());
    EXPECT_STREQ("", core_log_path());
    EXPECT_EQ(OUT_CONSOLE, core_output_flags() & ~(OUT_PROGRESS_ANYWHERE | OUT_ONE_STREAM));
}

TEST(LogFile, IsEmptiedAtStartUnlessKept)
{
    TempDir dir;
    std::string program = dir.file("tarn");
    std::string log = dir.file("debug.log");
    write_file(log, "old\n");
    const RunResult r = run_in_child([&] {
        start_core_for_test(OUT_LOGFILE, program.c_str());
        out_print("first %d\n", 1);
    });
    EXPECT_EQ("", r.out); // console is off
    EXPECT_EQ("first 1\n", read_file(log));
    run_in_child([&] {
        start_core_for_test(OUT_LOGFILE | OUT_KEEPLOG | OUT_CONSOLE, program.c_str());
        out_print("second\n");
    });
    EXPECT_EQ("first 1\nsecond\n", read_file(log));
}

TEST(LogFile, VerboseStartPrintsTheLibraryBanner)
{
    const RunResult r = run_in_child([] { start_core_for_test(OUT_CONSOLE | OUT_VERBOSE); });
    EXPECT_EQ("Basalt v0.22\n", r.out);
}

} // namespace
