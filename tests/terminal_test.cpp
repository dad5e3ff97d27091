// On a terminal the progress line lives: it moves within a file, tells the
// rate and the time still to go, and never leaves pieces of a longer line.
#include "harness.h"

#include <map>
#include <regex>
#include <set>

namespace {

// What a terminal shows after these bytes, line by line: it knows carriage
// return, line feed and erase to the end of the line.
std::vector<std::string> screen(const std::string& bytes)
{
    std::vector<std::string> lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); i++) {
        std::string& line = lines.back();
        if (bytes.compare(i, 3, "\x1b[K") == 0) {
            line.resize(column);
            i += 2;
        } else if (bytes[i] == '\r') {
            column = 0;
        } else if (bytes[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (column < line.size()) {
            line[column++] = bytes[i];
        } else {
            line += bytes[i];
            column++;
        }
    }
    return lines;
}

const std::string figures = "(, [0-9]+\\.[0-9] MByte/s, noch [0-9]+:[0-9][0-9])";

TEST_F(scratch, ProgressLineOnATerminalLives)
{
    if (underwine())
        GTEST_SKIP() << "the fault-injection library works on Linux system calls only";
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

} // namespace
