// What else shares a run's descriptors and directory: closed standard
// streams, other runs, other names of a test file. None of them may make a
// healthy medium look bad or a file of the user's take the test data.
#include "harness.h"

#include <fstream>

namespace fs = std::filesystem;

namespace {

TEST_F(scratch, ClosedStandardOutputTakesNoTestData)
{
    if (underwine())
        GTEST_SKIP() << "Windows files are handles of their own, never a closed standard stream";
    invocation closed;
    closed.stdoutclosed = true;
    outcome result = run({"4"}, closed);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(fs::file_size(dir / "1.kpm"), 4u << 20);
    EXPECT_EQ(run({"4", "-r"}).out, cleanrun(true)) << "1.kpm holds nothing but the test data";
}

// A writing run keeps every other run out of its directory, and runs that
// only verify keep writers out but not each other.
TEST_F(scratch, OneWriterOrManyVerifiersPerDirectory)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    const std::string refusedwrite = banner + "\n*** Kann Ausgabedatei '1.kpm' nicht öffnen\n";
    const std::string refusedverify = banner + verifyheading + "\n*** Kann Datei '1.kpm' nicht öffnen\n";
    // 32 blocks at 20 ms each: over half a second a pass.
    const invocation slow = injecting("slow 1.kpm 20000");

    running writer = start({"2"}, slow);
    waitfor(writer.outpath, "Schreibe Datei");
    outcome second = run({"2"});
    EXPECT_EQ(second.out, refusedwrite);
    EXPECT_EQ(second.status, 1);
    outcome verifier = run({"2", "-r"});
    EXPECT_EQ(verifier.out, refusedverify);
    EXPECT_EQ(verifier.status, 1);
    outcome first = collect(writer);
    EXPECT_EQ(first.out, cleanrun());
    EXPECT_EQ(first.status, 0);

    running reader = start({"2", "-r"}, slow);
    waitfor(reader.outpath, "Verifiziere Datei");
    outcome other = run({"2", "-r"});
    EXPECT_EQ(other.out, cleanrun(true));
    EXPECT_EQ(other.status, 0);
    outcome writerlate = run({"2"});
    EXPECT_EQ(writerlate.out, refusedwrite);
    EXPECT_EQ(writerlate.status, 1);
    outcome readerend = collect(reader);
    EXPECT_EQ(readerend.out, cleanrun(true));
    EXPECT_EQ(readerend.status, 0);
}

TEST_F(scratch, HardLinkWhereAFileGoesIsNeverWritten)
{
    std::ofstream(dir / "notes.txt") << "must survive";
    fs::create_hard_link(dir / "notes.txt", dir / "1.kpm");
    outcome result = run({"1"});
    EXPECT_EQ(result.out, banner + "\n*** Kann Ausgabedatei '1.kpm' nicht öffnen\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readbytes(dir / "notes.txt", 0, 100), "must survive");
}

} // namespace
