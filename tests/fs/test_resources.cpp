// Resource bounds, end to end: archives that declare huge sizes, hold a
// great many tiny entries, names of 255 bytes with every byte value, or
// deeply nested directories. Each command must finish within a CPU-time
// limit (a runaway loop is killed and fails the test), without a crash, and
// with memory that does not grow with what the archive declares or holds.
// Peak memory of the child is printed for the record.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::LzhEntry;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;

namespace {

// Peak resident memory any command may reach on these archives. The
// program keeps one entry's buffers at a time (a few hundred KB each), so
// anything near this means memory grew with the input.
constexpr long RSS_LIMIT_KB = 48 * 1024;
constexpr long CPU_LIMIT_S = 20;

class Resources : public ::testing::Test {
protected:
    RunResult run(const std::vector<std::string> &args)
    {
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.cpu_limit_seconds = CPU_LIMIT_S;
        o.measure_rss = true;
#ifdef __SANITIZE_ADDRESS__
        // Freed memory that the sanitizer holds back to catch late uses
        // would count as ours.
        o.env.push_back("ASAN_OPTIONS=quarantine_size_mb=1");
#endif
        RunResult r = testkit::run_tambrix(args, o);
        std::string cmd;
        for (const std::string &a : args)
            cmd += a + " ";
        RecordProperty("peak_rss_kb " + cmd, std::to_string(r.peak_rss_kb));
        printf("[ peak RSS ] %-40s %6ld KB\n", cmd.c_str(), r.peak_rss_kb);
        EXPECT_LT(r.status, 128) << "killed by signal " << r.status - 128 << ": " << cmd;
        EXPECT_GT(r.peak_rss_kb, 0);
        EXPECT_LT(r.peak_rss_kb, RSS_LIMIT_KB) << cmd;
        return r;
    }
    TempDir dir;
};

// A level-2 entry with raw sizes: the packed bytes given, whatever the
// header claims.
Bytes lv2_claiming(const std::string &name, const std::string &method, uint32_t comp,
                   uint32_t orig, const Bytes &packed)
{
    LzhEntry e;
    e.name = name;
    e.method = method;
    e.packed = packed;
    e.orig_size = orig;
    Bytes b = testkit::build_lv2(e);
    // Packed size at offset 7, as declared rather than as present.
    for (int i = 0; i < 4; i++)
        b[7 + i] = (uint8_t)(comp >> (8 * i));
    testkit::reseal(b);
    return b;
}

size_t count_lines(const std::string &s)
{
    size_t n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

// Every path below `root`, relative to it.
std::vector<std::string> tree(const std::string &root)
{
    std::vector<std::string> all;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        all.push_back(std::filesystem::relative(it->path(), root, ec).string());
    return all;
}

// ---------------------------------------------------------------------------
// Sizes of up to 4 GB declared over a few bytes of data: the listing steps
// over them without reading or allocating anything of that size.

TEST_F(Resources, HugeDeclaredSizesAreListedNotAllocated)
{
    struct Case {
        const char *name;
        Bytes archive;
        bool stored; // packed entries unpack to their declared size; see below
        int list_status; // 1 when the packed size runs past the end of the file
    };
    LzhEntry lv0 = testkit::stored("lv0.bin", "tiny");
    lv0.orig_size = 0xFFFFFFFF;
    LzhEntry lv1 = testkit::stored("lv1.bin", "tiny");
    lv1.orig_size = 0xFFFFFFFE;
    lv1.dir = "dir";
    const Case cases[] = {
        {"stored", testkit::make_archive({lv2_claiming("big", "-lh0-", 0xFFFFFFFF, 0xFFFFFFFF,
                                                       Bytes(10, 'x'))}),
         true, 1},
        {"packed", testkit::make_archive({lv2_claiming("big5", "-lh5-", 0xFFFFFFF0, 0xFFFFFFFF,
                                                       Bytes(32, 0))}),
         false, 1},
        {"after-small", testkit::make_archive({testkit::build_lv2(testkit::stored("a", "abc")),
                                               lv2_claiming("big7", "-lh7-", 0x7FFFFFFF,
                                                            0xFFFFFFFF, Bytes(3, 1))}),
         false, 1},
        {"lv0-lv1", testkit::make_archive({testkit::build_lv0(lv0), testkit::build_lv1(lv1)}), true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testkit::write_file(dir / "huge.tmb", c.archive);
        for (const char *cmd : {"l", "v"}) {
            RunResult r = run({cmd, "huge.tmb"});
            // Listed as the header reads; data past the end is damage.
            EXPECT_EQ(r.status, c.list_status) << r.err;
            EXPECT_NE(r.out.find("4294967295"), std::string::npos) << r.out;
        }
        if (!c.stored)
            continue;
        // The data is not there: testing and extracting fail at once,
        // without allocating or writing anything near the declared size.
        RunResult t = run({"tq", "huge.tmb"});
        EXPECT_EQ(t.status, 1) << t.out;
        RunResult x = run({"xqo", "huge.tmb", "out/"});
        EXPECT_EQ(x.status, 1) << x.out;
        EXPECT_NE(x.err, "") << x.out;
        for (const std::string &f : tree(dir / "out")) {
            std::error_code ec;
            if (std::filesystem::is_regular_file(dir / ("out/" + f), ec)) {
                EXPECT_LT(std::filesystem::file_size(dir / ("out/" + f), ec), 100000u) << f;
            }
        }
    }
}

// Packed data can be far smaller than what it unpacks to: a block whose
// codes are single symbols takes no bits per symbol. 32 zero bytes are a
// valid "-lh5-" stream for any number of zero bytes. Unpacking is bounded
// by the declared size, streams through a fixed buffer, and takes time in
// proportion to the output only.
TEST_F(Resources, SmallStreamUnpackingToManyBytes)
{
    const uint32_t orig = 64u << 20;
    testkit::write_file(dir / "bomb.tmb",
                        testkit::make_archive({lv2_claiming("zeros", "-lh5-", 32, orig, Bytes(32, 0))}));
    RunResult t = run({"tq", "bomb.tmb"});
    EXPECT_EQ(t.status, 0) << t.out; // 64 MB of zeros: CRC-16 0, as declared
    EXPECT_NE(t.out.find("Tested: 1  Errors: 0"), std::string::npos) << t.out;
}

// ---------------------------------------------------------------------------
// 200,000 entries: the listing is streamed, so memory stays that of a
// one-entry archive.

Bytes many_entries(int n)
{
    Bytes b;
    b.reserve((size_t)n * 42);
    char name[16];
    for (int i = 0; i < n; i++) {
        snprintf(name, sizeof name, "f%06d", i);
        testkit::append(b, testkit::build_lv2(testkit::stored(name, std::string(1, (char)i))));
    }
    testkit::append(b, testkit::end_marker());
    return b;
}

TEST_F(Resources, ManyTinyEntriesListInBoundedMemory)
{
    testkit::write_file(dir / "one.tmb", many_entries(1));
    RunResult small = run({"l", "one.tmb"});
    ASSERT_EQ(small.status, 0) << small.err;

    const int N = 200000;
    testkit::write_file(dir / "many.tmb", many_entries(N));
    RunResult r = run({"l", "many.tmb"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count_lines(r.out), count_lines(small.out) + N - 1);
    EXPECT_NE(r.out.find(" f199999\n"), std::string::npos);
    EXPECT_NE(r.out.find("  200000 files\n"), std::string::npos) << r.out.substr(r.out.size() - 200);
    // Memory may not grow with the number of entries.
    EXPECT_LT(r.peak_rss_kb, small.peak_rss_kb + 4096);

    RunResult t = run({"tq", "many.tmb"});
    EXPECT_EQ(t.status, 0);
    EXPECT_NE(t.out.find("Tested: 200000  Errors: 0"), std::string::npos);
}

// u, f and d over 200,000 entries: u and f remember only the old entries
// that some file argument names (a record for every entry took 70 MB
// here), d needs no map at all.
TEST_F(Resources, UpdateOfManyEntriesInBoundedMemory)
{
    testkit::write_file(dir / "many.tmb", many_entries(200000));
    testkit::write_text(dir / "newfile", "new\n");
    struct Case {
        const char *cmd, *arg, *summary;
    };
    const Case cases[] = {
        {"uq", "newfile", "Updated: 1  Kept: 200000  Skipped: 0  Errors: 0"},
        {"fq", "newfile", "Updated: 0  Kept: 200001  Skipped: 1  Errors: 0"},
        {"dq", "f000001", "Deleted: 1  Kept: 200000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cmd);
        RunResult r = run({c.cmd, "many.tmb", c.arg});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
    }
}

// Thousands of files out of an archive and back into a new one.
TEST_F(Resources, ManyFilesExtractedAndAddedAgain)
{
    const int N = 5000;
    testkit::write_file(dir / "many.tmb", many_entries(N));
    RunResult x = run({"xq", "many.tmb", "out/"});
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_NE(x.out.find("Extracted: 5000  Skipped: 0  Errors: 0"), std::string::npos);
    RunResult a = run({"aq", "-r", "again.tmb", "out"});
    ASSERT_EQ(a.status, 0) << a.err;
    RunResult l = run({"l", "again.tmb"});
    EXPECT_NE(l.out.find("  5000 files\n"), std::string::npos);
}

// The same archive split into floppy-sized parts and joined again: both
// copy through a fixed buffer.
TEST_F(Resources, SplitAndJoinOfALargeArchiveStayBounded)
{
    Bytes arc = many_entries(200000);
    testkit::write_file(dir / "many.tmb", arc);
    RunResult s = run({"sq", "many.tmb", "880"});
    ASSERT_EQ(s.status, 0) << s.err;
    ASSERT_TRUE(testkit::file_exists(dir / "many.tmb.010"));
    std::remove((dir / "many.tmb").c_str());
    RunResult j = run({"j", "many.tmb.001"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_TRUE(testkit::read_file(dir / "many.tmb") == arc);
}

// A stored file of 64 MB moves through a fixed buffer: memory stays that
// of a stored file of a few bytes, and the entry is the file's bytes
// behind a header whose sizes and CRCs (checked bit by bit) fit them.
TEST_F(Resources, StoredFileStreamsInBoundedMemory)
{
    testkit::write_text(dir / "tiny.bin", "tiny");
    RunResult small = run({"aq", "-lh0", "tiny.tmb", "tiny.bin"});
    ASSERT_EQ(small.status, 0) << small.err;

    const size_t N = 64u << 20;
    Bytes data(N);
    uint32_t x = 12345;
    for (size_t i = 0; i < N; i++) {
        x = x * 1103515245u + 12345u;
        data[i] = (uint8_t)(x >> 24);
    }
    testkit::write_file(dir / "big.bin", data);
    RunResult r = run({"aq", "-lh0", "big.tmb", "big.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(r.peak_rss_kb, small.peak_rss_kb + 4096);

    Bytes arc = testkit::read_file(dir / "big.tmb");
    const size_t T = 7 + 34; // "big.bin"
    ASSERT_EQ(arc.size(), T + N + testkit::end_marker().size());
    size_t headers = 0;
    EXPECT_EQ(testkit::header_crc_faults(arc, &headers), "");
    EXPECT_EQ(headers, 1u);
    auto u32 = [&](size_t at) {
        return (uint32_t)arc[at] | (uint32_t)arc[at + 1] << 8 | (uint32_t)arc[at + 2] << 16 |
               (uint32_t)arc[at + 3] << 24;
    };
    EXPECT_EQ(std::string(arc.begin() + 2, arc.begin() + 7), "-lh0-");
    EXPECT_EQ(u32(7), N);
    EXPECT_EQ(u32(11), N);
    EXPECT_EQ(arc[21] | arc[22] << 8, testkit::crc16_bitwise(data.data(), N));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), arc.begin() + (long)T));
}

// ---------------------------------------------------------------------------
// Names: 255 bytes holding every non-zero byte value once (slashes,
// backslashes, control characters, 0xFF and all), names longer than any
// field allows, and directory chains nested far deeper than 255 bytes.

std::string every_byte_name(unsigned rotate)
{
    std::string s;
    for (unsigned i = 0; i < 255; i++)
        s += (char)(1 + (i + rotate) % 255);
    return s;
}

TEST_F(Resources, NamesWithEveryByteValueAreCutNotOverrun)
{
    LzhEntry plain = testkit::stored(every_byte_name(0), "x");
    LzhEntry shifted = testkit::stored(every_byte_name(100), "y");
    LzhEntry with_dir = testkit::stored(every_byte_name(200), "z");
    with_dir.dir = every_byte_name(7).substr(0, 254);
    LzhEntry too_long = testkit::stored(std::string(300, 'n'), "w"); // beyond the 255 limit
    LzhEntry embedded_nul = testkit::stored(std::string("abc\0def", 7), "v");
    LzhEntry lv0 = testkit::stored(every_byte_name(50).substr(0, 233), "u"); // lv0 holds 233
    testkit::write_file(dir / "names.tmb",
                        testkit::make_archive({testkit::build_lv2(plain), testkit::build_lv2(shifted),
                                               testkit::build_lv2(with_dir), testkit::build_lv2(too_long),
                                               testkit::build_lv2(embedded_nul), testkit::build_lv0(lv0)}));
    // Listed as shown on a terminal: control bytes escaped, C0, DEL and C1.
    // A run of rising byte values holds no well-formed UTF-8 sequence (the
    // byte after a lead byte is never a continuation byte), so every byte
    // from 0x80 to 0x9F is a stray one.
    auto shown = [](const std::string &name) {
        std::string out;
        for (unsigned char c : name) {
            char esc[8];
            snprintf(esc, sizeof esc, c < 0x20 || (c >= 0x7F && c <= 0x9F) ? "\\%03o" : "%c", c);
            out += esc;
        }
        return out;
    };
    for (const char *cmd : {"l", "v"}) {
        RunResult r = run({cmd, "names.tmb"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(shown(every_byte_name(0))), std::string::npos);
        EXPECT_NE(r.out.find(shown(every_byte_name(100))), std::string::npos);
        EXPECT_NE(r.out.find(shown(every_byte_name(50).substr(0, 233))), std::string::npos);
        // Cut at the zero byte; the verbose line goes on after the name.
        EXPECT_NE(r.out.find(cmd[0] == 'l' ? " abc\n" : " abc  crc="), std::string::npos);
        EXPECT_NE(r.out.find("  6 files\n"), std::string::npos) << r.out;
    }
}

// Extraction writes only below the target directory, whatever the names:
// every byte value, '..' levels, absolute paths, backslashes.
TEST_F(Resources, HostileNamesStayInsideTheTarget)
{
    const std::string escape = "tmb_escape_" + std::to_string(getpid());
    std::vector<Bytes> entries;
    for (unsigned rot : {0u, 60u, 100u, 200u})
        entries.push_back(testkit::build_lv2(testkit::stored(every_byte_name(rot), "x")));
    for (const std::string &n : {"../" + escape, "../../" + escape, "a/../../" + escape,
                                 "/tmp/" + escape, "..\\..\\" + escape, "./../" + escape})
        entries.push_back(testkit::build_lv2(testkit::stored(n, "evil")));
    testkit::write_file(dir / "names.tmb", testkit::make_archive(entries));
    // e makes no target directory; x would, but refuses every name here.
    std::filesystem::create_directory(dir / "out");
    for (const char *cmd : {"xqo", "eqo"}) {
        SCOPED_TRACE(cmd);
        RunResult r = run({cmd, "names.tmb", "out/"});
        // x refuses the escaping names (errors); e keeps only base names.
        EXPECT_EQ(r.status, cmd[0] == 'x' ? 1 : 0) << r.out << r.err;
        EXPECT_FALSE(testkit::file_exists("/tmp/" + escape));
        EXPECT_FALSE(testkit::file_exists(dir / escape));
        for (const std::string &p : tree(dir.path()))
            EXPECT_TRUE(p == "names.tmb" || p == "out" || p.rfind("out/", 0) == 0) << p;
    }
}

// Links planted in the target directory (by an earlier archive or anyone
// else) are not written through: neither a link to a directory on the way
// nor a link in the place of the file.
TEST_F(Resources, SymbolicLinksInTheTargetAreNotFollowed)
{
    TempDir outside;
    testkit::write_text(outside / "victim", "keep\n");
    std::filesystem::create_directories(dir / "out");
    std::filesystem::create_directory_symlink(outside.path(), dir / "out/linkdir");
    std::filesystem::create_symlink(outside / "victim", dir / "out/linkfile");
    testkit::write_file(dir / "links.tmb",
                        testkit::make_archive({testkit::build_lv2(testkit::stored("linkdir/new", "evil")),
                                               testkit::build_lv2(testkit::stored("linkfile", "evil"))}));
    RunResult r = run({"xqo", "links.tmb", "out/"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(testkit::file_exists(outside / "new"));
    EXPECT_EQ(testkit::read_text(outside / "victim"), "keep\n");
}

// Patterns with many wildcards against long names: plain backtracking
// would take minutes (each further '*' multiplies the work by the name's
// length); the matcher decides each pattern tail against each name tail
// once.
TEST_F(Resources, ManyWildcardsOnLongNamesFinish)
{
    testkit::write_file(dir / "aaa.tmb",
                        testkit::make_archive({testkit::build_lv2(testkit::stored(std::string(250, 'a'), "x")),
                                               testkit::build_lv2(testkit::stored(std::string(250, 'a') + "b", "y"))}));
    for (const char *pattern : {"*a*a*a*a*a*a*a*a*b", "#?a#?a#?a#?a#?a#?a*b", "*a?*a?*a?*a?*a?*c"}) {
        SCOPED_TRACE(pattern);
        RunResult r = run({"lq", "aaa.tmb", pattern});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(pattern[strlen(pattern) - 1] == 'b' ? "  1 file\n" : "  0 files\n"),
                  std::string::npos) << r.out;
    }
}

// 2000 directory levels: far beyond what a name holds.
std::string deep_dir(int levels)
{
    std::string d;
    for (int i = 0; i < levels; i++)
        d += "d/";
    return d;
}

TEST_F(Resources, DeeplyNestedDirectoriesAreCut)
{
    LzhEntry lv2 = testkit::stored("leaf.txt", "leaf");
    lv2.dir = deep_dir(126); // 252 bytes: the name still fits in part
    LzhEntry lv1 = testkit::stored("leaf1.txt", "leaf");
    lv1.dir = deep_dir(2000).substr(0, 4000);
    LzhEntry dirent = testkit::stored(deep_dir(127), "");
    testkit::write_file(dir / "deep.tmb",
                        testkit::make_archive({testkit::build_lv2(lv2), testkit::build_lv1(lv1),
                                               testkit::build_lv2(dirent)}));
    RunResult r = run({"v", "deep.tmb"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(deep_dir(126) + "lea"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  3 files\n"), std::string::npos) << r.out;
    // No line is longer than a 255-byte name plus the listing columns.
    size_t start = 0, end;
    while ((end = r.out.find('\n', start)) != std::string::npos) {
        EXPECT_LT(end - start, 255u + 80u);
        start = end + 1;
    }
    // Below "out/" none of the three fits in a path of 255 characters (the
    // level-1 one not even in the header reader's name): each is refused
    // whole, never cut (a cut path could be another entry's).
    RunResult x = run({"xq", "deep.tmb", "out/"});
    EXPECT_EQ(x.status, 1);
    size_t refused = 0;
    for (size_t at = 0; (at = x.err.find("Path too long: out/", at)) != std::string::npos; at++)
        refused++;
    EXPECT_EQ(refused, 3u) << x.err << x.out;
    EXPECT_FALSE(std::filesystem::exists(dir / "out/d"));
    RunResult t = run({"tq", "deep.tmb"});
    EXPECT_EQ(t.status, 0) << t.out;
}

// A directory tree deeper than a path of 255 characters: the add command
// must stop where the name would be cut. A cut child path would name the
// directory it is in, and the walk would recurse into the same directory
// until the stack ran out (the scan of a pattern would queue it forever).
TEST_F(Resources, AddOfATreeDeeperThanANameHolds)
{
    std::string p = dir / "deep";
    for (int i = 0; i < 300; i++)
        p += "/d";
    std::filesystem::create_directories(p);
    testkit::write_text(p + "/leaf.txt", "leaf\n");
    testkit::write_text(dir / "deep/top.txt", "top\n");
    // The tree walk, and the wildcard scan of a pattern argument.
    for (const char *arg : {"deep", "deep/*"}) {
        SCOPED_TRACE(arg);
        std::remove((dir / "deep.tmb").c_str());
        RunResult a = run({"aq", "-r", "deep.tmb", arg});
        EXPECT_EQ(a.status, 1) << "the names that do not fit are errors";
        EXPECT_NE(a.err.find("  Path too long: "), std::string::npos) << a.err;
        RunResult l = run({"l", "deep.tmb"});
        EXPECT_NE(l.out.find(" top.txt\n"), std::string::npos) << l.out;
    }
}

} // namespace
