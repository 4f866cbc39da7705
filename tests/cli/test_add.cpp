// The add command end to end: entry names from trees and wildcards, the
// messages and counts, round trips through x and t, and the failures that
// must not go unnoticed (write errors, huge or special files, link loops,
// concurrent runs).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "archive_entries.h"
#include "testkit.h"

using namespace testkit;

namespace {

void mkdirs(const std::string &p)
{
    std::string cur;
    for (size_t i = 0; i <= p.size(); i++) {
        if (i == p.size() || p[i] == '/') {
            if (!cur.empty())
                mkdir(cur.c_str(), 0755);
        }
        if (i < p.size())
            cur += p[i];
    }
}

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

bool contains(const std::string &hay, const std::string &needle)
{
    return hay.find(needle) != std::string::npos;
}

// docs/readme.txt, docs/img/logo.iff and the empty directory docs/empty.
void make_docs(const TempDir &t)
{
    mkdirs(t / "docs/img");
    mkdirs(t / "docs/empty");
    write_text(t / "docs/readme.txt", "read me\n");
    write_text(t / "docs/img/logo.iff", "FORM....ILBM");
}

// "[n] adding:  name" padded to 40 columns, then the outcome.
std::string adding_line(int n, const std::string &name, const std::string &outcome)
{
    char line[128];
    snprintf(line, sizeof line, "[%d] adding:  %-40s%s", n, name.c_str(), outcome.c_str());
    return line;
}

RunResult run_in(const TempDir &t, std::vector<std::string> args)
{
    RunOptions o;
    o.cwd = t.path();
    return run_tambrix(args, o);
}

} // namespace

TEST(AddNames, TreesAndFilesGiveTheDocumentedEntryNames)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> names;  // sorted
    };
    const Case cases[] = {
        // A directory contributes names relative to itself; one leading
        // './' is left out of the archive name.
        {{"a", "-r", "-lh0", "arc.tmb", "./docs"}, {"empty/", "img/logo.iff", "readme.txt"}},
        {{"a", "-r", "-e", "-lh0", "arc.tmb", "docs"}, {"img/logo.iff", "readme.txt"}},
        // A file given with a path is stored under its base name.
        {{"a", "-lh0", "arc.tmb", "docs/img/logo.iff"}, {"logo.iff"}},
        // An empty directory at the top is shorter than the root length and
        // keeps its whole name.
        {{"a", "-r", "arc.tmb", "docs/empty"}, {"docs/empty/"}},
    };
    for (const Case &c : cases) {
        TempDir t;
        make_docs(t);
        RunResult r = run_in(t, c.args);
        EXPECT_EQ(r.status, 0) << c.args[1] << r.err;
        bool marker = false;
        auto entries = read_entries(t / "arc.tmb", &marker);
        std::vector<std::string> names;
        for (auto &e : entries)
            names.push_back(e.name);
        EXPECT_EQ(sorted(names), c.names) << c.args.back();
        EXPECT_TRUE(marker);
        Bytes arc = read_file(t / "arc.tmb");
        ASSERT_GE(arc.size(), 2u);
        EXPECT_EQ(arc[arc.size() - 1], 0);
        EXPECT_EQ(arc[arc.size() - 2], 0);
    }
}

// Stored files are written in their turn, which may come after the next
// argument has begun; they keep the names of their own argument.
TEST(AddNames, StoredFilesOfATreeKeepTheirNamesWithThreads)
{
    TempDir t;
    mkdirs(t / "tree/sub");
    for (int i = 0; i < 300; i++)
        write_text(t / ("tree/sub/f" + std::to_string(i)), "x");
    write_text(t / "top.txt", "top");
    RunResult r = run_in(t, {"a", "-q", "-r", "-lh0", "-T2", "arc.tmb", "tree", "top.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names = entry_names(t / "arc.tmb");
    ASSERT_EQ(names.size(), 301u);
    EXPECT_EQ(names.back(), "top.txt");
    names.pop_back();
    for (const std::string &n : names)
        EXPECT_EQ(n.rfind("sub/f", 0), 0u) << n;
}

TEST(AddNames, DirectoryWithoutRecursionIsReportedAndAddsNothing)
{
    TempDir t;
    make_docs(t);
    RunResult r = run_in(t, {"a", "arc.tmb", "docs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "  adding dir:  docs\n"));
    EXPECT_TRUE(contains(r.out, "\nDone. Added: 0  Errors: 1\n"));
    EXPECT_EQ(r.err, "  Directory not added: docs (-r adds its files)\n"
                     "No entry added: arc.tmb; not created\n");
    EXPECT_FALSE(file_exists(t / "arc.tmb"));
}

TEST(AddMessages, MissingFileIsCountedAndTheRestIsAdded)
{
    struct Case {
        std::string method;
        std::string out_line;
        std::string err_line;
    };
    const Case cases[] = {
        {"-lh0", adding_line(2, "missing.txt", " ERROR\n"),
         "  Cannot open: missing.txt (No such file or directory)\n"},
        {"-lh5", adding_line(2, "missing.txt", " OPEN ERROR\n"),
         "  Cannot open: missing.txt (No such file or directory)\n"},
    };
    for (const Case &c : cases) {
        TempDir t;
        write_text(t / "f1.txt", "first\n");
        RunResult r = run_in(t, {"a", c.method, "arc.tmb", "f1.txt", "missing.txt"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.out, c.out_line)) << r.out;
        EXPECT_EQ(r.err, c.err_line);
        EXPECT_TRUE(contains(r.out, "\nDone. Added: 1  Errors: 1\n")) << r.out;
        EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"f1.txt"});
    }
}

TEST(AddMessages, StoredEntryCarriesSizeCrcTimeAndName)
{
    TempDir t;
    write_text(t / "empty.txt", "");
    write_text(t / "nine.txt", "123456789");
    struct timespec ts[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, (t / "nine.txt").c_str(), ts, 0);
    RunResult r = run_in(t, {"a", "-lh0", "arc.tmb", "empty.txt", "nine.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, adding_line(1, "empty.txt", " OK\n"))) << r.out;
    auto e = read_entries(t / "arc.tmb");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].orig_size, 0u);
    EXPECT_EQ(e[0].comp_size, 0u);
    EXPECT_EQ(e[0].crc, 0);
    EXPECT_EQ(e[0].raw.size(), 9u + 34u);  // header only: L + 34 bytes
    EXPECT_EQ(e[1].method, 0);
    EXPECT_EQ(e[1].crc, 0xBB3D);  // CRC-16/ARC check value of 123456789
    EXPECT_EQ(e[1].mtime, 1000000000);
    EXPECT_EQ(e[1].level, 2);
}

TEST(AddWildcards, ExpansionOrderAndPaths)
{
    TempDir t;
    mkdirs(t / "sub");
    write_text(t / "a.c", "a");
    write_text(t / "b.c", "b");
    write_text(t / "sub/c.c", "c");
    write_text(t / "main.h", "h");
    write_text(t / ".hidden.c", "x");

    RunResult r = run_in(t, {"a", "-lh0", "-r", "-debug1", "arc.tmb", "*.c", "main.h"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Expanding: *.c (dir='(current)' pat='*.c')\n"));
    // The debug log shows the arguments as the command received them.
    std::string log = read_text(t / "RAM:tmb_debug.txt");
    EXPECT_TRUE(contains(log, "='./a.c'"));
    EXPECT_TRUE(contains(log, "='./.hidden.c'"));
    EXPECT_TRUE(contains(log, "='./sub/c.c'"));
    auto names = entry_names(t / "arc.tmb");
    ASSERT_EQ(names.size(), 5u);
    // Matches of the top directory first, then the subdirectory, then the
    // argument after the pattern.
    EXPECT_EQ(names[3], "c.c");
    EXPECT_EQ(names[4], "main.h");
    EXPECT_EQ(sorted({names[0], names[1], names[2]}),
              (std::vector<std::string>{".hidden.c", "a.c", "b.c"}));

    RunResult none = run_in(t, {"a", "arc2.tmb", "#?.xyz"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.out, "Expanding: #?.xyz (dir='(current)' pat='#?.xyz')\n"));
    EXPECT_EQ(none.err, "No files specified.\n");
    EXPECT_FALSE(file_exists(t / "arc2.tmb"));

    // The directory part keeps its separator: 'sub/' + '/' + name.
    RunResult sub = run_in(t, {"a", "-lh0", "-debug1", "arc3.tmb", "sub/*.c"});
    EXPECT_TRUE(contains(read_text(t / "RAM:tmb_debug.txt"), "='sub//c.c'"));
    EXPECT_EQ(entry_names(t / "arc3.tmb"), std::vector<std::string>{"c.c"});
}

TEST(AddWildcards, FileNamedWithAStarGoesThroughTheScan)
{
    TempDir t;
    write_text(t / "a*b", "star");
    // The archive's own name matches the pattern as well, but the archive
    // is never added to itself.
    RunResult r = run_in(t, {"a", "-lh0", "arc.tmb", "a*b"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Scanning: ./a*b\n"));
    EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"a*b"});
}

namespace {

// Files that exercise the stored fallback, empty data, long matches and
// sizes past one 64 KB buffer.
void make_mixed_tree(const TempDir &t)
{
    mkdirs(t / "tree/sub/deeper");
    write_text(t / "tree/empty.bin", "");
    std::string text;
    for (int i = 0; i < 4000; i++)
        text += "line " + std::to_string(i % 37) + " of a fairly repetitive text\n";
    write_text(t / "tree/text.txt", text);
    std::mt19937 rng(7);
    Bytes noise(70000);
    for (auto &b : noise)
        b = (uint8_t)rng();
    write_file(t / "tree/sub/noise.bin", noise);
    Bytes runs(200000);
    for (size_t i = 0; i < runs.size(); i++)
        runs[i] = (uint8_t)((i / 1000) % 3);
    write_file(t / "tree/sub/deeper/runs.bin", runs);
}

} // namespace

TEST(AddRoundTrip, EveryMethodExtractsByteForByte)
{
    for (std::string method : {"-lh0", "-lh5", "-lh6", "-lh7"}) {
        TempDir t;
        make_mixed_tree(t);
        RunResult a = run_in(t, {"a", "-q", "-r", method, "arc.tmb", "tree"});
        ASSERT_EQ(a.status, 0) << method << a.err;
        RunResult test = run_in(t, {"t", "-q", "arc.tmb"});
        EXPECT_EQ(test.status, 0) << method << test.out << test.err;
        RunResult x = run_in(t, {"x", "-q", "-o", "-d", "out", "arc.tmb"});
        EXPECT_EQ(x.status, 0) << method << x.err;
        for (std::string f : {"empty.bin", "text.txt", "sub/noise.bin", "sub/deeper/runs.bin"})
            EXPECT_EQ(read_file(t / ("out/" + f)), read_file(t / ("tree/" + f))) << method << f;
        if (method != "-lh0") {
            for (auto &e : read_entries(t / "arc.tmb")) {
                if (e.name == "text.txt") {
                    EXPECT_EQ(e.method, method[3] - '0') << method;
                }
                if (e.name == "sub/noise.bin") {
                    EXPECT_EQ(e.method, 0) << "incompressible data is stored";
                }
            }
        }
    }
}

TEST(AddSplit, SplitsOnlyAnErrorFreeArchive)
{
    TempDir t;
    write_file(t / "big.bin", Bytes(2500, 'x'));
    RunResult r = run_in(t, {"a", "-lh0", "-s1", "arc.tmb", "big.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(t / "arc.tmb"));
    EXPECT_TRUE(file_exists(t / "arc.tmb.001"));
    EXPECT_TRUE(file_exists(t / "arc.tmb.003"));
    EXPECT_TRUE(file_exists(t / "arc.tmb.info"));
    EXPECT_TRUE(contains(r.out, "\nDone. Added: 1  Errors: 0\n"));

    TempDir u;
    write_file(u / "big.bin", Bytes(2500, 'x'));
    RunResult bad = run_in(u, {"a", "-lh0", "-s1", "arc.tmb", "big.bin", "missing"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(list_dir(u.path()), (std::vector<std::string>{"arc.tmb", "big.bin"}));
}

TEST(AddFailures, WriteFailureIsReportedAndNothingIsSplitOrRemoved)
{
    // Each file fits the limit on its own (the packing temporary file is
    // bound by it too), the archive of both does not.
    for (std::string method : {"-lh0", "-lh5"}) {
        TempDir t;
        std::mt19937 rng(3);
        for (std::string name : {"a.bin", "b.bin"}) {
            Bytes data(5000);
            for (auto &b : data)
                b = (uint8_t)rng();
            write_file(t / name, data);
        }
        RunOptions o;
        o.cwd = t.path();
        o.file_size_limit = 8000;
        // No archive of that name yet: no cut-off archive, no parts and no
        // temporary file are left. An archive already there stays as it was.
        write_text(t / "small.txt", "an older archive");
        ASSERT_EQ(run_in(t, {"aq", "old.tmb", "small.txt"}).status, 0);
        const Bytes old_archive = read_file(t / "old.tmb");
        remove((t / "old.tmb").c_str());
        remove((t / "small.txt").c_str());
        for (bool existing : {false, true}) {
            if (existing)
                write_file(t / "arc.tmb", old_archive);
            RunResult r = run_tambrix({"a", method, "-s4", "arc.tmb", "a.bin", "b.bin"}, o);
            EXPECT_EQ(r.status, 1) << method;
            EXPECT_TRUE(contains(r.err, "Write error")) << method << r.err;
            EXPECT_FALSE(contains(r.out, "Errors: 0")) << r.out;
            std::vector<std::string> left = {"a.bin", "b.bin"};
            if (existing) {
                left = {"a.bin", "arc.tmb", "b.bin"};
                EXPECT_EQ(read_file(t / "arc.tmb"), old_archive);
            }
            EXPECT_EQ(list_dir(t.path()), left) << method << " existing=" << existing;
        }
    }
}

TEST(AddFailures, RefusesFilesThatCannotBecomeEntries)
{
    TempDir t;
    write_text(t / "ok.txt", "fine");
    // A sparse file of exactly 4 GiB does not fit the 32-bit size fields.
    {
        std::ofstream f(t / "huge.bin", std::ios::binary);
    }
    ASSERT_EQ(truncate((t / "huge.bin").c_str(), 4294967296LL), 0);
    ASSERT_EQ(mkfifo((t / "pipe").c_str(), 0644), 0);
    for (std::string method : {"-lh0", "-lh5"}) {
        RunResult r = run_in(t, {"a", method, "arc.tmb", "huge.bin", "pipe", "ok.txt"});
        EXPECT_EQ(r.status, 1) << method;
        EXPECT_TRUE(contains(r.err, "  File too large (4 GiB or more): huge.bin\n")) << r.err;
        EXPECT_TRUE(contains(r.err, "  Not a regular file: pipe\n")) << r.err;
        EXPECT_TRUE(contains(r.out, "\nDone. Added: 1  Errors: 2\n")) << r.out;
        EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"ok.txt"});
    }
}

TEST(AddFailures, LinksToDirectoriesAreNotFollowedWhileWalking)
{
    TempDir t;
    mkdirs(t / "tree/dir");
    write_text(t / "tree/dir/file.txt", "once");
    write_text(t / "tree/target.txt", "linked file");
    ASSERT_EQ(symlink("..", (t / "tree/dir/up").c_str()), 0);
    ASSERT_EQ(symlink("../../tree", (t / "tree/dir/loop").c_str()), 0);
    ASSERT_EQ(symlink("target.txt", (t / "tree/alias.txt").c_str()), 0);
    RunResult r = run_in(t, {"a", "-r", "-lh0", "arc.tmb", "tree"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "  skipping link to directory:  tree/dir/up\n"));
    EXPECT_TRUE(contains(r.out, "  skipping link to directory:  tree/dir/loop\n"));
    EXPECT_EQ(sorted(entry_names(t / "arc.tmb")),
              (std::vector<std::string>{"alias.txt", "dir/file.txt", "target.txt"}));
}

// Names found in the file system reach the terminal escaped like names
// read from an archive (C0, DEL and C1 controls), in a's and u's lines on
// both streams; the entries keep them byte for byte.
TEST(AddMessages, FileSystemNamesAreShownEscaped)
{
    TempDir t;
    const std::string top = "w\x9B" "2J", sub = top + "/s\x1b[1m";
    mkdirs(t / sub);
    write_text(t / (sub + "/f\xC2\x9B" "31m.txt"), "in");
    write_text(t / (top + "/caf\xC3\xA9.txt"), "utf-8 stays");
    ASSERT_EQ(mkfifo((t / (top + "/p\x07ipe")).c_str(), 0644), 0);
    ASSERT_EQ(symlink(".", (t / (top + "/l\x1b]0;x")).c_str()), 0);
    RunResult a = run_in(t, {"a", "-r", "arc.tmb", top});
    EXPECT_EQ(a.status, 1);  // the FIFO
    for (const std::string &line :
         {std::string("  adding dir:  w\\2332J\n"), std::string("  adding dir:  w\\2332J/s\\033[1m\n"),
          std::string("] adding:  w\\2332J/s\\033[1m/f\\302\\23331m.txt"), std::string("] adding:  w\\2332J/caf\xC3\xA9.txt"),
          std::string("  skipping link to directory:  w\\2332J/l\\033]0;x\n")})
        EXPECT_TRUE(contains(a.out, line)) << line << "\n" << a.out;
    EXPECT_EQ(a.err, "  Not a regular file: w\\2332J/p\\007ipe\n");
    EXPECT_EQ(sorted(entry_names(t / "arc.tmb")),
              (std::vector<std::string>{"caf\xC3\xA9.txt", "s\x1b[1m/f\xC2\x9B" "31m.txt"}));

    const std::string old_name = "g\x9B" "x.txt", new_name = "n\x1b[7m.txt";
    write_text(t / old_name, "old");
    struct timespec then[2] = {{1500000000, 0}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (t / old_name).c_str(), then, 0), 0);
    ASSERT_EQ(run_in(t, {"a", "-q", "-lh0", "u.tmb", old_name}).status, 0);
    write_text(t / old_name, "newer");
    write_text(t / new_name, "new");
    RunResult u = run_in(t, {"u", "-lh0", "u.tmb", old_name, new_name});
    EXPECT_EQ(u.status, 0) << u.err;
    EXPECT_TRUE(contains(u.out, "  updating: g\\233x.txt\n" + adding_line(1, "g\\233x.txt", " OK\n"))) << u.out;
    EXPECT_TRUE(contains(u.out, "  adding:   n\\033[7m.txt\n" + adding_line(2, "n\\033[7m.txt", " OK\n"))) << u.out;
    EXPECT_EQ(entry_names(t / "u.tmb"), (std::vector<std::string>{old_name, new_name}));

    for (const RunResult *r : {&a, &u})
        for (const std::string &s : {r->out, r->err})
            for (char raw : {'\x1b', '\x07', '\x9B'})
                EXPECT_EQ(s.find(raw), std::string::npos) << (int)(unsigned char)raw << " in " << s;
}

TEST(AddTemporaryFiles, PlantedLinksAreNotFollowedAndConcurrentRunsStayApart)
{
    TempDir t;
    // Links at the names a predictable scheme would use first.
    write_text(t / "victim", "do not touch");
    std::vector<std::string> planted;
    for (int i = 1; i <= 3; i++) {
        std::string p = "/tmp/tambrix_" + std::to_string(i) + ".tmp";
        if (symlink((t / "victim").c_str(), p.c_str()) == 0)
            planted.push_back(p);
    }
    // Two adds of different data at once, each with several packed files.
    for (std::string side : {"one", "two"}) {
        mkdirs(t / side);
        for (int i = 0; i < 6; i++) {
            std::string text;
            for (int j = 0; j < 3000; j++)
                text += side + " " + std::to_string(i * j % 101) + "\n";
            write_text(t / (side + "/f" + std::to_string(i) + ".txt"), text);
        }
    }
    RunResult r1, r2;
    std::thread th([&] { r1 = run_in(t, {"a", "-q", "-r", "one.tmb", "one"}); });
    r2 = run_in(t, {"a", "-q", "-r", "two.tmb", "two"});
    th.join();
    for (const std::string &p : planted)
        unlink(p.c_str());
    EXPECT_EQ(r1.status, 0) << r1.err;
    EXPECT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(read_text(t / "victim"), "do not touch");
    for (std::string side : {"one", "two"}) {
        RunResult x = run_in(t, {"x", "-q", "-o", "-d", "out_" + side, side + ".tmb"});
        EXPECT_EQ(x.status, 0) << x.err;
        for (int i = 0; i < 6; i++) {
            std::string f = "/f" + std::to_string(i) + ".txt";
            EXPECT_EQ(read_file(t / ("out_" + side + f)), read_file(t / (side + f))) << side << f;
        }
    }
}
