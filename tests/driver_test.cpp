// The driver's own logic: the amount parser, the rate, the live line and the
// listing.
#include "console/liveline.h"
#include "driver/numbers.h"
#include "driver/showdiff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(Amount, ParsesLikeTheCommandLineRules)
{
    const std::pair<const char*, std::int32_t> cases[] = {
        {"1", 1},
        {"12abc", 12},
        {"+5", 5},
        {" \t\n\v\f\r7", 7},
        {"0", 0},
        {"abc", 0},
        {"", 0},
        {"-5", -5},
        {"0x10", 0},
        {"--5", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"\xa0"
         "5",
         0},
        {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},
        {"4294967297", 1},
        {"-2147483648", INT32_MIN},
        {"99999999999999999999", 1661992959},
    };
    for (const auto& [text, amount] : cases)
        EXPECT_EQ(parseamount(text), amount) << '"' << text << '"';
}

std::string rateline(std::int32_t amount, std::int64_t elapsed, std::int64_t frequency)
{
    char line[64];
    std::snprintf(line, sizeof line, "%.2f", transferrate(amount, elapsed, frequency));
    return line;
}

TEST(Rate, DividesByTheTicksThenMultipliesByTheFrequency)
{
    EXPECT_EQ(rateline(10, 4000000, 1000000), "2.50");
    EXPECT_EQ(rateline(1, 3, 1), "0.33");
    EXPECT_EQ(rateline(1, 0, 1000000000), "inf");
    EXPECT_EQ(rateline(100, -2000000000, 1000000000), "-50.00");
    EXPECT_EQ(rateline(2147483647, 1, 1000000000), "2147483647000000000.00");
}

TEST(Progress, TruncatesAndNeverOverflows)
{
    EXPECT_EQ(percentdone(16, 16), 0);
    EXPECT_EQ(percentdone(32768, 1), 99);
    EXPECT_EQ(percentdone(48000, 48000 - 32767), 68);
    EXPECT_EQ(percentdone(22400000, 22400000 - 21495152), 95);
    const std::int64_t largest = 16 * std::int64_t{2147483647};
    EXPECT_EQ(percentdone(largest, 32767), 99);
}

TEST(Liveline, FormatsTheRateAndTheTimeLeft)
{
    EXPECT_EQ(formatfigures(18.3, 754), ", 18.3 MByte/s, noch 12:34");
    EXPECT_EQ(formatfigures(2.04, 0), ", 2.0 MByte/s, noch 0:00");
    EXPECT_EQ(formatfigures(99.96, 59), ", 99.9 MByte/s, noch 0:59");
    EXPECT_EQ(formatfigures(950, 59), ", 950 MByte/s, noch 0:59");
    EXPECT_EQ(formatfigures(0.5, 3599.6), ", 0.5 MByte/s, noch 1:00:00");
    EXPECT_EQ(formatfigures(0.5, 36000), ", 0.5 MByte/s, noch 10:00:00");
    // The widest figures still fit behind the widest line of the first file
    // on an 80-column terminal, leaving its last column free.
    const std::string widest = "Verifiziere Datei '1.kpm' (insgesamt erledigt: 99%)" +
                               formatfigures(999.99, 99 * 3600 + 59 * 60 + 59);
    EXPECT_EQ(widest, "Verifiziere Datei '1.kpm' (insgesamt erledigt: 99%), 999 MByte/s, noch 99:59:59");
    EXPECT_LT(widest.size(), 80u);
}

TEST(Liveline, RateOfTheLastSecondsAndTimeLeftAtTheMeanRate)
{
    // A counter of 10 ticks a second; figures in MiB.
    constexpr std::int64_t mib = 1 << 20;
    livestart(1000, 10);
    EXPECT_FALSE(livedue(1000));
    EXPECT_TRUE(livedue(1001));
    EXPECT_FALSE(livedue(1001));
    EXPECT_EQ(livefigures(1001, 1 * mib, 9 * mib), "") << "no rate yet";
    EXPECT_EQ(livefigures(1020, 2 * mib, 8 * mib), ", 1.0 MByte/s, noch 0:08");
    // The medium slows down: the rate shows it at once, the time left follows
    // the mean rate of the pass.
    EXPECT_EQ(livefigures(1040, 3 * mib, 7 * mib), ", 0.5 MByte/s, noch 0:09");
    livestart(2000, 10);
    EXPECT_EQ(livefigures(2019, 10 * mib, 0), "") << "a new pass has no rate yet";
}

std::string listing(const std::vector<unsigned char>& expected, const std::vector<unsigned char>& actual,
                    std::uint32_t length, std::uint32_t base)
{
    testing::internal::CaptureStdout();
    showdiff(expected.data(), actual.data(), length, base);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Showdiff, ListsDifferingRowsOnly)
{
    const std::vector<unsigned char> expected = {1,    0,    0,    0,    0x07, 0x75, 0x83, 0x48,
                                                 0x78, 0xc5, 0xba, 0xd0, 0xf9, 0x1c, 0x67, 0xdc};
    auto actual = expected;
    actual[4] = 0x00;
    actual[10] = 0xbb;
    EXPECT_EQ(listing(expected, actual, 16, 0x10000),
              "00010000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n"
              "00010008: .. .. ba .. .. .. .. .. | .. .. bb .. .. .. .. ..\n");
    EXPECT_EQ(listing(expected, expected, 16, 0), "");
    EXPECT_EQ(listing(expected, actual, 15, 0),
              "00000000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n");
    EXPECT_EQ(listing(expected, actual, 7, 0), "");
}

TEST(Showdiff, PrintsBytesUnsignedAndTheLastRowWithItsOffset)
{
    std::vector<unsigned char> expected(65536, 0x00), actual(65536, 0x00);
    actual[65535] = 0xff;
    EXPECT_EQ(listing(expected, actual, 65536, 0x7ffe0000),
              "7ffefff8: .. .. .. .. .. .. .. 00 | .. .. .. .. .. .. .. ff\n");
}

TEST(Showdiff, StopsAfterEightRows)
{
    std::vector<unsigned char> expected(65536, 0x5a);
    for (int rows : {8, 9, 8192}) {
        auto actual = expected;
        for (int row = 0; row < rows; row++)
            actual[row * 8] = 0xa5;
        std::string want;
        for (int row = 0; row < 8; row++) {
            char line[80];
            std::snprintf(line, sizeof line, "%8.8x: 5a .. .. .. .. .. .. .. | a5 .. .. .. .. .. .. ..\n",
                          row * 8);
            want += line;
        }
        if (rows > 8)
            want += "...\n";
        EXPECT_EQ(listing(expected, actual, 65536, 0), want) << rows << " rows";
    }
}

} // namespace
