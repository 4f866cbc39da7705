// End-to-end tests of x, e, t and p on archives put together byte by byte.
#include <gtest/gtest.h>

#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "lzh_builder.h"
#include "pack_kit.h"
#include "testkit.h"
#include "tmb_compress.h"
#include "tmb_method.h"

using namespace testkit;

namespace {

// The run ends with "Time: ..." whose figure varies: check its form and
// cut it off so the rest can be compared exactly.
std::string without_time(const std::string &out)
{
    static const std::regex time_line("Time: (\\d+m )?\\d+\\.\\d\\ds\n$");
    std::smatch m;
    if (!std::regex_search(out, m, time_line)) {
        ADD_FAILURE() << "no Time line at the end of:\n" << out;
        return out;
    }
    return out.substr(0, out.size() - m.length(0));
}

std::string pad40(const std::string &name)
{
    return name.size() >= 40 ? name : name + std::string(40 - name.size(), ' ');
}

// "[i/n] inflating: name" as x prints it before the outcome.
std::string inflating(int i, int n, const std::string &name)
{
    char head[64];
    snprintf(head, sizeof head, "[%d/%d] inflating: ", i, n);
    return head + pad40(name);
}

std::string done_line(int extracted, int skipped, int errors)
{
    return "\nDone. Extracted: " + std::to_string(extracted) + "  Skipped: " + std::to_string(skipped) +
           "  Errors: " + std::to_string(errors) + "\n";
}

int64_t mtime_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_mtime : -1;
}

RunOptions in_dir(const std::string &cwd)
{
    RunOptions o;
    o.cwd = cwd;
    return o;
}

RunOptions with_input(const std::string &input, bool close_stdin)
{
    RunOptions o;
    o.input = input;
    o.close_stdin = close_stdin;
    return o;
}

RunOptions with_size_limit(long bytes)
{
    RunOptions o;
    o.file_size_limit = bytes;
    return o;
}

LzhEntry with_method(LzhEntry e, const std::string &method)
{
    e.method = method;
    return e;
}

class Extract : public ::testing::Test {
protected:
    TempDir dir;

    std::string put_archive(const std::vector<Bytes> &entries, const std::string &name = "a.tmb")
    {
        write_file(dir / name, make_archive(entries));
        return name;
    }
    RunResult run(const std::vector<std::string> &args, RunOptions opt = {})
    {
        opt.cwd = dir.path();
        return run_tambrix(args, opt);
    }
    std::string text(const std::string &rel) { return read_text(dir / rel); }
    bool exists(const std::string &rel) { return file_exists(dir / rel); }
};

// ---------------------------------------------------------------- x and e

TEST_F(Extract, EveryHeaderLevelGivesPathContentsAndTime)
{
    const uint32_t stamp = dos_stamp(2020, 5, 17, 10, 20, 30);
    struct tm tm = {};
    tm.tm_year = 120, tm.tm_mon = 4, tm.tm_mday = 17, tm.tm_hour = 10, tm.tm_min = 20, tm.tm_sec = 30;
    const int64_t dos_unix = (int64_t)timegm(&tm);

    struct Case {
        int level;
        uint32_t time;
        int64_t expect_mtime;
    } cases[] = {{0, stamp, dos_unix}, {1, stamp, dos_unix}, {2, 1600000000u, 1600000000}};
    for (const Case &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        TempDir d;
        LzhEntry e = stored(c.level == 0 ? "docs/readme.txt" : "readme.txt", "hello, world\n", c.time);
        if (c.level != 0)
            e.dir = "docs/";
        write_file(d / "a.tmb", make_archive({build_entry(c.level, e)}));
        RunResult r = run_tambrix({"x", "-q", "a.tmb"}, in_dir(d.path()));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(without_time(r.out),
                  "Extracting: a.tmb\n\n" + inflating(1, 1, "docs/readme.txt") + " OK\n" + done_line(1, 0, 0));
        EXPECT_EQ(read_text(d / "docs/readme.txt"), "hello, world\n");
        EXPECT_EQ(mtime_of(d / "docs/readme.txt"), c.expect_mtime);
    }
}

TEST_F(Extract, WorkDirectoryAndStripPaths)
{
    LzhEntry e = stored("readme.txt", "text", 0);
    e.dir = "docs/";
    put_archive({build_lv2(e)});
    mkdir((dir / "have").c_str(), 0755);
    struct Case {
        std::vector<std::string> args;
        std::string written;  // relative to the temporary directory
    } cases[] = {
        {{"x", "-q", "-d", "out", "a.tmb"}, "out/docs/readme.txt"},
        {{"x", "-q", "-d", "deep/er/", "a.tmb"}, "deep/er/docs/readme.txt"},
        {{"x", "-q", "a.tmb", "arg/"}, "arg/docs/readme.txt"},       // work dir from a file argument
        {{"x", "-q", "-d", "RAM:", "a.tmb"}, "RAM:docs/readme.txt"},   // device name: no '/' added
        {{"e", "-q", "-d", "have", "a.tmb"}, "have/readme.txt"},
        {{"e", "-q", "a.tmb"}, "readme.txt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.written);
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(text(c.written), "text");
        // The progress line shows the full entry name, also for e.
        EXPECT_NE(r.out.find(inflating(1, 1, "docs/readme.txt") + " OK\n"), std::string::npos) << r.out;
    }
}

TEST_F(Extract, DirectoriesMadeAcrossEntries)
{
    // Names sharing leading characters but not directories, levels left and
    // re-entered, and a file standing where a later entry wants a directory.
    put_archive({build_lv0(stored("ab/x.txt", "1")), build_lv0(stored("a/x.txt", "2")),
                 build_lv0(stored("ab/c/d/x.txt", "3")), build_lv0(stored("ab/y.txt", "4")),
                 build_lv0(stored("top.txt", "5")), build_lv0(stored("a/b/x.txt", "6")),
                 build_lv0(stored("f", "7")), build_lv0(stored("f/g.txt", "8")), build_lv0(stored("ab/z.txt", "9"))});
    mkdir((dir / "real").c_str(), 0755);
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);  // the work directory may be a link
    for (std::string work : {"out", "deep/er", "link"}) {
        SCOPED_TRACE(work);
        RunResult r = run({"x", "-q", "-d", work, "a.tmb"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(done_line(8, 0, 1)), std::string::npos) << r.out;
        const std::string w = work + "/";
        EXPECT_EQ(text(w + "ab/x.txt") + text(w + "a/x.txt") + text(w + "ab/c/d/x.txt") + text(w + "ab/y.txt") +
                      text(w + "top.txt") + text(w + "a/b/x.txt") + text(w + "f") + text(w + "ab/z.txt"),
                  "12345679");
    }
    EXPECT_EQ(text("real/ab/z.txt"), "9");
}

// e makes a missing target directory as x does; where it cannot be made,
// both fail alike.
TEST_F(Extract, StripPathsMakesItsTargetDirectory)
{
    put_archive({build_lv0(stored("docs/a.txt", "x"))});
    write_text(dir / "file.txt", "in the way");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::string written; // "" when nothing may be written
    } cases[] = {
        {{"e", "-q", "-d", "nodir", "a.tmb"}, 0, "", "nodir/a.txt"},
        {{"e", "-q", "-d", "deep/er/", "a.tmb"}, 0, "", "deep/er/a.txt"},
        {{"e", "-q", "a.tmb", "arg/"}, 0, "", "arg/a.txt"},
        {{"x", "-q", "-d", "xdir", "a.tmb"}, 0, "", "xdir/docs/a.txt"},
        {{"e", "-q", "-d", "file.txt/sub", "a.tmb"}, 1,
         "\n  ERROR: cannot create file.txt/sub/a.txt\n  (Not a directory)\n", ""},
        {{"x", "-q", "-d", "file.txt/sub", "a.tmb"}, 1,
         "\n  ERROR: cannot create file.txt/sub/docs/a.txt\n  (Not a directory)\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[3]);
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + inflating(1, 1, "docs/a.txt") +
                                           (c.status == 0 ? " OK\n" + done_line(1, 0, 0) : done_line(0, 0, 1)));
        if (!c.written.empty()) {
            EXPECT_EQ(text(c.written), "x");
        }
    }
    EXPECT_EQ(read_text(dir / "file.txt"), "in the way");
}

TEST_F(Extract, BackslashNamesAreDirectoryLevels)
{
    put_archive({build_lv0(stored("dir\\sub\\f.txt", "one")), build_lv0(stored("other.txt", "two"))});
    RunResult r = run({"x", "-q", "a.tmb", "dir/sub/f.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text("dir/sub/f.txt"), "one");
    EXPECT_FALSE(exists("other.txt"));
    // The pre-count applies the same rule, so the total counts it.
    EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + inflating(1, 1, "dir/sub/f.txt") + " OK\n" +
                                       done_line(1, 1, 0));
}

TEST_F(Extract, DirectoryEntries)
{
    LzhEntry d;
    d.dir = "empty/sub/";
    d.method = "-lhd-";
    put_archive({build_lv2(d), build_lv2(stored("f.txt", "f"))});
    RunResult x = run({"x", "-q", "-d", "xo", "a.tmb"});
    EXPECT_EQ(x.status, 0) << x.err;
    struct stat st;
    ASSERT_EQ(stat((dir / "xo/empty/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(x.out.find(done_line(1, 0, 0)), std::string::npos) << x.out;

    mkdir((dir / "eo").c_str(), 0755);
    RunResult e = run({"e", "-q", "-d", "eo", "a.tmb"});
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_FALSE(exists("eo/empty"));
    EXPECT_FALSE(exists("eo/sub"));
    EXPECT_EQ(text("eo/f.txt"), "f");
}

TEST_F(Extract, SelectionCountsOthersAsSkipped)
{
    put_archive({build_lv0(stored("a.txt", "a")), build_lv0(stored("sub/b.txt", "b")),
                 build_lv0(stored("c.doc", "c"))});
    RunResult r = run({"x", "-q", "a.tmb", "*.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + inflating(1, 2, "a.txt") + " OK\n" +
                                       inflating(2, 2, "sub/b.txt") + " OK\n" + done_line(2, 1, 0));
    EXPECT_FALSE(exists("c.doc"));
}

TEST_F(Extract, EmptyArchiveAndMissingArchive)
{
    put_archive({});
    RunResult r = run({"x", "-q", "a.tmb"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + done_line(0, 0, 0));

    RunResult m = run({"x", "-q", "missing.lzh"});
    EXPECT_EQ(m.status, 1);
    EXPECT_EQ(m.err, "Cannot open: missing.lzh\n");
    EXPECT_EQ(m.out, "");
}

// ---------------------------------------------------------- overwrite prompt

TEST_F(Extract, OverwritePromptAnswers)
{
    put_archive({build_lv0(stored("a.txt", "new-a")), build_lv0(stored("b.txt", "new-b"))});
    const std::string ask_a = "  overwrite a.txt? [y]es [n]o [A]ll [N]one: ";
    const std::string ask_b = "  overwrite b.txt? [y]es [n]o [A]ll [N]one: ";
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string input;
        bool close_stdin;
        std::string a, b;  // contents afterwards
        int prompts;
        int skipped;
    } cases[] = {
        {"A overwrites all", {"x"}, "A\n", false, "new-a", "new-b", 1, 0},
        {"N skips all", {"x"}, "N\n", false, "old", "old", 1, 2},
        {"y then n", {"x"}, "y\nn\n", false, "new-a", "old", 2, 1},
        {"Y then empty line", {"x"}, "Y\n\n", false, "new-a", "old", 2, 1},
        {"lower-case a is no", {"x"}, "a\nyes\n", false, "old", "new-b", 2, 1},
        {"end of input", {"x"}, "", true, "old", "old", 2, 2},
        {"seven characters a prompt", {"x"}, "nnnnnnnyy\n", false, "old", "new-b", 2, 1},
        {"-o never asks", {"x", "-o"}, "", true, "new-a", "new-b", 0, 0},
        {"modifier o never asks", {"xo"}, "", true, "new-a", "new-b", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_text(dir / "a.txt", "old");
        write_text(dir / "b.txt", "old");
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-q", "a.tmb"});
        RunResult r = run(args, with_input(c.input, c.close_stdin));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(text("a.txt"), c.a);
        EXPECT_EQ(text("b.txt"), c.b);
        int prompts = 0;
        for (size_t at = r.out.find("  overwrite "); at != std::string::npos; at = r.out.find("  overwrite ", at + 1))
            prompts++;
        EXPECT_EQ(prompts, c.prompts) << r.out;
        EXPECT_NE(r.out.find(done_line(2 - c.skipped, c.skipped, 0)), std::string::npos) << r.out;
    }
}

TEST_F(Extract, PromptTextAndLineOrder)
{
    put_archive({build_lv0(stored("a.txt", "new"))});
    write_text(dir / "a.txt", "old");
    RunResult r = run({"x", "-q", "a.tmb"}, with_input("y\n", false));
    EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n  overwrite a.txt? [y]es [n]o [A]ll [N]one: " +
                                       inflating(1, 1, "a.txt") + " OK\n" + done_line(1, 0, 0));
}

// ------------------------------------------------------------------- CRC rules

TEST_F(Extract, CrcRulesForExtractAndTest)
{
    LzhEntry good = stored("good.txt", "payload");
    LzhEntry bad_stored = stored("stored.txt", "payload");
    bad_stored.crc ^= 0x1234;
    // Stored entries are checked like packed ones, "-lh0-" and "-lz4-".
    LzhEntry bad_lz4 = with_method(stored("lz4.txt", "payload"), "-lz4-");
    bad_lz4.crc ^= 0x0101;
    put_archive({build_lv2(good), build_lv2(bad_stored), build_lv2(bad_lz4)});
    char exp_s[8], exp_z[8], got[8];
    snprintf(exp_s, sizeof exp_s, "%04X", bad_stored.crc);
    snprintf(exp_z, sizeof exp_z, "%04X", bad_lz4.crc);
    snprintf(got, sizeof got, "%04X", good.crc);

    RunResult x = run({"x", "-q", "a.tmb"});
    EXPECT_EQ(x.status, 1);
    EXPECT_EQ(without_time(x.out), "Extracting: a.tmb\n\n" + inflating(1, 3, "good.txt") + " OK\n" +
                                       inflating(2, 3, "stored.txt") + " CRC ERR (exp " + exp_s + " got " + got +
                                       ")\n" + inflating(3, 3, "lz4.txt") + " CRC ERR (exp " + exp_z + " got " +
                                       got + ")\n" + done_line(1, 0, 2));
    EXPECT_EQ(x.err, "  ERROR: stored.txt: CRC mismatch (damaged)\n  ERROR: lz4.txt: CRC mismatch (damaged)\n");
    EXPECT_FALSE(exists("stored.txt"));  // no bad file is left
    EXPECT_FALSE(exists("lz4.txt"));

    // p writes the bytes, then fails on the mismatch (as gzip -dc does).
    RunResult p = run({"p", "a.tmb", "stored.txt"});
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.out, "payload");
    EXPECT_NE(p.err.find("CRC error for: stored.txt"), std::string::npos) << p.err;

    RunResult t = run({"t", "-q", "a.tmb"});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(without_time(t.out), "Testing: a.tmb\n\n  testing: " + pad40("good.txt") + " OK\n  testing: " +
                                       pad40("stored.txt") + " CRC ERROR (expected " + exp_s + " got " + got +
                                       ")\n  testing: " + pad40("lz4.txt") + " CRC ERROR (expected " + exp_z +
                                       " got " + got + ")\n\nTested: 3  Errors: 2\n");
}

TEST_F(Extract, CrcMismatchLeavesTheOldFileAsItWas)
{
    LzhEntry e = with_method(stored("f.txt", "abc", 1000000000u), "-lz4-");
    e.crc ^= 1;
    put_archive({build_lv2(e)});
    write_text(dir / "f.txt", "old");
    struct timespec ts[2] = {{123456789, 0}, {123456789, 0}};
    utimensat(AT_FDCWD, (dir / "f.txt").c_str(), ts, 0);
    EXPECT_EQ(run({"x", "-q", "-o", "a.tmb"}).status, 1);
    EXPECT_EQ(text("f.txt"), "old");
    EXPECT_EQ(mtime_of(dir / "f.txt"), 123456789);
}

TEST_F(Extract, ZeroTimeKeepsExtractionTime)
{
    put_archive({build_lv2(stored("f.txt", "abc", 0))});
    time_t before = time(nullptr);
    EXPECT_EQ(run({"x", "-q", "a.tmb"}).status, 0);
    EXPECT_GE(mtime_of(dir / "f.txt"), (int64_t)before - 1);
}

// ------------------------------------------------------ failures while decoding

TEST_F(Extract, DecodeFailuresAreErrors)
{
    LzhEntry truncated = stored("short.txt", "0123456789");
    truncated.packed.resize(4);  // the archive ends before orig_size bytes
    LzhEntry unsupported = with_method(stored("lh2.txt", "zz"), "-lh2-");
    // A method missing from the table is counted and fails like the rest.
    LzhEntry unknown = with_method(stored("lh9.txt", "z"), "-lh9-");
    put_archive({build_lv0(unsupported), build_lv0(truncated), build_lv0(unknown)});
    RunResult r = run({"x", "-q", "a.tmb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + inflating(1, 3, "lh2.txt") + " ERROR\n" +
                                       inflating(2, 3, "short.txt") + " ERROR\n" + inflating(3, 3, "lh9.txt") +
                                       " ERROR\n" + done_line(0, 0, 3));
    const std::string err = "Unsupported method: -lh2-: lh2.txt\n"
                            "  ERROR: short.txt: the packed data ends before the entry does (damaged)\n"
                            "Unsupported method: -----: lh9.txt\n";
    EXPECT_EQ(r.err, err);
    for (const char *name : {"lh2.txt", "short.txt", "lh9.txt"})
        EXPECT_FALSE(exists(name)) << name;  // nothing is created

    RunResult t = run({"t", "-q", "a.tmb"});
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(without_time(t.out), "Testing: a.tmb\n\n  testing: " + pad40("lh2.txt") +
                                       " DECOMPRESS ERROR\n  testing: " + pad40("short.txt") +
                                       " DECOMPRESS ERROR\n  testing: " + pad40("lh9.txt") +
                                       " DECOMPRESS ERROR\n\nTested: 3  Errors: 3\n");
    EXPECT_EQ(t.err, err);
}

TEST_F(Extract, FailedWriteIsAnErrorNotOk)
{
    // 200000 bytes fail in the decoder's own writes; 5000 bytes sit in the
    // file's stream buffer and fail only when it is flushed at the close.
    for (size_t size : {200000u, 5000u}) {
        SCOPED_TRACE(size);
        put_archive({build_lv2(stored("big.bin", std::string(size, 'q'))), build_lv2(stored("small.txt", "s"))});
        RunResult r = run({"x", "-q", "-o", "a.tmb"}, with_size_limit(1000));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(without_time(r.out), "Extracting: a.tmb\n\n" + inflating(1, 2, "big.bin") + " ERROR\n" +
                                           inflating(2, 2, "small.txt") + " OK\n" + done_line(1, 0, 1));
        EXPECT_NE(r.err.find("cannot write big.bin"), std::string::npos) << r.err;
    }
}

TEST_F(Extract, ProgressBarOnlyForLargeFilesAndNotQuiet)
{
    put_archive({build_lv2(stored("big.bin", std::string(40000, 'b'))), build_lv2(stored("s.txt", "s"))});
    RunResult r = run({"x", "-o", "a.tmb"});
    EXPECT_EQ(r.status, 0) << r.err;
    // One bar: armed for big.bin, closed with the final draw before " OK".
    size_t bar = r.out.find(inflating(1, 2, "big.bin") + "\n\r  [");
    ASSERT_NE(bar, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("] 100%", bar), std::string::npos);
    EXPECT_EQ(r.out.find("\r  [", r.out.find(inflating(2, 2, "s.txt"))), std::string::npos);

    RunResult q = run({"x", "-o", "-q", "a.tmb"});
    EXPECT_EQ(q.out.find("\r  ["), std::string::npos);
}

// ------------------------------------------------------------ hostile names

TEST_F(Extract, NamesLeavingTheTargetAreRefused)
{
    mkdir((dir / "w").c_str(), 0755);
    mkdir((dir / "w/out").c_str(), 0755);
    mkdir((dir / "w/out/a").c_str(), 0755);
    const std::string abs_target = dir / "abs.txt";
    struct Case {
        std::string name;
        std::vector<std::string> must_not_exist;  // relative to the temporary directory
    } cases[] = {
        {abs_target, {"abs.txt"}},
        {"../x.txt", {"w/x.txt"}},
        {"a/../../x.txt", {"w/x.txt", "w/out/x.txt"}},
        {"a\\..\\..\\x.txt", {"w/x.txt", "w/out/x.txt"}},
        {"..\\..\\x.txt", {"x.txt"}},
        {"../evil/", {"w/evil"}},
        {"..", {}},
        {"", {}},
        {"/", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("'" + c.name + "'");
        // A level-0 name keeps the bytes as stored, so every form can be written.
        write_file(dir / "a.tmb", make_archive({build_lv0(stored(c.name, "evil")),
                                                 build_lv0(stored("fine.txt", "fine"))}));
        RunResult r = run({"x", "-q", "-o", "-d", "w/out", "a.tmb"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("WARNING: refusing entry"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("Errors: 1\n"), std::string::npos) << r.out;
        EXPECT_EQ(text("w/out/fine.txt"), "fine");  // the run goes on
        for (const std::string &p : c.must_not_exist)
            EXPECT_FALSE(exists(p)) << p;
    }
}

TEST_F(Extract, StripPathsMakesTraversalHarmless)
{
    mkdir((dir / "out").c_str(), 0755);
    put_archive({build_lv0(stored("../../x.txt", "x")), build_lv0(stored("a/..", "dots"))});
    RunResult r = run({"e", "-q", "-d", "out", "a.tmb"});
    EXPECT_EQ(text("out/x.txt"), "x");
    EXPECT_EQ(r.status, 1);  // "a/.." has the base name ".."
    EXPECT_NE(r.out.find(done_line(1, 0, 1)), std::string::npos) << r.out;
}

TEST_F(Extract, SymbolicLinksAreNotFollowed)
{
    mkdir((dir / "out").c_str(), 0755);
    mkdir((dir / "elsewhere").c_str(), 0755);
    write_text(dir / "victim.txt", "keep");
    ASSERT_EQ(symlink("../victim.txt", (dir / "out/file.txt").c_str()), 0);
    ASSERT_EQ(symlink("../elsewhere", (dir / "out/sub").c_str()), 0);
    put_archive({build_lv0(stored("file.txt", "evil")), build_lv0(stored("sub/new.txt", "evil")),
                 build_lv0(stored("sub/deeper/new.txt", "evil"))});
    RunResult r = run({"x", "-q", "-o", "-d", "out", "a.tmb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(text("victim.txt"), "keep");
    // The link at the file's name is replaced, not written through.
    struct stat st;
    ASSERT_EQ(lstat((dir / "out/file.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(text("out/file.txt"), "evil");
    EXPECT_FALSE(exists("elsewhere/new.txt"));
    EXPECT_FALSE(exists("elsewhere/deeper"));
    EXPECT_NE(r.out.find(done_line(1, 0, 2)), std::string::npos) << r.out;
}

TEST_F(Extract, NeverOverwritesTheArchiveBeingRead)
{
    put_archive({build_lv0(stored("a.tmb", "not an archive")), build_lv0(stored("b.txt", "b"))});
    Bytes before = read_file(dir / "a.tmb");
    RunResult r = run({"x", "-q", "-o", "a.tmb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(dir / "a.tmb"), before);
    EXPECT_EQ(text("b.txt"), "b");  // the rest of the archive is still read
    EXPECT_NE(r.err.find("it is the archive being read"), std::string::npos) << r.err;
}

// ----------------------------------------------------------------- debug log

TEST_F(Extract, DebugLogLines)
{
    put_archive({build_lv0(stored("d\\a.txt", "abc")), build_lv0(stored("b.txt", "b"))});
    RunResult r = run({"x", "-q", "-debug1", "a.tmb", "a.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string log = text("RAM:tmb_debug.txt");
    for (const std::string &line : {
             std::string("=== cmd_extract start ===\n"),
             std::string("archive='a.tmb' work_dir='' strip_paths=0 force_overwrite=0\n"),
             std::string("nfiles=1 (file filter list; if >0, ONLY these names are extracted)\n"),
             std::string("  files[0]='a.txt'\n"),
             std::string("fopen archive 'a.tmb' = OK\n"),
             std::string("---\nRAW[hdr.name] str='d\\a.txt' n1=3 n2=3 strlen=7 firstbytes=64 5c 61 2e 74 78 74 \n"),
             std::string("name after backslash normalization: 'd/a.txt'\n"),
             std::string("file_wanted('d/a.txt') returned TRUE -> proceeding\n"),
             std::string("built outpath='d/a.txt' (work_dir='', name='d/a.txt', strip_paths=0)\n"),
             std::string("calling mkdirs('d/a.txt') for parent directories\n"),
             std::string("overwrite-check fopen('d/a.txt','rb') = does not exist\n"),
             std::string("attempting fopen('d/a.txt', \"wb\")\n"),
             std::string("calling tmb_extract for 'd/a.txt'\n"),
             std::string("file_wanted('b.txt') returned FALSE -> skipping\n"),
             std::string("=== cmd_extract end: extracted=1 skipped=1 errors=0 ===\n"),
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("read_header OK: name='d\\\\a\\.txt' is_dir=0 comp_size=3 "
                                                  "orig_size=3 method=0 data_pos=\\d+\n")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("tmb_extract returned 0, expected_crc=[0-9A-F]{4} "
                                                  "got_crc=[0-9A-F]{4}\n")))
        << log;
}

// ------------------------------------------------------------------- t and p

TEST_F(Extract, TestSelectsAndPassesOverQuietly)
{
    LzhEntry d;
    d.dir = "sub/";
    d.method = "-lhd-";
    put_archive({build_lv2(d), build_lv2(stored("a.txt", "a")), build_lv2(with_method(stored("u.txt", "u"), "-lh9-")),
                 build_lv2(stored("b.doc", "b"))});
    RunResult all = run({"t", "a.tmb"});  // no lines are silenced without -q either
    // An unknown method is tested, and fails, as x would fail it.
    EXPECT_EQ(all.status, 1) << all.err;
    EXPECT_NE(all.out.find("Testing: a.tmb\n\n  testing: " + pad40("a.txt") + " OK\n  testing: " + pad40("u.txt") +
                           " DECOMPRESS ERROR\n  testing: " + pad40("b.doc") + " OK\n\nTested: 3  Errors: 1\n"),
              std::string::npos)
        << all.out;

    RunResult some = run({"t", "-q", "a.tmb", "*.doc"});
    EXPECT_EQ(without_time(some.out), "Testing: a.tmb\n\n  testing: " + pad40("b.doc") + " OK\n\nTested: 1  Errors: 0\n");

    put_archive({});
    RunResult empty = run({"t", "-q", "a.tmb"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(without_time(empty.out), "Testing: a.tmb\n\n\nTested: 0  Errors: 0\n");

    RunResult missing = run({"t", "-q", "missing.lzh"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "Cannot open: missing.lzh\n");
}

TEST_F(Extract, PrintOneEntryExactly)
{
    LzhEntry d;
    d.dir = "docs/";
    d.method = "-lhd-";
    const std::string binary = std::string(1, '\0') + "\1\2\xff line\n";
    LzhEntry truncated = stored("cut.txt", "0123456789");
    truncated.packed.resize(3);
    put_archive({build_lv2(d), build_lv2(stored("docs/a.txt", binary)), build_lv2(stored("docs/a.txt", "second")),
                 build_lv2(truncated)});
    const std::string usage = "Usage: p <archive> <single-filename>\n  (prints one file's decompressed contents to stdout)\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"p", "a.tmb", "docs/a.txt"}, 0, binary, ""},  // the first match only
        {{"p", "a.tmb", "DOCS/A.TXT"}, 1, "", "File not found in archive: DOCS/A.TXT\n"},
        {{"p", "a.tmb", "a.txt"}, 1, "", "File not found in archive: a.txt\n"},    // no base-name match
        {{"p", "a.tmb", "docs/*"}, 1, "", "File not found in archive: docs/*\n"},  // no patterns
        // -d keeps "docs/" a name (else it would be the work directory)
        {{"p", "-d", "w", "a.tmb", "docs/"}, 1, "", "File not found in archive: docs/\n"},
        {{"p", "a.tmb"}, 1, "", usage},
        {{"p", "a.tmb", "x", "y"}, 1, "", usage},
        {{"p", "missing.lzh", "x"}, 1, "", "Cannot open: missing.lzh\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    RunResult bad = run({"p", "a.tmb", "cut.txt"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("\nDecompression error for: cut.txt\n"), std::string::npos) << bad.err;
}

// An entry that is there but cannot be unpacked is said to be so, as x and
// t say it, and nothing is written; a name that is not there stays "not
// found".
TEST_F(Extract, PrintOfAnEntryItCannotUnpack)
{
    put_archive({build_lv2(with_method(stored("lh9.txt", "z"), "-lh9-")),
                 build_lv2(with_method(stored("lh2.txt", "zz"), "-lh2-"))});
    struct Case {
        const char *name;
        std::string err;
    } cases[] = {
        {"lh9.txt", "Unsupported method: -----: lh9.txt\n"},
        {"lh2.txt", "Unsupported method: -lh2-: lh2.txt\n"},
        {"lh3.txt", "File not found in archive: lh3.txt\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = run({"p", "a.tmb", c.name});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

// ---------------------------------------------------------------- auto-join

// Temporary files that the run with process id `pid` left in /tmp. Other
// tests running at the same time make files of their own, so only the
// names carrying this run's process id count.
std::set<std::string> joined_temps_of(int pid)
{
    std::set<std::string> names;
    const std::string prefix = "tambrix_joined_" + std::to_string(pid) + "_";
    if (DIR *d = opendir("/tmp")) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

TEST_F(Extract, SplitArchiveIsJoinedAndTheTemporaryFileRemoved)
{
    Bytes whole = make_archive({build_lv2(stored("docs/a.txt", "part one and part two")),
                                build_lv2(stored("b.txt", "bee"))});
    size_t half = whole.size() / 2;
    write_file(dir / "s.tmb.001", Bytes(whole.begin(), whole.begin() + (long)half));
    write_file(dir / "s.tmb.002", Bytes(whole.begin() + (long)half, whole.end()));
    RunResult x = run({"x", "-q", "-d", "out", "s.tmb.002"});  // any part starts the join at .001
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(text("out/docs/a.txt"), "part one and part two");
    EXPECT_EQ(text("out/b.txt"), "bee");

    RunResult t = run({"t", "-q", "s.tmb.001"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("Tested: 2  Errors: 0"), std::string::npos) << t.out;

    RunResult p = run({"p", "s.tmb.001", "b.txt"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.out, "bee");  // silent join under p

    RunResult miss = run({"p", "s.tmb.001", "nope"});
    EXPECT_EQ(miss.status, 1);
    for (const RunResult *r : {&x, &t, &p, &miss})  // removed on every way out
        EXPECT_EQ(joined_temps_of(r->pid), std::set<std::string>{});

    write_file(dir / "gone.tmb.002", whole);
    RunResult no_first = run({"x", "-q", "gone.tmb.002"});
    EXPECT_EQ(no_first.status, 1);
    EXPECT_NE(no_first.err.find("No parts found matching: gone.tmb.001\n"), std::string::npos) << no_first.err;
    EXPECT_EQ(no_first.out.find("Extracting:"), std::string::npos);
}

// ------------------------------------------------------ compressed round trip

// Packs `data` with the encoder of this program into an "-lhN-" entry.
LzhEntry packed_entry(const std::string &name, const std::string &data, int method)
{
    FILE *in = tmpfile(), *out = tmpfile();
    fwrite(data.data(), 1, data.size(), in);
    rewind(in);
    EntryHeader h{};
    h.method = method;
    EXPECT_EQ(tmb_compress(testkit::shared_encoder(), in, out, &h, method, false, {}), 1);
    EXPECT_EQ(h.method, method) << "fell back to a stored copy";
    LzhEntry e;
    e.name = name;
    e.method = "-lh" + std::to_string(method) + "-";
    e.orig_size = (uint32_t)h.orig_size;
    e.crc = h.crc;
    e.packed.resize(h.comp_size);
    rewind(out);
    EXPECT_EQ(fread(e.packed.data(), 1, e.packed.size(), out), e.packed.size());
    fclose(in);
    fclose(out);
    return e;
}

TEST_F(Extract, CompressedEntriesRoundTrip)
{
    // Text with repeats far apart (beyond the 8 KB window of -lh5-) and a
    // stretch of noise, so that literals, short and long matches all occur.
    std::string data;
    uint32_t x = 12345;
    for (int i = 0; i < 3000; i++)
        data += "line " + std::to_string(i % 700) + " of the round trip\n";
    for (int i = 0; i < 20000; i++) {
        x = x * 1103515245u + 12345u;
        data.push_back((char)(x >> 24));
    }
    for (int method : {5, 6, 7}) {
        SCOPED_TRACE("method " + std::to_string(method));
        LzhEntry good = packed_entry("docs/good.txt", data, method);
        LzhEntry bad = good;
        bad.name = "bad.txt";
        bad.crc ^= 0x8000;
        put_archive({build_lv2(good), build_lv2(bad)});

        RunResult r = run({"x", "-q", "-o", "a.tmb"});
        EXPECT_EQ(r.status, 1);  // a compressed entry with a wrong CRC is an error
        EXPECT_TRUE(text("docs/good.txt") == data);
        EXPECT_NE(r.out.find(inflating(1, 2, "docs/good.txt") + " OK\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(inflating(2, 2, "bad.txt") + " CRC ERR (exp "), std::string::npos) << r.out;

        // Small buffers: packed data read as a stream, many output flushes.
        RunResult small = run({"x", "-q", "-o", "-b1", "-d", "b1", "a.tmb", "good.txt"});
        EXPECT_EQ(small.status, 0) << small.out;
        EXPECT_TRUE(text("b1/docs/good.txt") == data);

        RunResult t = run({"t", "-q", "a.tmb"});
        EXPECT_EQ(t.status, 1);
        EXPECT_NE(t.out.find("Tested: 2  Errors: 1\n"), std::string::npos) << t.out;

        RunResult p = run({"p", "a.tmb", "docs/good.txt"});
        EXPECT_EQ(p.status, 0);
        EXPECT_TRUE(p.out == data);
    }
}

TEST_F(Extract, TreeAddedByThisProgramComesBackWhole)
{
    mkdir((dir / "src").c_str(), 0755);
    mkdir((dir / "src/sub").c_str(), 0755);
    mkdir((dir / "src/sub/empty").c_str(), 0755);
    std::string text_data;
    for (int i = 0; i < 5000; i++)
        text_data += "row " + std::to_string(i * 7 % 1000) + "\n";
    write_text(dir / "src/t.txt", text_data);
    write_text(dir / "src/sub/zero.bin", "");
    ASSERT_EQ(run({"a", "-q", "-r", "arc.tmb", "src"}).status, 0);

    RunResult r = run({"x", "-q", "-d", "out", "arc.tmb"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(text("out/t.txt") == text_data);
    EXPECT_EQ(text("out/sub/zero.bin"), "");
    struct stat st;
    EXPECT_TRUE(stat((dir / "out/sub/empty").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    EXPECT_EQ(mtime_of(dir / "out/t.txt"), mtime_of(dir / "src/t.txt"));
}

} // namespace
