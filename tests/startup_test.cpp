// Start-up: every refused command line prints the banner and exactly one
// message, ends with status 1 and leaves the directory as it was.
#include "harness.h"

namespace {

const std::string usage = "Aufruf: kapmess <Datenmenge> [-r]\n"
                          "        <Datenmenge> in MByte\n"
                          "        -r  nur lesen (Dateien muessen bereits existieren)\n";
const std::string badamount = "*** Datenmenge muss größer als 0 sein.\n";

std::string badoption(const std::string& option)
{
    return "*** Ungueltiger Parameter '" + option + "'\n";
}

struct refusal {
    std::vector<std::string> args;
    std::string message;
};

const refusal refusals[] = {
    {{}, usage},
    {{"1", "-r", "x"}, usage},
    {{"1", "-R"}, badoption("-R")},
    {{"1", "-r "}, badoption("-r ")},
    {{"1", "-rx"}, badoption("-rx")},
    {{"-r", "100"}, badoption("100")},
    {{"0", "-x"}, badoption("-x")},
    {{"0"}, badamount},
    {{"abc"}, badamount},
    {{"-5"}, badamount},
    {{"0x10"}, badamount},
    {{"2147483648"}, badamount},
    {{"--5"}, badamount},
    {{"\xa0"
      "5"},
     badamount},
    {{"0", "-r"}, badamount},
    {{""}, badamount},
};

TEST_F(scratch, RefusedCommandLinesPrintOneMessageAndTouchNothing)
{
    for (const auto& refused : refusals) {
        SCOPED_TRACE(testing::PrintToString(refused.args));
        outcome result = run(refused.args);
        EXPECT_EQ(result.out, banner + refused.message);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(files().empty());
    }
}

} // namespace
