// The listing commands l, v and L run end to end on archives made by the
// byte builder; their output is compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "lzh_builder.h"
#include "testkit.h"
#include "tmb_shown.h"

using testkit::Bytes;
using testkit::LzhEntry;
using testkit::run_tambrix;
using testkit::RunOptions;
using testkit::TempDir;

namespace {

LzhEntry entry(const std::string &name, const std::string &method, size_t packed, uint32_t orig,
               uint32_t time, uint16_t crc, uint8_t os_id = 'U')
{
    LzhEntry e;
    e.name = name;
    e.method = method;
    e.packed = Bytes(packed, 0x5A);
    e.orig_size = orig;
    e.time = time;
    e.crc = crc;
    e.os_id = os_id;
    return e;
}

// One entry of each level, a compressed one, one that grew, an empty one
// and one with a method this program does not know.
Bytes sample_archive()
{
    LzhEntry readme = entry("readme.txt", "-lh0-", 5, 5, testkit::dos_stamp(2026, 11, 30, 12, 34, 56), 0xA001);
    LzhEntry docs = entry("a.txt", "-lh5-", 30, 100, testkit::dos_stamp(1980, 1, 1, 0, 0, 0), 0x0BCD);
    docs.dir = "docs";
    LzhEntry unknown = entry("unknown.bin", "-lh9-", 7, 7, 0, 0);
    LzhEntry big = entry("big.bin", "-lh6-", 105, 100, 0, 0xFFFF, 'A');
    LzhEntry empty = entry("empty", "-lh0-", 0, 0, 1796042096, 0, 'A');
    return testkit::make_archive({testkit::build_lv0(readme), testkit::build_lv1(docs),
                                  testkit::build_lv2(unknown), testkit::build_lv2(big),
                                  testkit::build_lv2(empty)});
}

const std::string SHORT_HEAD =
    " Method    Orig     Comp  Ratio  Date/Time         Name\n"
    " --------  -------  -------  ----  ----------------  --------------------\n";
const std::string LONG_HEAD =
    "[OS] Method   Original Packed   Ratio  Date/Time          Name          CRC  Lv\n"
    "---- -------- -------- -------- ----- ----------------  -------------------- ---- --\n";
const std::string SEP = " --------  -------  -------\n";

const std::string SHORT_LINES =
    " -lh0-       5       5   0% 2026-11-30 12:34 readme.txt\n"
    " -lh5-     100      30  70% 1980-01-01 00:00 docs/a.txt\n"
    " -lh6-     100     105  -5% 1970-01-01 00:00 big.bin\n"
    " -lh0-       0       0   0% 2026-11-30 12:34 empty\n";
const std::string SAMPLE_TOTAL = " Total        205      140   32%  4 files\n";

const std::string SAMPLE_SHORT = " arc.lzh\n" + SHORT_HEAD + SHORT_LINES + SEP + SAMPLE_TOTAL;

const std::string SAMPLE_LONG =
    " arc.lzh\n" + LONG_HEAD +
    "[-] -lh0-        5        5    0%  2026-11-30 12:34  readme.txt  crc=A001  lv0\n"
    "[U] -lh5-      100       30   70%  1980-01-01 00:00  docs/a.txt  crc=0BCD  lv1\n"
    "[A] -lh6-      100      105   -5%  1970-01-01 00:00  big.bin  crc=FFFF  lv2\n"
    "[A] -lh0-        0        0    0%  2026-11-30 12:34  empty  crc=0000  lv2\n" +
    SEP + SAMPLE_TOTAL;

struct ListTest : ::testing::Test {
    TempDir dir;
    RunOptions in_dir;
    void SetUp() override
    {
        testkit::write_file(dir / "arc.lzh", sample_archive());
        in_dir.cwd = dir.path();
    }
    testkit::RunResult run(const std::vector<std::string> &args) { return run_tambrix(args, in_dir); }
};

TEST_F(ListTest, ShortAndLongForms)
{
    struct Case {
        std::vector<std::string> args;
        const std::string &expect;
    } cases[] = {
        {{"lq", "arc.lzh"}, SAMPLE_SHORT},
        {{"l", "arc.lzh", "-q"}, SAMPLE_SHORT},
        {{"vq", "arc.lzh"}, SAMPLE_LONG},
        {{"lvq", "arc.lzh"}, SAMPLE_LONG},
        {{"l", "-v", "-q", "arc.lzh"}, SAMPLE_LONG},
    };
    for (const Case &c : cases) {
        testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.expect) << c.args[0];
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(ListTest, BannerAndBufferLineComeFirstUnlessQuiet)
{
    testkit::RunResult r = run({"l", "arc.lzh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.find("RAM: 32MB\n")), "RAM: 32MB\n" + SAMPLE_SHORT);
    EXPECT_EQ(r.out.rfind("TAMBRIX 1.0 build 119  [AmigaOS 68000]\n", 0), 0u);
}

TEST_F(ListTest, FileArgumentsSelectEntries)
{
    struct Case {
        std::vector<std::string> patterns;
        std::string lines, total;
    } cases[] = {
        {{"*.txt"},
         " -lh0-       5       5   0% 2026-11-30 12:34 readme.txt\n"
         " -lh5-     100      30  70% 1980-01-01 00:00 docs/a.txt\n",
         " Total        105       35   67%  2 files\n"},
        {{"a.txt"}, // through the base name
         " -lh5-     100      30  70% 1980-01-01 00:00 docs/a.txt\n",
         " Total        100       30   70%  1 file\n"},
        {{"#?.bin", "empty"},
         " -lh6-     100     105  -5% 1970-01-01 00:00 big.bin\n"
         " -lh0-       0       0   0% 2026-11-30 12:34 empty\n",
         " Total        100      105   -5%  2 files\n"},
        {{"unknown.bin", "nothing"}, "", " Total          0        0    0%  0 files\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"lq", "arc.lzh"};
        args.insert(args.end(), c.patterns.begin(), c.patterns.end());
        testkit::RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, " arc.lzh\n" + SHORT_HEAD + c.lines + SEP + c.total) << c.patterns[0];
    }
}

TEST_F(ListTest, EmptyAndDamagedArchives)
{
    Bytes full = sample_archive();
    // Cut inside the third listed entry's header (the lv2 "big.bin").
    size_t cut_at = full.size() - 2 - (34 + 5 + 0) - (34 + 7 + 105) + 10;
    struct Case {
        const char *what;
        Bytes bytes;
        std::string body;
        std::string err; // start of the message; empty: none, status 0
    } cases[] = {
        {"empty file", {}, SEP + " Total          0        0    0%  0 files\n", ""},
        {"zero byte", {0}, SEP + " Total          0        0    0%  0 files\n", ""},
        {"truncated", Bytes(full.begin(), full.begin() + (long)cut_at),
         " -lh0-       5       5   0% 2026-11-30 12:34 readme.txt\n"
         " -lh5-     100      30  70% 1980-01-01 00:00 docs/a.txt\n" +
             SEP + " Total        105       35   67%  2 files\n",
         "Damaged archive: t.tmb (unreadable entry header at offset "},
        {"no archive at all", testkit::Bytes{'r', 'o', 'o', 't', ':', 'x', ':', '0', '\n'},
         SEP + " Total          0        0    0%  0 files\n", "Not an LZH archive: t.tmb ("},
    };
    for (const Case &c : cases) {
        testkit::write_file(dir / "t.tmb", c.bytes);
        testkit::RunResult r = run({"lq", "t"});
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << c.what << r.err;
        EXPECT_EQ(r.out, " t.tmb\n" + SHORT_HEAD + c.body) << c.what;
        // The same rule for every reading command.
        for (const char *cmd : {"tq", "xq"}) {
            r = run({cmd, "t", "readme.txt", "docs/a.txt"});
            if (!c.err.empty()) {
                EXPECT_EQ(r.status, 1) << c.what << cmd;
                EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << cmd << r.err;
            }
        }
    }
}

TEST_F(ListTest, MissingArchive)
{
    for (const char *cmd : {"l", "v", "L"}) {
        std::vector<std::string> args{cmd, "-q", "nope"};
        if (cmd[0] == 'L')
            args.push_back("out.txt");
        testkit::RunResult r = run(args);
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.out, "") << cmd;
        EXPECT_EQ(r.err, "Cannot open: nope.tmb\n") << cmd;
    }
    EXPECT_FALSE(testkit::file_exists(dir / "out.txt"));
}

TEST_F(ListTest, SaveListWritesTheShortFormOfEveryEntry)
{
    // The modifier v does not change L, and the second file argument is
    // ignored rather than used as a pattern.
    testkit::RunResult r = run({"Lv", "arc.lzh", "out.txt", "*.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(testkit::read_text(dir / "out.txt"), SAMPLE_SHORT);
    const std::string saved = "List saved to: out.txt (4 files)\n";
    ASSERT_GE(r.out.size(), saved.size());
    EXPECT_EQ(r.out.substr(r.out.size() - saved.size()), saved);

    testkit::write_file(dir / "one.lzh",
                        testkit::make_archive({testkit::build_lv2(testkit::stored("x", "abc"))}));
    r = run({"L", "-q", "one.lzh", "one.txt"});
    EXPECT_EQ(r.out, "");
    r = run({"L", "one.lzh", "one.txt"});
    EXPECT_NE(r.out.find("List saved to: one.txt (1 file)\n"), std::string::npos);
}

TEST_F(ListTest, SaveListFailures)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"Lq", "arc.lzh"}, "Usage: L <archive> <output-list-file>\n"},
        {{"Lq", "arc.lzh", "no/such/dir.txt"}, "Cannot create: no/such/dir.txt\n"},
        // A list that cannot be written is not reported as saved.
        {{"L", "arc.lzh", "/dev/full"}, "Cannot write: /dev/full\n"},
    };
    for (const Case &c : cases) {
        testkit::RunResult r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args.back();
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("List saved"), std::string::npos);
    }
}

// L never replaces what it lists, nor any other archive; a link named as
// the list keeps pointing at the file that gets the listing.
TEST_F(ListTest, SaveListNeverOverwritesAnArchive)
{
    const Bytes arc = testkit::read_file(dir / "arc.lzh");
    testkit::write_file(dir / "b.tmb", testkit::make_archive({testkit::build_lv2(testkit::stored("x", "abc"))}));
    const Bytes b = testkit::read_file(dir / "b.tmb");
    ASSERT_EQ(link((dir / "arc.lzh").c_str(), (dir / "hard.lzh").c_str()), 0);
    for (const char *target : {"arc.lzh", "hard.lzh", "b.tmb"}) {
        testkit::RunResult r = run({"Lq", "arc.lzh", target});
        EXPECT_EQ(r.status, 1) << target;
        EXPECT_EQ(r.err, std::string("Not writing the listing over an archive: ") + target + "\n");
        EXPECT_EQ(testkit::read_file(dir / "arc.lzh"), arc);
        EXPECT_EQ(testkit::read_file(dir / "b.tmb"), b);
    }
    testkit::write_text(dir / "real.txt", "old list");
    ASSERT_EQ(symlink("real.txt", (dir / "list.txt").c_str()), 0);
    testkit::RunResult r = run({"Lq", "arc.lzh", "list.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(lstat((dir / "list.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(testkit::read_text(dir / "real.txt"), SAMPLE_SHORT);
}

// An archive need not start a file to be in it: a self-extractor holds its
// archive after the extractor's code, other files anywhere. L replaces none
// of them, not even an AmigaOS program that holds nothing yet; a text that
// only mentions method ids, or an earlier listing, is replaced.
TEST_F(ListTest, SaveListNeverOverwritesAFileHoldingAnArchive)
{
    testkit::write_text(dir / "f.txt", "packed into a self-extractor");
    ASSERT_EQ(run({"aq", "-sfx", "s", "f.txt"}).status, 0);
    const Bytes inner = testkit::make_archive({testkit::build_lv2(testkit::stored("x", "abc"))});
    auto around = [&](size_t before, size_t after) {
        Bytes b(before + inner.size() + after, 0x5A);
        std::fill(b.begin(), b.begin() + (long)before, 0xA5);
        std::copy(inner.begin(), inner.end(), b.begin() + (long)before);
        return b;
    };
    testkit::write_file(dir / "inside.bin", around(100, 50));
    // The header starts a few bytes before the end of the first 64 KB.
    testkit::write_file(dir / "across.bin", around(65536 - 10, 50));
    Bytes hunk(64, 0);  // the hunk header's type word, 0x3F3, and nothing more
    hunk[2] = 0x03;
    hunk[3] = 0xF3;
    testkit::write_file(dir / "empty.run", hunk);
    for (const char *target : {"s.run", "inside.bin", "across.bin", "empty.run"}) {
        SCOPED_TRACE(target);
        const Bytes was = testkit::read_file(dir / target);
        testkit::RunResult r = run({"Lq", "arc.lzh", target});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("Not writing the listing over an archive: ") + target + "\n");
        EXPECT_EQ(testkit::read_file(dir / target), was);
    }
    testkit::write_text(dir / "notes.txt", "Methods: -lh0- stores, -lh5- packs.\n");
    testkit::write_text(dir / "old.txt", SAMPLE_SHORT);
    for (const char *target : {"notes.txt", "old.txt"}) {
        SCOPED_TRACE(target);
        testkit::RunResult r = run({"Lq", "arc.lzh", target});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testkit::read_text(dir / target), SAMPLE_SHORT);
    }
}

// A part name lists the whole joined archive, as x and t read it.
TEST_F(ListTest, PartNameListsTheJoinedArchive)
{
    std::string big(3000, 'q');
    testkit::write_file(dir / "s.tmb", testkit::make_archive({testkit::build_lv2(testkit::stored("one", big)),
                                                              testkit::build_lv2(testkit::stored("two", big))}));
    ASSERT_EQ(run({"sq", "s.tmb", "2"}).status, 0);
    for (const char *cmd : {"lq", "vq"}) {
        testkit::RunResult r = run({cmd, "s.tmb.001"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind(" s.tmb.001\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("  2 files\n"), std::string::npos) << r.out;
    }
    testkit::RunResult r = run({"Lq", "s.tmb.001", "list.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(testkit::read_text(dir / "list.txt").find("  2 files\n"), std::string::npos);
}

// What a name may show on a terminal: every control escaped, C0, DEL and
// C1 alike, in whatever form the terminal would take it; text kept.
TEST(ShownNames, ControlsAreEscapedAndTextIsKept)
{
    struct Case {
        const char *what;
        std::string name, shown;
    } cases[] = {
        {"C0 and DEL", "a\x1b[2J\r\n\x7f", "a\\033[2J\\015\\012\\177"},
        {"UTF-8 text", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD"},
        // U+2019 and U+201B carry 0x80 and 0x9B as continuation bytes
        {"continuation bytes in the C1 range", "it\xE2\x80\x99s \xE2\x80\x9B", "it\xE2\x80\x99s \xE2\x80\x9B"},
        {"U+00A0 and U+00FF, the first and last after C1", "\xC2\xA0\xC3\xBF", "\xC2\xA0\xC3\xBF"},
        {"U+0080, U+009B and U+009F", "\xC2\x80" "x\xC2\x9B" "31m\xC2\x9F", "\\302\\200x\\302\\23331m\\302\\237"},
        {"raw 0x80 to 0x9F outside UTF-8", "\x80" "a\x9B" "2J\x9F", "\\200a\\2332J\\237"},
        {"8-bit text outside UTF-8", "caf\xE9 \xA0\xFF", "caf\xE9 \xA0\xFF"},
        {"cut sequence at the end", "x\xE2\x82", "x\xE2\\202"},
        {"overlong form of U+009B", "\xC0\x9B\xC1\x80", "\xC0\\233\xC1\\200"},
        {"surrogate", "\xED\xA0\x80", "\xED\xA0\\200"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\xF4\\220\\200\\200"},
        {"lead byte then a control", "\xC2\x1b[", "\xC2\\033["},
    };
    for (const Case &c : cases)
        EXPECT_EQ(tmb_shown(c.name.c_str()), c.shown) << c.what;
}

// The listings show C1 controls escaped as they show C0 ones, and UTF-8
// names as they are.
TEST_F(ListTest, NamesWithC1ControlsAreEscaped)
{
    testkit::write_file(dir / "c1.lzh",
                        testkit::make_archive({testkit::build_lv2(entry("u\xC2\x9B" "2J.txt", "-lh0-", 3, 3, 0, 0, 'A')),
                                               testkit::build_lv2(entry("r\x9B" "2J.txt", "-lh0-", 3, 3, 0, 0, 'A')),
                                               testkit::build_lv2(entry("caf\xC3\xA9.txt", "-lh0-", 3, 3, 0, 0, 'A'))}));
    const std::string lines = " -lh0-       3       3   0% 1970-01-01 00:00 u\\302\\2332J.txt\n"
                              " -lh0-       3       3   0% 1970-01-01 00:00 r\\2332J.txt\n"
                              " -lh0-       3       3   0% 1970-01-01 00:00 caf\xC3\xA9.txt\n";
    const std::string total = " Total          9        9    0%  3 files\n";
    testkit::RunResult r = run({"lq", "c1.lzh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, " c1.lzh\n" + SHORT_HEAD + lines + SEP + total);
    r = run({"vq", "c1.lzh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  u\\302\\2332J.txt  crc=0000  lv2\n[A] -lh0-        3        3    0%  1970-01-01 00:00  "
                         "r\\2332J.txt  crc=0000  lv2\n"),
              std::string::npos)
        << r.out;
    r = run({"Lq", "c1.lzh", "list.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(testkit::read_text(dir / "list.txt"), " c1.lzh\n" + SHORT_HEAD + lines + SEP + total);
}

} // namespace
