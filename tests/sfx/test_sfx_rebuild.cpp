// The committed extractor image is what its sources build to: cross-compile
// stub/ and convert it again, compare byte for byte, and check that the code
// holds only plain 68000 instructions. Needs gcc-m68k-linux-gnu and
// binutils-m68k-linux-gnu (scripts/install-deps.sh installs them).
#include <gtest/gtest.h>

#include <string>

#include "testkit.h"

namespace {

std::string src(const std::string &rel)
{
    return std::string(TMB_SOURCE_DIR) + "/" + rel;
}

bool have_tool(const std::string &name)
{
    return testkit::run_program({"/bin/sh", "-c", "command -v " + name}).status == 0;
}

TEST(SfxRebuild, CommittedImageIsReproducibleAndPlain68000)
{
    ASSERT_TRUE(have_tool("m68k-linux-gnu-gcc"))
        << "m68k-linux-gnu-gcc not found: install gcc-m68k-linux-gnu binutils-m68k-linux-gnu "
           "(scripts/install-deps.sh)";
    testkit::TempDir dir;
    auto built = testkit::run_program({"/bin/sh", src("tools/stub-image.sh"), ELF2HUNK_BIN, dir.path()});
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    // The layout fitted; a fallback to the natural layout would say so.
    EXPECT_EQ(built.err.find("natural layout"), std::string::npos) << built.err;

    testkit::Bytes rebuilt = testkit::read_file(dir / "tmb_stub.bin");
    testkit::Bytes committed = testkit::read_file(src("stub/tmb_stub.bin"));
    EXPECT_EQ(rebuilt.size(), 12048u);
    EXPECT_TRUE(rebuilt == committed)
        << "stub/tmb_stub.bin differs from a fresh build of stub/; run "
           "`cmake --build build --target stub_image` and commit the result";

    auto check = testkit::run_program({"/bin/sh", src("stub/check68000.sh"), dir.path()});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("check68000: OK"), std::string::npos) << check.out;
    std::cout << built.out << check.out;
}

} // namespace
