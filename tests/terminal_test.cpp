// On a terminal the progress line lives: it moves within a file, tells the
// rate and the time still to go, and never leaves pieces of a longer line.
#include "harness.h"

#include <algorithm>
#include <map>
#include <regex>
#include <set>

namespace {

// What a terminal width columns wide shows after these bytes, row by row. It
// knows carriage return, line feed (with the return that a terminal's output
// processing adds), erase to the end of the line and UTF-8, and wraps a full
// row when the next character comes.
std::vector<std::string> screen(const std::string& bytes, std::size_t width = 1000)
{
    std::vector<std::vector<std::string>> rows(1);
    std::size_t row = 0, column = 0;
    auto newrow = [&] {
        if (++row == rows.size())
            rows.emplace_back();
        column = 0;
    };
    for (std::size_t i = 0; i < bytes.size(); i++) {
        auto& cells = rows[row];
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (bytes.compare(i, 3, "\x1b[K") == 0) {
            cells.resize(std::min(column, cells.size()));
            i += 2;
        } else if (byte == '\r') {
            column = 0;
        } else if (byte == '\n') {
            newrow();
        } else if ((byte & 0xc0) == 0x80 && column > 0) {
            rows[row][column - 1] += bytes[i];
        } else {
            if (column == width)
                newrow();
            auto& target = rows[row];
            if (column >= target.size())
                target.resize(column + 1);
            target[column++] = std::string(1, bytes[i]);
        }
    }
    std::vector<std::string> shown;
    for (const auto& cells : rows) {
        std::string text;
        for (const auto& cell : cells)
            text += cell;
        shown.push_back(text);
    }
    return shown;
}

const std::string figures = "(, [0-9]+\\.[0-9] MByte/s, noch [0-9]+:[0-9][0-9])";

TEST_F(scratch, ProgressLineOnATerminalLives)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    // 96 blocks at 40 ms each: about four seconds a pass.
    outcome result = runonterminal({"6"}, "slow 1.kpm 40000");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);

    const std::regex line("\r(Schreibe|Verifiziere) Datei '1\\.kpm' \\(insgesamt erledigt: ([0-9]+)%\\)" +
                          figures + "?(\x1b\\[K)?");
    std::map<std::string, std::set<int>> percents, withfigures;
    for (std::sregex_iterator at(result.out.begin(), result.out.end(), line), end; at != end; ++at) {
        const auto& shown = *at;
        EXPECT_TRUE(shown[4].matched) << "not erased to its end: " << shown.str();
        percents[shown[1]].insert(std::stoi(shown[2]));
        if (shown[3].matched)
            withfigures[shown[1]].insert(std::stoi(shown[2]));
    }
    for (const char* pass : {"Schreibe", "Verifiziere"}) {
        SCOPED_TRACE(pass);
        EXPECT_GE(percents[pass].size(), 10u);
        EXPECT_GE(withfigures[pass].size(), 3u);
        EXPECT_LT(*percents[pass].rbegin(), 100);
    }

    const std::vector<std::string> shown = screen(result.out);
    ASSERT_EQ(shown.size(), 7u) << result.out;
    EXPECT_EQ(shown[0] + "\n" + shown[1] + "\n", banner);
    EXPECT_TRUE(std::regex_match(
        shown[2], std::regex("Schreibe Datei '1\\.kpm' \\(insgesamt erledigt: 9[0-9]%\\)" + figures)))
        << shown[2];
    EXPECT_EQ(shown[3], "Fertig. Mittlere Transferrate R MByte/s");
    EXPECT_TRUE(std::regex_match(
        shown[4], std::regex("Verifiziere Datei '1\\.kpm' \\(insgesamt erledigt: 9[0-9]%\\)" + figures)))
        << shown[4];
    EXPECT_EQ(shown[5], "Fertig. Mittlere Transferrate R MByte/s");
    EXPECT_EQ(shown[6], "");
}

// A terminal too narrow for the progress line, and one that cannot rewrite
// a line at all (an editor's shell buffer), get what a pipe gets: one line
// per file and not a single escape sequence. Rewriting a line that wraps
// would add a row at every update.
TEST_F(scratch, TerminalsThatCannotRewriteTheLineGetThePipesLines)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    invocation narrow = injecting("slow 1.kpm 20000"), dumb = narrow;
    narrow.columns = 30;
    dumb.columns = 100;
    dumb.term = "dumb";
    for (const invocation& how : {narrow, dumb}) {
        SCOPED_TRACE(how.term + " terminal of " + std::to_string(how.columns) + " columns");
        outcome result = run({"6"}, how);
        EXPECT_EQ(result.out, cleanrun());
        EXPECT_EQ(result.status, 0);
    }
}

// A window narrowed below the line's width ends the rewriting at the next
// update; the rest of the run shows the pipe's lines.
TEST_F(scratch, NarrowedTerminalStopsRewritingTheLine)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    invocation how = injecting("slow 1.kpm 40000");
    how.columns = 100;
    how.narrowafter = "MByte/s, noch";
    how.narrowto = 40;
    outcome result = run({"6"}, how);
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(result.narrowedat, 0u) << "no live figures came to narrow at";
    const std::size_t lastrewrite = result.out.rfind("\x1b[K");
    ASSERT_NE(lastrewrite, std::string::npos);
    EXPECT_LT(lastrewrite, result.narrowedat + 200) << "rewritten after the window was narrowed";
    EXPECT_EQ(result.out.substr(lastrewrite + 3),
              rateline + verifyheading + verifyprogress("1.kpm", 0) + rateline);
}

// exFAT through FUSE writes into the system's cache of the device beneath:
// the line must still follow the medium, not the memory.
TEST_F(scratch, LiveLineFollowsASlowMediumBeneathFuse)
{
    if (underwine())
        GTEST_SKIP() << "Wine does not reach the loop devices of the host";
    constexpr double writerate = 16, readrate = 48;
    const std::string why = mountloop("exfat", 256, writerate, readrate);
    if (!why.empty())
        GTEST_SKIP() << why;
    outcome result = runonterminal({"160"});
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(result.longestpause, 3.0) << "the line stood still";
    ASSERT_EQ(result.rates.size(), 2u);
    EXPECT_NEAR(result.rates[0], writerate, 0.3 * writerate) << "write pass";
    EXPECT_NEAR(result.rates[1], readrate, 0.3 * readrate) << "verify pass";

    const std::regex line(
        "\rSchreibe Datei '1\\.kpm' \\(insgesamt erledigt: ([0-9]+)%\\)(, ([0-9.]+) MByte/s)?");
    std::set<int> percents;
    for (std::sregex_iterator at(result.out.begin(), result.out.end(), line), end; at != end; ++at) {
        percents.insert(std::stoi((*at)[1]));
        if ((*at)[3].matched) {
            const double rate = std::stod((*at)[3]);
            EXPECT_TRUE(rate >= 8 && rate <= 24) << "live rate " << rate << " MByte/s";
        }
    }
    EXPECT_GE(percents.size(), 5u);
}

} // namespace

// kapprobe's line on an 80-column terminal: rate and time left in every
// kind of step, the saving and the flush included, umlauts counted as one
// column each; a share that never goes back, and 100% at the end.
TEST_F(scratch, ProbeLineOnATerminalTellsRateAndTimeAndEndsAtAHundred)
{
    if (underwine())
        GTEST_SKIP() << "a pseudo-terminal is a Linux one";
    if (const std::string why = attachcard("honest " + std::to_string(256 << 20) + " 0 0 512"); !why.empty())
        GTEST_SKIP() << why;
    // Slow enough that every step lasts seconds.
    if (const std::string why = throttlecard(16, 24); !why.empty())
        GTEST_SKIP() << why;
    invocation how;
    how.command = kapprobecommand();
    how.columns = 80;
    outcome result = run({"--cache", "64", cardname}, how);
    EXPECT_EQ(result.status, 0) << result.out;
    const std::regex line("\r(Runde [0-9]+: )?([^(\r\n]+) \\(insgesamt erledigt: ([0-9]+)%\\)" + figures +
                          "?(\x1b\\[K)?");
    int last = 0;
    std::set<std::string> withfigures;
    for (std::sregex_iterator at(result.out.begin(), result.out.end(), line), end; at != end; ++at) {
        const int share = std::stoi((*at)[3]);
        EXPECT_GE(share, last) << at->str();
        last = share;
        if ((*at)[4].matched)
            withfigures.insert((*at)[2]);
        // One row of the screen: fewer than 80 columns, whatever its umlauts.
        EXPECT_EQ(screen(at->str(), 80).size(), 1u) << at->str();
    }
    EXPECT_EQ(last, 100);
    for (const char* step : {"Sichere ins Journal", "Schreibe Füllblöcke", "Stelle wieder her"})
        EXPECT_EQ(withfigures.count(step), 1u) << step;
}
