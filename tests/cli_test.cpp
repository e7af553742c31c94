// The built program run as a user runs it: texts and exit statuses.
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

const std::string BANNER = "\nKelvarn Tarnwick (TARN) - Tarnwick Lookup version 1.23 [06/07/1999]\n"
                           "The latest version is always available at https://tarnwick.example.org/\n\n";
const std::string USAGE = "\nUsage:   TARN [options]\n"
                          "Options: /A [IP Address]       Loopup an IP address (IP->Name)\n"
                          "         /N [Domain Name]      Loopup an Domain Name (Name->IP)\n"
                          "         /D [DNS Filename]     Process a DNS file (resolve unknown)\n"
                          "         /L [Log Filename]     Process just one log (requires /D also)\n"
                          "         /T [Count]            Number of threads to use (def: 20)\n"
                          "         /G [Config Filename]  Run an Analog Config file\n"
                          "         /S                    Strip all unresolved lookups\n";

RunResult tarn(const std::vector<std::string> &arguments)
{
    return run_program(TARN_BINARY, arguments);
}

TEST(Cli, TooFewArgumentsShowUsage)
{
    for (const auto &arguments : std::vector<std::vector<std::string>>{{}, {"/S"}, {"/?"}, {"/A"}, {"/X"}}) {
        RunResult r = tarn(arguments);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(BANNER + USAGE, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(Cli, QuestionMarkAmongOptionsShowsUsageWithStatusZero)
{
    RunResult r = tarn({"/D", "dns.txt", "/?"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BANNER + USAGE, r.out);
}

TEST(Cli, UnknownOptionPrintsOnlyItsMessage)
{
    RunResult r = tarn({"/X", "1"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string("Unknown command (X [ ]) (1: /X)\n  [") + TARN_BINARY + " /X 1]\n", r.out);
}

TEST(Cli, MissingValueIsRefused)
{
    RunResult r = tarn({"/S", "/T"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("Couldn't get thread count\n", r.out);
}

TEST(Cli, ArgumentsWithBlanksArriveWhole)
{
    // The value with a blank is quoted when the command line is rebuilt, so
    // the unknown-command message shows it as one field.
    RunResult r = tarn({"/D", "my cache.txt", "/Q"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(std::string("Unknown command (Q [ ]) (3: /Q)\n  [") + TARN_BINARY + " /D \"my cache.txt\" /Q]\n", r.out);
    RunResult empty = tarn({"", "/Q"});
    EXPECT_EQ(std::string("Unknown command (Q [ ]) (2: /Q)\n  [") + TARN_BINARY + " \"\" /Q]\n", empty.out);
}

TEST(Cli, OverlongCommandLineIsRefusedAndNothingRuns)
{
    std::string binary = TARN_BINARY;
    std::string value(400, 'v');
    RunResult r = tarn({"/D", value});
    EXPECT_EQ(2, r.status);
    size_t length = binary.size() + 4 + value.size();
    EXPECT_EQ("The command line is too long (" + std::to_string(length) + " characters, at most 319)\n", r.out);

    RunResult huge = tarn({"/D", std::string(100000, 'h')});
    EXPECT_EQ(2, huge.status);
    EXPECT_NE(std::string::npos, huge.out.find("The command line is too long"));
}

TEST(Cli, OverlongFieldIsRefused)
{
    RunResult r = tarn({"/D", std::string(200, 'f')});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("Command line field 2 is too long (at most 159 characters)\n", r.out);
}

TEST(Cli, ParsedRunPrintsTheBanner)
{
    RunResult r = tarn({"/T", "5", "/S"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(BANNER, r.out);
}

TEST(TestSupport, PrintedLinesMaskTimesAndDropProgress)
{
    EXPECT_EQ("     7 [T] DNS Entries loaded...\n     1 [T] Done (2)\n",
              printed_lines("     7 [    0.0010 secs] DNS Entries loaded...\n     1 Threads [  0/ 20]\r"
                            "     1 Waiting [  1/ 20]\r     1 [12345.6789 secs] Done (2)\n"));
    EXPECT_EQ("[ 1.23 secs] [x.0000 secs]\n", printed_lines("[ 1.23 secs] [x.0000 secs]\n"));
}

} // namespace
