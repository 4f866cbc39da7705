// A level-2 header is the name's length plus 34 bytes; for a 222-byte name
// that is 256, whose low byte, the header's first byte, is 0: the end mark.
// Such headers are written one pad byte longer. Archives from before that
// hold the 256-byte form, which must still read as an entry (not as the
// end, which would hide every entry behind it) and be rewritten in the new
// form by the commands that rewrite archives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#include "lzh_builder.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::RunResult;
using testkit::TempDir;

namespace {

const std::string kLong(222, 'n');

class ZeroLed : public ::testing::Test {
protected:
    RunResult run(const std::vector<std::string> &args)
    {
        testkit::RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        return testkit::run_tambrix(args, o);
    }
    // Offsets of the headers of the archive, walked by their sizes.
    std::vector<size_t> header_offsets(const Bytes &a)
    {
        std::vector<size_t> at;
        size_t p = 0;
        while (p + 22 < a.size() && (a[p] != 0 || a[p + 1] == 1)) {
            at.push_back(p);
            size_t T = a[p] | (size_t)a[p + 1] << 8;
            size_t comp = a[p + 7] | (size_t)a[p + 8] << 8 | (size_t)a[p + 9] << 16 | (size_t)a[p + 10] << 24;
            p += T + comp;
        }
        return at;
    }
    TempDir dir;
};

TEST_F(ZeroLed, WrittenWithAPadByteAndReadBackByEveryCommand)
{
    testkit::write_text(dir / "a.txt", "first");
    testkit::write_text(dir / kLong, "long name");
    testkit::write_text(dir / "b.txt", "last");
    RunResult a = run({"aq", "x.tmb", "a.txt", kLong, "b.txt"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("Added: 3  Errors: 0"), std::string::npos) << a.out;
    Bytes arc = testkit::read_file(dir / "x.tmb");
    std::vector<size_t> at = header_offsets(arc);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(arc[at[1]], 1);     // 257 bytes: 01 01
    EXPECT_EQ(arc[at[1] + 1], 1);
    size_t count = 0;
    EXPECT_EQ(testkit::header_crc_faults(arc, &count), ""); // the pad byte is covered
    EXPECT_EQ(count, 3u);

    EXPECT_NE(run({"lq", "x.tmb"}).out.find("  3 files\n"), std::string::npos);
    EXPECT_EQ(run({"tq", "x.tmb"}).status, 0);
    ASSERT_EQ(run({"xq", "x.tmb", "out/"}).status, 0);
    EXPECT_EQ(testkit::read_text(dir / ("out/" + kLong)), "long name");
    EXPECT_EQ(testkit::read_text(dir / "out/b.txt"), "last");
    ASSERT_EQ(run({"dq", "x.tmb", "a.txt"}).status, 0);
    EXPECT_EQ(testkit::header_crc_faults(testkit::read_file(dir / "x.tmb"), &count), "");
    EXPECT_EQ(count, 2u);
    EXPECT_NE(run({"lq", "x.tmb"}).out.find("  2 files\n"), std::string::npos);
    EXPECT_EQ(run({"pq", "x.tmb", "b.txt"}).out, "last");
    // u replaces it with a newer copy; the entry after it survives.
    testkit::write_text(dir / kLong, "newer and longer");
    struct timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
    utimensat(AT_FDCWD, (dir / kLong).c_str(), later, 0);
    ASSERT_EQ(run({"uq", "x.tmb", kLong}).status, 0);
    EXPECT_EQ(testkit::header_crc_faults(testkit::read_file(dir / "x.tmb"), &count), "");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(run({"pq", "x.tmb", kLong}).out, "newer and longer");
    EXPECT_EQ(run({"pq", "x.tmb", "b.txt"}).out, "last");
    EXPECT_EQ(run({"tq", "x.tmb"}).status, 0);
}

// The 256-byte form of earlier versions: listed, tested, extracted, and
// made over into the new form by d (and u, f: the same copy). After an
// entry, a zero byte followed by anything else still ends the archive for
// the reading commands.
TEST_F(ZeroLed, EarlierFormIsReadAndRepaired)
{
    Bytes old = testkit::make_archive({testkit::build_lv2(testkit::stored("a.txt", "first")),
                                       testkit::build_lv2(testkit::stored(kLong, "long name")),
                                       testkit::build_lv2(testkit::stored("b.txt", "last"))});
    std::vector<size_t> at = header_offsets(old);
    ASSERT_EQ(at.size(), 3u);
    ASSERT_EQ(old[at[1]], 0); // the builder writes the 256-byte form
    testkit::write_file(dir / "old.tmb", old);

    EXPECT_NE(run({"lq", "old.tmb"}).out.find("  3 files\n"), std::string::npos);
    EXPECT_EQ(run({"tq", "old.tmb"}).status, 0);
    ASSERT_EQ(run({"xq", "old.tmb", "out/"}).status, 0);
    EXPECT_EQ(testkit::read_text(dir / "out/b.txt"), "last");

    RunResult d = run({"dq", "old.tmb", "a.txt"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("Deleted: 1  Kept: 2"), std::string::npos) << d.out;
    Bytes now = testkit::read_file(dir / "old.tmb");
    at = header_offsets(now);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_NE(now[at[0]], 0); // renewed with its pad byte
    size_t count = 0;
    EXPECT_EQ(testkit::header_crc_faults(now, &count), "");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(run({"pq", "old.tmb", kLong}).out, "long name");
    EXPECT_EQ(run({"tq", "old.tmb"}).status, 0);

    // A zero byte not followed by a sound 256-byte header is the end; so
    // is one whose header CRC does not match.
    Bytes broken = old;
    broken[header_offsets(old)[1] + 30] ^= 0xFF; // inside the name
    testkit::write_file(dir / "broken.tmb", broken);
    RunResult l = run({"lq", "broken.tmb"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("  1 file\n"), std::string::npos) << l.out;
}

} // namespace
