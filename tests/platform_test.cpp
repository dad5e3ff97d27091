// What the platform layer promises alike on every system it runs on.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Windows takes reads of a file opened past its cache only at whole sectors,
// into memory aligned to them. The layer checks that rule itself, so that it
// breaks under Wine, which lets such reads pass, as on Windows.
TEST(Platform, UnbufferedReadsKeepToWholeSectors)
{
    const std::string name =
        (std::filesystem::temp_directory_path() / ("kapmess-platform-test-" + std::to_string(std::rand())))
            .string();
    std::ofstream(name, std::ios::binary) << std::string(65536, 'k');
    unsigned char* buffer = allocbuffer(65536);
    filehandle file = openfile(name.c_str());
    ASSERT_NE(file, nofile);
    EXPECT_TRUE(readfileat(file, 4096, buffer, 4096));
    EXPECT_EQ(buffer[0], 'k');
    const bool misaligned = readfileat(file, 40, buffer, 32);
    if (thissystem() == operatingsystem::windows) {
        EXPECT_FALSE(misaligned);
        EXPECT_NE(systemreason().find("nicht auf Sektoren"), std::string::npos) << systemreason();
    } else {
        EXPECT_TRUE(misaligned);
    }
    closefile(file);
    freebuffer(buffer);
    std::remove(name.c_str());
}

} // namespace
