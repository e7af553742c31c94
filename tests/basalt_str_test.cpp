// String helpers and the field tokenizer.
#include "basalt-core.h"
#include "basalt-str.h"
#include "test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace
{

TEST(CheckedCopy, CopiesWholeTextAndReportsFit)
{
    char buffer[8];
    EXPECT_EQ(1, checked_copy(buffer, "abc"));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(1, checked_copy(buffer, "1234567")); // exactly fills the buffer
    EXPECT_STREQ("1234567", buffer);
    EXPECT_EQ(1, checked_copy(buffer, ""));
    EXPECT_STREQ("", buffer);
}

TEST(CheckedCopy, CutsAtCapacityAndNeverWritesPastIt)
{
    char buffer[12];
    std::memset(buffer, 'Z', sizeof buffer);
    EXPECT_EQ(0, checked_copy(buffer, 8, "123456789"));
    EXPECT_STREQ("1234567", buffer);
    EXPECT_EQ('Z', buffer[8]); // beyond the stated capacity nothing changed
    EXPECT_EQ(0, checked_copy(buffer, 0, "x"));
}

TEST(CheckedAppend, AppendsWithinCapacity)
{
    char buffer[8] = "";
    EXPECT_EQ(1, checked_append(buffer, "ab")); // onto empty: same as a copy
    EXPECT_STREQ("ab", buffer);
    EXPECT_EQ(1, checked_append(buffer, "cde"));
    EXPECT_STREQ("abcde", buffer);
    EXPECT_EQ(0, checked_append(buffer, "fghij"));
    EXPECT_STREQ("abcdefg", buffer);
    EXPECT_EQ(7, checked_length(buffer));
    EXPECT_EQ(0, checked_length(""));
}

TEST(CheckedEqual, ComparesExactly)
{
    EXPECT_EQ(1, checked_equal("*", "*"));
    EXPECT_EQ(0, checked_equal("*", "*UNK*"));
    EXPECT_EQ(0, checked_equal("*UNK*", "*"));
    EXPECT_EQ(1, checked_equal("", ""));
    EXPECT_EQ(0, checked_equal("Alpha", "alpha"));
}

TEST(CheckedEqualNocase, MatchesKeywordsOverTheirLength)
{
    EXPECT_EQ(1, checked_equal_nocase("dnsfile dns.txt", "DNSFILE", 7));
    EXPECT_EQ(1, checked_equal_nocase("LogFile x", "LOGFILE", 7));
    EXPECT_EQ(0, checked_equal_nocase("DNSFIL", "DNSFILE", 7)); // terminator meets E
    EXPECT_EQ(1, checked_equal_nocase("abc", "xyz", 0));
    EXPECT_EQ(1, checked_equal_nocase("abc", "xyz", -3));
    EXPECT_EQ(0, checked_equal_nocase("DNSGOODHOURS", "DNSGOODHOURZ", 12));
    // Both texts end together before count: equal, and nothing past them is read.
    EXPECT_EQ(1, checked_equal_nocase("ab", "AB", 50));
    // Only ASCII letters fold.
    EXPECT_EQ(0, checked_equal_nocase("[", "{", 1));
    EXPECT_EQ(0, checked_equal_nocase("\xC4", "\xE4", 1));
}

TEST(StringHelpersDeath, NullPointersEndWithAssertNamingTheModule)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    start_core_for_test(OUT_CONSOLE);
    char buffer[4];
    const char *null_text = nullptr;
    // A pattern that GoogleTest's simple regular expressions (its Windows
    // ones) read as its POSIX ones do: no bracket expressions.
    EXPECT_EXIT((dup2(2, 1), checked_copy(nullptr, 4, "x")), testing::ExitedWithCode(1),
                "\n\nASSERT: Pointer is NULL\n        \\(basalt-str/.+\\)\n");
    EXPECT_EXIT((dup2(2, 1), checked_copy(buffer, null_text)), testing::ExitedWithCode(1), "ASSERT: Pointer is NULL");
    EXPECT_EXIT((dup2(2, 1), checked_length(nullptr)), testing::ExitedWithCode(1), "ASSERT: Pointer is NULL");
    EXPECT_EXIT((dup2(2, 1), checked_equal("a", nullptr)), testing::ExitedWithCode(1), "ASSERT: Pointer is NULL");
}

TEST(StringHelpersDeath, NullDestinationIsCheckedBeforeSource)
{
    start_core_for_test(OUT_CONSOLE);
    char buffer[4];
    RunResult both = run_in_child([] { checked_copy(nullptr, 4, nullptr); });
    RunResult destination = run_in_child([] { checked_copy(nullptr, 4, "x"); });
    RunResult source = run_in_child([&buffer] { checked_copy(buffer, 4, nullptr); });
    EXPECT_EQ(1, both.status);
    EXPECT_EQ(both.out, destination.out); // same site: the destination's check
    EXPECT_NE(both.out, source.out);
}

// -- Field tokenizer --------------------------------------------------------

std::string field(const char *text, int n)
{
    char buffer[160];
    return field_copy(text, n, buffer) == 1 ? std::string(buffer) : std::string("<none>");
}

TEST(FieldTokenizer, CountsFieldsAfterTheFirst)
{
    EXPECT_EQ(0, field_count(""));
    EXPECT_EQ(0, field_count("   \t  "));
    EXPECT_EQ(0, field_count("prog"));
    EXPECT_EQ(2, field_count("prog /A 1.2.3.4"));
    EXPECT_EQ(2, field_count("  prog   /A\r\n1.2.3.4   \r\n")); // trailing blanks make no field
    EXPECT_EQ(1, field_count("\"C:\\Program Files\\x\\prog.exe\" /S"));
    // Control bytes other than CR and LF neither separate nor start a field.
    EXPECT_EQ(0, field_count("prog\t/S"));
    EXPECT_EQ(1, field_count("prog \t /S"));
}

TEST(FieldTokenizer, LocatesFieldsAndReportsTheLastNumber)
{
    const char *text = "prog  -d dns.txt";
    int last = -1;
    EXPECT_STREQ("-d dns.txt", field_locate(text, 1, &last));
    EXPECT_EQ(2, last);
    EXPECT_EQ(nullptr, field_locate(text, 3, &last));
    EXPECT_EQ(2, last);
    EXPECT_STREQ("dns.txt", field_locate(text, 2, nullptr));
}

TEST(FieldTokenizer, CopiesFieldsWithoutQuotes)
{
    EXPECT_EQ("C:\\Program Files\\x\\a.log", field("/L \"C:\\Program Files\\x\\a.log\"", 1));
    EXPECT_EQ("abc d", field("ab\"c d\"", 0)); // quotes open mid-field
    EXPECT_EQ("ab", field("\"ab\"cd ef", 0));  // text after the closing quote is dropped
    EXPECT_EQ("ef", field("\"ab\"cd ef", 1));
    EXPECT_EQ("", field("prog \"\" /S", 1)); // empty pair of quotes: an empty field
    EXPECT_EQ("/S", field("prog \"\" /S", 2));
    EXPECT_EQ("<none>", field("prog", 1));
    // A tab ends the copy but not the field.
    EXPECT_EQ("ab", field("ab\tcd ef", 0));
    EXPECT_EQ("ef", field("ab\tcd ef", 1));
}

TEST(FieldTokenizer, RefusesAFieldLongerThanTheBuffer)
{
    char buffer[8];
    checked_copy(buffer, "old");
    EXPECT_EQ(0, field_copy("prog 12345678", 1, buffer));
    EXPECT_STREQ("", buffer);
    EXPECT_NE(nullptr, field_locate("prog 12345678", 1, nullptr)); // it exists, it just does not fit
    EXPECT_EQ(1, field_copy("prog 1234567", 1, buffer));
    EXPECT_STREQ("1234567", buffer);
}

} // namespace
