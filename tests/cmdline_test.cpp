// The command-line parser and the options record.
#include "basalt-core.h"
#include "cmdline.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <string>

namespace
{

class Parser : public testing::Test
{
  protected:
    void SetUp() override
    {
        start_core_for_test(OUT_CONSOLE);
        options_create(&options);
    }
    void TearDown() override
    {
        options_destroy(&options);
        EXPECT_EQ(nullptr, options);
    }

    // Parses the text; returns the parse result and keeps what was printed.
    int parse(const std::string &text)
    {
        testing::internal::CaptureStdout();
        int result = parse_command_line(options, text.c_str(), &usage_requested);
        printed = testing::internal::GetCapturedStdout();
        return result;
    }

    LookupOptions *options = nullptr;
    std::string printed;
    int usage_requested = -1;
};

TEST_F(Parser, WorkedExample)
{
    ASSERT_EQ(1, parse("C:\\tools\\prog.exe -d dns.txt /l \"C:\\Web Logs\\*.log\" /t 50 /s"));
    EXPECT_STREQ("dns.txt", options->dns_file);
    EXPECT_STREQ("C:\\Web Logs\\*.log", options->log_file);
    EXPECT_EQ(50, options->thread_count);
    EXPECT_EQ(STRIP_UNRESOLVED, options->flags);
    EXPECT_STREQ("", options->lookup_address);
    EXPECT_STREQ("", options->lookup_name);
    EXPECT_STREQ("", options->config_file);
    EXPECT_EQ("", printed);
    EXPECT_EQ(0, usage_requested);
}

TEST_F(Parser, EveryPrefixMixAndNoneNameTheSameOption)
{
    for (const char *spelling : {"/a", "-A", "\\A", "--A", "//A", "A", "/Address", "-\\/a"}) {
        options->lookup_address[0] = '\0';
        ASSERT_EQ(1, parse(std::string("prog ") + spelling + " 1.2.3.4")) << spelling;
        EXPECT_STREQ("1.2.3.4", options->lookup_address) << spelling;
    }
}

TEST_F(Parser, ValueIsTheNextFieldWhateverItLooksLike)
{
    ASSERT_EQ(1, parse("prog /A /N"));
    EXPECT_STREQ("/N", options->lookup_address);
    EXPECT_STREQ("", options->lookup_name);

    ASSERT_EQ(1, parse("prog /T50 /S"));
    EXPECT_EQ(1, options->thread_count); // "/S" is the value and reads as 0
    EXPECT_EQ(0u, options->flags);
}

TEST_F(Parser, ThreadCountIsClampedAndReadLikeADecimalPrefix)
{
    const std::pair<const char *, int> cases[] = {
        {"0", 1},
        {"-5", 1},
        {"1", 1},
        {"2", 2},
        {"499", 499},
        {"500", 500},
        {"9999", 500},
        {"20x", 20},
        {"abc", 1},
        {"  +30", 30},
        {"99999999999999999999999", 500},
        {"-99999999999999999999999", 1},
    };
    for (const auto &[value, expected] : cases) {
        ASSERT_EQ(1, parse(std::string("prog /T \"") + value + "\""));
        EXPECT_EQ(expected, options->thread_count) << value;
    }
}

TEST_F(Parser, FlagsAndRepeatedOptions)
{
    ASSERT_EQ(1, parse("prog /D first.txt /S /D dns.txt /S"));
    EXPECT_STREQ("dns.txt", options->dns_file);
    EXPECT_EQ(STRIP_UNRESOLVED, options->flags);
    EXPECT_EQ(20, options->thread_count); // no /T: the default the usage gives
    ASSERT_EQ(1, parse("prog /G analog.cfg /N host.example /L \"\" /S"));
    EXPECT_STREQ("analog.cfg", options->config_file);
    EXPECT_STREQ("host.example", options->lookup_name);
    EXPECT_STREQ("", options->log_file);
    ASSERT_EQ(1, parse("prog -q /D dns.txt /S"));
    EXPECT_EQ(STRIP_UNRESOLVED | QUIET_RUN, options->flags);
}

TEST_F(Parser, PeriodsPurgeAndWebalizerFile)
{
    ASSERT_EQ(1, parse("prog /D dns.txt /P 168,24 /X /W names.txt"));
    EXPECT_EQ(1, options->periods_given);
    EXPECT_EQ(168, options->good_hours);
    EXPECT_EQ(24, options->bad_hours);
    EXPECT_EQ(PURGE_STALE, options->flags);
    EXPECT_STREQ("names.txt", options->webalizer_file);
    ASSERT_EQ(1, parse("prog --periods=0,2147483647 --purge --webalizer n"));
    EXPECT_EQ(0, options->good_hours);
    EXPECT_EQ(2147483647, options->bad_hours);
    EXPECT_STREQ("n", options->webalizer_file);

    // Refused, so that a run never goes on with periods it was not given.
    for (const char *value : {"168", ",24", "1,2,3", "1.5,2", "2147483648,1", "1-2,3"}) {
        EXPECT_EQ(0, parse(std::string("prog /P \"") + value + "\" /D dns.txt")) << value;
        EXPECT_EQ(std::string("Periods '") + value +
                      "' of /P are not Good,Bad: two numbers of hours (up to 2147483647) such as 168,24\n",
                  printed);
    }
    for (const char *value : {"-1,24", "168,-24"}) {
        EXPECT_EQ(0, parse(std::string("prog --periods=") + value)) << value;
        EXPECT_EQ(std::string("Periods '") + value +
                      "' of /P: hours cannot be negative (0 makes every entry of its kind due)\n",
                  printed);
    }
    EXPECT_EQ(0, parse("prog /P"));
    EXPECT_EQ("Couldn't get periods (Good,Bad hours)\n", printed);
    EXPECT_EQ(0, parse("prog /W"));
    EXPECT_EQ("Couldn't get Webalizer filename\n", printed);
}

TEST_F(Parser, EmptyQuotedFieldIsSkipped)
{
    ASSERT_EQ(1, parse("prog \"\" /S"));
    EXPECT_EQ(STRIP_UNRESOLVED, options->flags);
}

TEST_F(Parser, QuotedProgramPathIsOneField)
{
    ASSERT_EQ(1, parse("\"/opt/my tools/tarn\" /D \"my cache.txt\""));
    EXPECT_STREQ("my cache.txt", options->dns_file);
}

TEST_F(Parser, MissingValuesHaveTheirOwnMessages)
{
    const std::pair<const char *, const char *> cases[] = {
        {"/S /A", "Couldn't get IP Address\n"},    {"/S /D", "Couldn't get Analog DNS filename\n"},
        {"/S /G", "Couldn't get Analog config\n"}, {"/S /L", "Couldn't get server log filename\n"},
        {"/S /N", "Couldn't get Domain Name\n"},   {"/S /T", "Couldn't get thread count\n"},
    };
    for (const auto &[arguments, message] : cases) {
        EXPECT_EQ(0, parse(std::string("prog ") + arguments));
        EXPECT_EQ(message, printed);
    }
}

TEST_F(Parser, UnknownLetterPrintsTheWholeLine)
{
    EXPECT_EQ(0, parse("prog /Z 1"));
    EXPECT_EQ("Unknown command (Z [ ]) (1: /Z)\n  [prog /Z 1]\n", printed);
    EXPECT_EQ(0, usage_requested);

    EXPECT_EQ(0, parse("prog /D a.txt -zyx"));
    EXPECT_EQ("Unknown command (z [y]) (3: -zyx)\n  [prog /D a.txt -zyx]\n", printed);

    // A field of prefix characters only: its last character is the letter.
    EXPECT_EQ(0, parse("prog /S /"));
    EXPECT_EQ("Unknown command (/ [ ]) (2: /)\n  [prog /S /]\n", printed);
    EXPECT_EQ(0, parse("prog -\\"));
    EXPECT_EQ("Unknown command (\\ [ ]) (1: -\\)\n  [prog -\\]\n", printed);
}

TEST_F(Parser, LongFormsAreAliasesAndOtherWordsAreRefused)
{
    ASSERT_EQ(1, parse("tarn --address a --name n --dns-file=d --log l --threads=7 --config g --strip --lock=k "
                       "--quiet --output o --confirm"));
    EXPECT_STREQ("a", options->lookup_address);
    EXPECT_STREQ("n", options->lookup_name);
    EXPECT_STREQ("d", options->dns_file);
    EXPECT_STREQ("l", options->log_file);
    EXPECT_EQ(7, options->thread_count);
    EXPECT_STREQ("g", options->config_file);
    EXPECT_STREQ("k", options->lock_file);
    EXPECT_STREQ("o", options->output_file);
    EXPECT_EQ(STRIP_UNRESOLVED | QUIET_RUN | CONFIRM_NAMES, options->flags);
    // "--" and one letter, and words after "/" or "-", keep the letter's
    // meaning; a value that looks like a long form is a value.
    ASSERT_EQ(1, parse("tarn --A x -dnsfile --lockfile /Log y"));
    EXPECT_STREQ("x", options->lookup_address);
    EXPECT_STREQ("--lockfile", options->dns_file);
    EXPECT_STREQ("y", options->log_file);
    // A guessed long form never runs as the option of its first letter.
    for (const char *word : {"--dnsfile", "--config-file", "--Dns-file", "--quiet=yes", "--verbose"}) {
        EXPECT_EQ(0, parse(std::string("tarn /D c.txt ") + word + " x")) << word;
        EXPECT_EQ(std::string("Unknown option '") + word + "'\nSee 'tarn --help' for the options.\n", printed);
        EXPECT_EQ(0, usage_requested);
    }
    EXPECT_EQ(0, parse("tarn --dns-file="));
    EXPECT_EQ("Couldn't get Analog DNS filename\n", printed);
    EXPECT_EQ(0, parse("tarn --log"));
    EXPECT_EQ("Couldn't get server log filename\n", printed);
}

TEST_F(Parser, QuestionMarkShowsUsageAndStops)
{
    EXPECT_EQ(0, parse("prog /D dns.txt /?"));
    EXPECT_EQ(1, usage_requested);
    EXPECT_NE(std::string::npos, printed.find("\nUsage:   TARN [options]\n"));
    EXPECT_EQ(0u, printed.find("\nKelvarn Tarnwick (TARN) - Tarnwick Lookup version 1.23 [06/07/1999]\n"));
}

TEST_F(Parser, OverlongFieldIsRefusedNotCut)
{
    std::string fits(FIELD_TEXT_SIZE - 1, 'f');
    ASSERT_EQ(1, parse("prog /D " + fits));
    EXPECT_EQ(fits, options->dns_file);

    std::string too_long(FIELD_TEXT_SIZE, 'f');
    EXPECT_EQ(0, parse("prog /D " + too_long));
    EXPECT_EQ("Command line field 2 is too long (at most 159 characters)\n", printed);
    EXPECT_EQ(0, parse("prog /" + too_long));
    EXPECT_EQ("Command line field 1 is too long (at most 159 characters)\n", printed);
}

TEST_F(Parser, NothingAfterTheProgramPathParsesToNothing)
{
    EXPECT_EQ(1, parse("prog"));
    EXPECT_EQ(1, parse(""));
    EXPECT_EQ("", printed);
}

} // namespace
