// What the writing commands must never replace or lose: a file named as
// the archive that holds no archive, an archive (or .run) reached through
// a symbolic link, and the counts and messages of files that fail below a
// directory. Each case checks what is on disk afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "archive_entries.h"
#include "testkit.h"

using namespace testkit;

namespace {

RunResult run_in(const TempDir &t, const std::vector<std::string> &args)
{
    RunOptions o;
    o.cwd = t.path();
    o.close_stdin = true;
    return run_tambrix(args, o);
}

bool contains(const std::string &hay, const std::string &needle)
{
    return hay.find(needle) != std::string::npos;
}

std::string link_target(const std::string &path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? "" : std::string(buf, (size_t)n);
}

// No ".tmp" file of the program's is left in the directory.
void expect_no_temporaries(const std::string &dir)
{
    for (const std::string &n : list_dir(dir))
        EXPECT_FALSE(n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0) << n;
}

// A file named as the archive is replaced only when it holds an archive or
// nothing; anything else stays byte for byte and the command fails.
TEST(AddGuard, ReplacesOnlyAnArchiveOrAnEmptyFile)
{
    struct Case {
        const char *what;
        Bytes old;
        bool replaced;
    };
    const Case cases[] = {
        {"text file", Bytes{'n', 'o', 't', 'e', 's', '\n'}, false},
        {"one non-zero byte", Bytes{'-'}, false},
        {"binary that is no header", Bytes{0x20, '-', 'l', 'h', '5', '-', 1, 2, 3, 4}, false},
        {"empty file", Bytes{}, true},
        {"archive without entries", Bytes{0, 0}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir t;
        write_text(t / "f.txt", "data\n");
        write_file(t / "arc.tmb", c.old);
        RunResult r = run_in(t, {"aq", "arc.tmb", "f.txt"});
        if (c.replaced) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"f.txt"});
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Not an LZH archive, not replaced: arc.tmb\n");
            EXPECT_EQ(read_file(t / "arc.tmb"), c.old);
        }
        expect_no_temporaries(t.path());
    }
    // A real archive is replaced by the new one (never extended).
    TempDir t;
    write_text(t / "f.txt", "data\n");
    write_text(t / "g.txt", "more\n");
    ASSERT_EQ(run_in(t, {"aq", "arc.tmb", "f.txt"}).status, 0);
    ASSERT_EQ(run_in(t, {"aq", "arc.tmb", "g.txt"}).status, 0);
    EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"g.txt"});
}

// Many files start with a zero byte: films, fonts, disc images, programs
// (a self-extractor among them, which holds an archive behind its code).
// Only the end mark alone, one or two zero bytes, is an empty archive; a,
// u, f and d leave every other such file exactly as it was.
TEST(AddGuard, FilesStartingWithAZeroByteAreNoArchive)
{
    auto noise = [](size_t n, uint32_t seed) {
        Bytes b(n);
        for (auto &c : b) {
            seed = seed * 1664525 + 1013904223;
            c = (uint8_t)(seed >> 24);
        }
        return b;
    };
    auto starting = [](Bytes head, Bytes rest) {
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    };
    TempDir made;
    write_text(made / "f.txt", std::string(3000, 'f'));
    ASSERT_EQ(run_in(made, {"aq", "-sfx", "game", "f.txt"}).status, 0);
    ASSERT_EQ(run_in(made, {"aq", "-lh0", "arc.tmb", "f.txt"}).status, 0);
    Bytes zeroed = read_file(made / "arc.tmb");
    std::fill(zeroed.begin(), zeroed.begin() + 512, 0);
    struct Case {
        const char *what;
        Bytes old;
    };
    const Case cases[] = {
        {"film", starting({0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm'}, noise(100004, 1))},
        {"font", starting({0, 1, 0, 0, 0, 0x0C, 0, 0x80}, noise(4000, 2))},
        {"disc image", starting(Bytes(32768, 0), starting({1, 'C', 'D', '0', '0', '1', 1}, noise(2000, 3)))},
        {"self-extractor", read_file(made / "game.run")},
        {"archive with its first 512 bytes zeroed", zeroed},
        {"three zero bytes", Bytes{0, 0, 0}},
        {"end mark and one more byte", Bytes{0, 0, 0x1A}},
    };
    for (const Case &c : cases) {
        for (const char *cmd : {"aq", "uq", "fq", "dq"}) {
            SCOPED_TRACE(std::string(c.what) + ", " + cmd);
            TempDir t;
            write_text(t / "f.txt", "data\n");
            write_file(t / "x.bin", c.old);
            RunResult r = run_in(t, {cmd, "x.bin", "f.txt"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, std::string(cmd) == "aq"
                                 ? "Not an LZH archive, not replaced: x.bin\n"
                                 : "Not an LZH archive: x.bin (unreadable entry header); archive left unchanged\n");
            EXPECT_TRUE(read_file(t / "x.bin") == c.old);
            EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"f.txt", "x.bin"}));
        }
    }
    // The end mark alone is an archive without entries, for every command.
    for (const Bytes &empty : {Bytes{0}, Bytes{0, 0}}) {
        for (const char *cmd : {"aq", "uq", "fq", "dq"}) {
            SCOPED_TRACE(std::string(cmd) + " on " + std::to_string(empty.size()) + " zero bytes");
            TempDir t;
            write_text(t / "f.txt", "data\n");
            write_file(t / "x.bin", empty);
            RunResult r = run_in(t, {cmd, "x.bin", "f.txt"});
            // d names an entry the empty archive does not have.
            bool deletes = std::string(cmd) == "dq";
            EXPECT_EQ(r.status, deletes ? 1 : 0) << r.err;
            EXPECT_EQ(r.err, deletes ? "No entry matches: f.txt\n" : "");
            bool adds = std::string(cmd) == "aq" || std::string(cmd) == "uq";
            EXPECT_EQ(entry_names(t / "x.bin"), adds ? std::vector<std::string>{"f.txt"}
                                                     : std::vector<std::string>{});
            // f and d change nothing, so the file is not rewritten.
            if (!adds) {
                EXPECT_EQ(read_file(t / "x.bin"), empty);
            }
            expect_no_temporaries(t.path());
        }
    }
}

// An archive name that is a symbolic link: the file it points at is
// rewritten (its temporary beside it, in the other directory), the link
// stays a link. For a, u, f and d alike.
TEST(AddGuard, ArchiveNamedByALinkIsRewrittenWhereItPoints)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> entries;  // in the target afterwards
    };
    const Case cases[] = {
        {{"aq", "link.tmb", "f.txt"}, {"f.txt"}},
        {{"uq", "link.tmb", "g.txt"}, {"f.txt", "g.txt"}},
        {{"fq", "link.tmb", "f.txt"}, {"f.txt"}},
        {{"dq", "link.tmb", "f.txt"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        TempDir t;
        mkdir((t / "real").c_str(), 0755);
        write_text(t / "f.txt", "data\n");
        write_text(t / "g.txt", "more\n");
        ASSERT_EQ(run_in(t, {"aq", "real/arc.tmb", "f.txt"}).status, 0);
        // Two links in a row, the first relative to its own directory.
        ASSERT_EQ(symlink("real/mid.tmb", (t / "link.tmb").c_str()), 0);
        ASSERT_EQ(symlink("arc.tmb", (t / "real/mid.tmb").c_str()), 0);
        if (c.args[0] == "fq") {
            struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (t / "f.txt").c_str(), times, 0), 0);
        }
        RunResult r = run_in(t, c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(link_target(t / "link.tmb"), "real/mid.tmb");
        EXPECT_EQ(link_target(t / "real/mid.tmb"), "arc.tmb");
        EXPECT_EQ(entry_names(t / "real/arc.tmb"), c.entries);
        expect_no_temporaries(t.path());
        expect_no_temporaries(t / "real");
    }
    // A link that leads nowhere yet: a creates the file it names.
    TempDir t;
    write_text(t / "f.txt", "data\n");
    ASSERT_EQ(symlink("new.tmb", (t / "link.tmb").c_str()), 0);
    RunResult r = run_in(t, {"aq", "link.tmb", "f.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(link_target(t / "link.tmb"), "new.tmb");
    EXPECT_EQ(entry_names(t / "new.tmb"), std::vector<std::string>{"f.txt"});
    // A link to a file that is no archive is refused like the file itself.
    write_text(t / "notes.txt", "notes\n");
    ASSERT_EQ(symlink("notes.txt", (t / "notes.tmb").c_str()), 0);
    r = run_in(t, {"aq", "notes.tmb", "f.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_text(t / "notes.txt"), "notes\n");
}

// Every file that fails below a directory is one error, "Added" counts the
// entries written, and each failure is named with its reason on standard
// error, under -q too.
TEST(AddGuard, EveryFailedFileBelowADirectoryCounts)
{
    for (std::string method : {"-lh0", "-lh5"}) {
        SCOPED_TRACE(method);
        TempDir t;
        mkdir((t / "d").c_str(), 0755);
        for (int i = 1; i <= 13; i++)
            ASSERT_EQ(symlink(("/nonexistent/" + std::to_string(i)).c_str(),
                              (t / ("d/l" + std::to_string(i))).c_str()),
                      0);
        write_text(t / "d/ok.txt", "fine\n");
        RunResult r = run_in(t, {"a", "-r", method, "arc.tmb", "d"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.out, "\nDone. Added: 1  Errors: 13\n")) << r.out;
        EXPECT_EQ(entry_names(t / "arc.tmb"), std::vector<std::string>{"ok.txt"});

        RunResult q = run_in(t, {"aq", "-r", method, "arc.tmb", "d"});
        EXPECT_EQ(q.status, 1);
        for (int i = 1; i <= 13; i++)
            EXPECT_TRUE(contains(q.err, "  Cannot open: d/l" + std::to_string(i) +
                                            " (No such file or directory)\n"))
                << q.err;
    }
}

// a -sfx with the directory that receives the .run: neither the .run being
// replaced nor the builder's temporaries become entries.
TEST(AddGuard, SelfExtractorNeverStoresItself)
{
    TempDir t;
    write_text(t / "f.txt", "data\n");
    for (int round = 0; round < 2; round++) {  // the second finds g.run there
        SCOPED_TRACE(round);
        RunResult r = run_in(t, {"aq", "-r", "-sfx", "g", "."});
        EXPECT_EQ(r.status, 0) << r.err;
        Bytes run = read_file(t / "g.run");
        ASSERT_GT(run.size(), 11992u);
        write_file(t / "inner.tmb", Bytes(run.begin() + 11992, run.end()));
        std::vector<std::string> names = entry_names(t / "inner.tmb");
        remove((t / "inner.tmb").c_str());
        EXPECT_EQ(names, std::vector<std::string>{"f.txt"});
        EXPECT_EQ(list_dir(t.path()), (std::vector<std::string>{"f.txt", "g.run"}));
    }
}

// The .run named by a link the user gave is rewritten where the link
// points; an existing file that is no AmigaOS program is not replaced.
TEST(AddGuard, SelfExtractorThroughALinkAndOverAForeignFile)
{
    TempDir t;
    write_text(t / "f.txt", "data\n");
    mkdir((t / "out").c_str(), 0755);
    ASSERT_EQ(symlink("out/real.run", (t / "g.run").c_str()), 0);
    RunResult r = run_in(t, {"aq", "-sfx", "g", "f.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(link_target(t / "g.run"), "out/real.run");
    EXPECT_GT(read_file(t / "out/real.run").size(), 11992u);
    expect_no_temporaries(t / "out");

    write_text(t / "h.run", "not a program\n");
    r = run_in(t, {"aq", "-sfx", "h", "f.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not a self-extracting archive, not replaced: h.run\n");
    EXPECT_EQ(read_text(t / "h.run"), "not a program\n");
    expect_no_temporaries(t.path());
}

} // namespace
