// x, e, t, p and the auto-join against hand-made archives and a hostile
// file system: links and special files planted in the target, a directory
// swapped for a link while x runs, entries that cannot be unpacked over
// files that must survive, paths too long to hold, packed data that ends
// early, linked parts, names that would drive the terminal, signals.
//
// Every case checks what is on disk afterwards, inside and outside the
// target, and the status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::LzhEntry;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;
using testkit::build_lv2;
using testkit::file_exists;
using testkit::make_archive;
using testkit::read_text;
using testkit::stored;
using testkit::write_file;
using testkit::write_text;

namespace {

LzhEntry with_method(LzhEntry e, const std::string &method)
{
    e.method = method;
    return e;
}

// Names in `path` that look like our temporary files.
std::vector<std::string> temporaries(const std::string &path)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind(".tmb", 0) == 0)
                out.push_back(n);
        }
        closedir(d);
    }
    return out;
}

bool is_link(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir((dir / "out").c_str(), 0755);
        mkdir((outside / "d").c_str(), 0755);
    }
    void put(const std::vector<Bytes> &entries, const std::string &name = "a.tmb")
    {
        write_file(dir / name, make_archive(entries));
    }
    RunResult run(const std::vector<std::string> &args, RunOptions o = {})
    {
        o.cwd = dir.path();
        if (o.input.empty())
            o.close_stdin = true;
        o.cpu_limit_seconds = 20; // a hang fails the case instead of the suite
        o.wall_limit_seconds = 30;
        // A hostile entry that unpacks without end fails at this size
        // instead of filling the disk; no sound file here comes near it.
        if (o.file_size_limit < 0)
            o.file_size_limit = 8 << 20;
        return testkit::run_tambrix(args, o);
    }
    RunResult with_faults(const std::vector<std::string> &args, std::vector<std::string> env)
    {
        RunOptions o;
        o.env = std::move(env);
        o.env.push_back(std::string("LD_PRELOAD=") + TMB_FAULTS_SO);
        o.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        return run(args, o);
    }
    std::string text(const std::string &rel) { return read_text(dir / rel); }

    TempDir dir;
    TempDir outside; // nothing may ever appear or change here
};

// Links and special files in the target: the name is replaced, never
// written through; a link among the directories is never entered.
TEST_F(Hostile, PlantedLinksAndSpecialFiles)
{
    struct Case {
        const char *what;
        const char *entry;
        void (*plant)(const std::string &out, const std::string &outside);
        int status;
        const char *in_target; // content expected at out/<entry>, nullptr: absent
    };
    const Case cases[] = {
        {"link to a file at the name", "f.txt",
         [](const std::string &o, const std::string &x) { symlink((x + "/victim").c_str(), (o + "/f.txt").c_str()); },
         0, "new"},
        {"dangling link at the name", "f.txt",
         [](const std::string &o, const std::string &x) { symlink((x + "/made").c_str(), (o + "/f.txt").c_str()); },
         0, "new"},
        {"hard link at the name", "f.txt",
         [](const std::string &o, const std::string &x) { link((x + "/victim").c_str(), (o + "/f.txt").c_str()); },
         0, "new"},
        {"FIFO at the name", "f.txt",
         [](const std::string &o, const std::string &) { mkfifo((o + "/f.txt").c_str(), 0644); }, 0, "new"},
        {"link to a directory on the way", "d/f.txt",
         [](const std::string &o, const std::string &x) { symlink((x + "/d").c_str(), (o + "/d").c_str()); },
         1, nullptr},
        {"link deeper on the way", "a/d/f.txt",
         [](const std::string &o, const std::string &x) {
             mkdir((o + "/a").c_str(), 0755);
             symlink((x + "/d").c_str(), (o + "/a/d").c_str());
         },
         1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir / "out");
        mkdir((dir / "out").c_str(), 0755);
        write_text(outside / "victim", "keep");
        std::filesystem::remove(outside / "made");
        c.plant(dir / "out", outside.path());
        put({build_lv2(stored(c.entry, "new"))});
        RunResult r = run({"xqo", "a.tmb", "out/"});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_EQ(read_text(outside / "victim"), "keep");
        EXPECT_FALSE(file_exists(outside / "made"));
        EXPECT_FALSE(file_exists(outside / "d/f.txt"));
        if (c.in_target) {
            EXPECT_FALSE(is_link(dir / "out/" + c.entry));
            EXPECT_EQ(text(std::string("out/") + c.entry), c.in_target);
        } else {
            EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
        }
        EXPECT_TRUE(temporaries(dir / "out").empty());
    }
}

// The overwrite question is asked for any name that exists: a file we may
// not read, a link, a FIFO. Declined (end of input), nothing changes.
TEST_F(Hostile, ExistingNamesAreAskedAbout)
{
    write_text(dir / "out/wo.txt", "old");
    chmod((dir / "out/wo.txt").c_str(), 0200);
    mkfifo((dir / "out/fifo").c_str(), 0644);
    symlink("nowhere", (dir / "out/dangling").c_str());
    put({build_lv2(stored("wo.txt", "new")), build_lv2(stored("fifo", "new")),
         build_lv2(stored("dangling", "new"))});
    RunResult r = run({"xq", "a.tmb", "out/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Skipped: 3"), std::string::npos) << r.out;
    chmod((dir / "out/wo.txt").c_str(), 0600);
    EXPECT_EQ(text("out/wo.txt"), "old");
    EXPECT_TRUE(is_link(dir / "out/dangling"));
}

// A directory of the target swapped for a link to elsewhere while x runs.
// Files of that directory keep going into the directory that was checked
// (its descriptor is held); an entry that walks down afresh meets the link
// and is refused. Nothing lands outside.
TEST_F(Hostile, DirectorySwappedDuringExtraction)
{
    put({build_lv2(stored("sub/a.txt", "a")), build_lv2(stored("sub/b.txt", "b")),
         build_lv2(stored("top.txt", "t")), build_lv2(stored("sub/c.txt", "c"))});
    // One thread, so that the swap at the second temporary comes before
    // the walk for sub/c.txt (with workers making the temporaries it may
    // come later; the files then simply all land in the checked directory).
    RunResult r = with_faults({"xqo", "-T1", "a.tmb", "out/"},
                              {"TMB_SWAP_DIR=" + dir / "out/sub", "TMB_SWAP_TO=" + outside / "d",
                               "TMB_SWAP_AT=2"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(is_link(dir / "out/sub"));
    EXPECT_EQ(text("out/sub.old/a.txt"), "a");
    EXPECT_EQ(text("out/sub.old/b.txt"), "b");
    EXPECT_EQ(text("out/top.txt"), "t");
    EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(outside / "d"));
}

// Entries that cannot be unpacked leave an existing file exactly as it was
// and leave no temporary; t fails them the same way.
TEST_F(Hostile, FailedEntriesNeverTouchTheOldFile)
{
    LzhEntry bad_crc = stored("f.txt", "new data");
    bad_crc.crc ^= 0x4321;
    LzhEntry short_stored = stored("f.txt", "new data");
    short_stored.packed.resize(3);
    LzhEntry nothing_packed = with_method(stored("f.txt", ""), "-lh5-");
    nothing_packed.orig_size = 0xFFFFFFFF; // 4 GiB out of no bytes at all
    nothing_packed.crc = 0;
    struct Case {
        const char *what;
        LzhEntry e;
        const char *err;
    };
    const Case cases[] = {
        {"CRC mismatch", bad_crc, "CRC mismatch"},
        {"stored data cut short", short_stored, "ends before the entry does"},
        {"packed data ends at once", nothing_packed, "ends before the entry does"},
        {"unsupported method", with_method(stored("f.txt", "x"), "-lh2-"), "Unsupported method: -lh2-"},
        {"unknown method", with_method(stored("f.txt", "x"), "-xyz-"), "Unsupported method: -----"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_text(dir / "out/f.txt", "old");
        put({build_lv2(c.e)});
        auto t0 = std::chrono::steady_clock::now();
        for (const char *cmd : {"xqo", "eqo"}) {
            RunResult r = run({cmd, "a.tmb", "out/"});
            EXPECT_EQ(r.status, 1) << cmd;
            EXPECT_NE(r.err.find(c.err), std::string::npos) << cmd << r.err;
            EXPECT_EQ(text("out/f.txt"), "old") << cmd;
            EXPECT_TRUE(temporaries(dir / "out").empty()) << cmd;
        }
        RunResult t = run({"tq", "a.tmb"});
        EXPECT_EQ(t.status, 1);
        EXPECT_NE(t.err.find(c.err), std::string::npos) << t.err;
        // Damage is found at once, not after making up gigabytes.
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
}

// Headers whose check value does not fit their bytes, and files that only
// start with a zero byte. Nothing is taken from a damaged header (no file
// under a changed name); the entries before it are. A file is an empty
// archive only as the end mark alone; after the end mark of an archive
// with entries, the reading commands stop whatever follows.
TEST_F(Hostile, DamagedHeadersAndFilesThatAreNoArchive)
{
    const Bytes first = build_lv2(stored("first.txt", "one"));
    const LzhEntry second = stored("second.txt", "two");
    // The third character of the name changed after the check value was made.
    auto changed = [](Bytes entry, size_t name_at) {
        entry[name_at + 2] ^= 0x1B;
        return entry;
    };
    const std::string at_second = std::to_string(first.size());
    const std::string damaged = "Damaged archive: a.tmb (entry header checksum mismatch at offset " + at_second + ")\n";
    const std::string no_archive = "Not an LZH archive: a.tmb (unreadable entry header)\n";
    Bytes zeroed = make_archive({build_lv2(stored("big.txt", std::string(2000, 'b'))), first});
    std::fill(zeroed.begin(), zeroed.begin() + 512, 0);
    // A program for another machine with an archive inside it: its first
    // bytes are those of an executable's header.
    Bytes program = {0x00, 0x00, 0x03, 0xF3, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
    program.resize(300, 0x4E);
    testkit::append(program, make_archive({first}));
    Bytes trailing = make_archive({first});
    testkit::append(trailing, testkit::Bytes{'m', 'o', 'r', 'e'});
    struct Case {
        const char *what;
        Bytes bytes;
        int status;
        std::string err;                  // standard error of x, t and l alike
        std::vector<std::string> in_out;  // what x leaves in out/
        const char *listed;               // the listing's total line ends so
    };
    const Case cases[] = {
        {"level-0 name changed", make_archive({first, changed(testkit::build_lv0(second), 22)}), 1,
         damaged, {"first.txt"}, "  1 file\n"},
        {"level-1 name changed", make_archive({first, changed(testkit::build_lv1(second), 22)}), 1,
         damaged, {"first.txt"}, "  1 file\n"},
        {"level-2 name changed", make_archive({first, changed(build_lv2(second), 27)}), 1, damaged,
         {"first.txt"}, "  1 file\n"},
        {"first 512 bytes zeroed", zeroed, 1, no_archive, {}, "  0 files\n"},
        {"program with an archive inside", program, 1, no_archive, {}, "  0 files\n"},
        {"three zero bytes", Bytes{0, 0, 0}, 1, no_archive, {}, "  0 files\n"},
        {"the end mark alone", Bytes{0, 0}, 0, "", {}, "  0 files\n"},
        {"one zero byte", Bytes{0}, 0, "", {}, "  0 files\n"},
        {"bytes after the end mark", trailing, 0, "", {"first.txt"}, "  1 file\n"},
    };
    mkdir((dir / "tmp").c_str(), 0700);
    RunOptions o;
    o.env = {"TMPDIR=" + dir / "tmp"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir / "out");
        mkdir((dir / "out").c_str(), 0755);
        write_file(dir / "a.tmb", c.bytes);
        RunResult x = run({"xqo", "a.tmb", "out/"}, o);
        EXPECT_EQ(x.status, c.status);
        EXPECT_EQ(x.err, c.err);
        std::vector<std::string> out;
        for (const auto &f : std::filesystem::directory_iterator(dir / "out"))
            out.push_back(f.path().filename().string());
        EXPECT_EQ(out, c.in_out);
        if (!c.in_out.empty()) {
            EXPECT_EQ(text("out/first.txt"), "one");
        }
        RunResult t = run({"tq", "a.tmb"}, o);
        EXPECT_EQ(t.status, c.status);
        EXPECT_EQ(t.err, c.err);
        RunResult l = run({"lq", "a.tmb"}, o);
        EXPECT_EQ(l.status, c.status);
        EXPECT_EQ(l.err, c.err);
        EXPECT_TRUE(l.out.size() > strlen(c.listed) &&
                    l.out.compare(l.out.size() - strlen(c.listed), strlen(c.listed), c.listed) == 0)
            << l.out;
        EXPECT_EQ(testkit::read_file(dir / "a.tmb"), c.bytes);
        EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));
    }
    // An endless device is no archive either, found after a few bytes.
    for (const char *cmd : {"lq", "tq"}) {
        RunResult r = run({cmd, "/dev/zero"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "Not an LZH archive: /dev/zero (unreadable entry header)\n") << cmd;
    }
}

// A signal while a file is being written: the old file stays, the
// temporary goes.
TEST_F(Hostile, SignalDuringExtractionLeavesNoTemporary)
{
    write_text(dir / "out/f.txt", "old");
    put({build_lv2(stored("f.txt", std::string(100000, 'n')))});
    for (const char *sig : {"TMB_SIGNAL=15", "TMB_SIGNAL=2"}) {
        SCOPED_TRACE(sig);
        RunResult r = with_faults({"xqo", "a.tmb", "out/"}, {"TMB_SIGNAL_WRITE_MATCH=/out/.tmb", sig});
        EXPECT_GE(r.status, 128);
        EXPECT_EQ(text("out/f.txt"), "old");
        EXPECT_TRUE(temporaries(dir / "out").empty());
    }
}

// Signals while workers keep temporaries in flight: the program ends by
// the signal (at once, not spinning for ever), and not one temporary of
// the target stays. The fault library holds each moment open:
// - the main thread holds the registry's lock when the signal comes (it
//   releases a.txt's temporary), while a worker that has made the
//   temporary for second/b.txt waits for that lock to register it;
// - the signal comes with 600 temporaries in flight: with 11 workers the
//   queue holds 22 jobs of up to 32 small entries, and the first job is
//   held so that none of them can be renamed into place.
TEST_F(Hostile, SignalsDuringParallelExtractionLeaveNothing)
{
    std::vector<Bytes> apart; // entries too large to go to the workers together
    for (const char *name : {"first/a.txt", "second/b.txt", "second/c.txt"})
        apart.push_back(build_lv2(stored(name, std::string(40000, name[0]))));
    std::vector<Bytes> many;
    for (int i = 0; i < 700; i++)
        many.push_back(build_lv2(stored(std::to_string(i) + ".txt", std::to_string(i))));
    struct Case {
        const char *what;
        const std::vector<Bytes> &entries;
        const char *threads;
        std::vector<std::string> faults;
    };
    const Case cases[] = {
        {"inside the registry's lock", apart, "-T2", {"TMB_SIGNAL_IN_LOCK=/second/"}},
        {"600 temporaries in flight", many, "-T11", {"TMB_SIGNAL_AT_TEMP=600", "TMB_HOLD_FIRST_TEMP=1"}},
    };
    for (const Case &c : cases)
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(c.what) + ", signal " + std::to_string(sig));
            std::filesystem::remove_all(dir / "out");
            put(c.entries);
            std::vector<std::string> env = c.faults;
            env.push_back("TMB_SIGNAL=" + std::to_string(sig));
            RunResult r = with_faults({"xqo", c.threads, "a.tmb", "out/"}, env);
            EXPECT_EQ(r.status, 128 + sig) << r.err;
            int files = 0;
            for (const auto &e : std::filesystem::recursive_directory_iterator(dir / "out")) {
                std::string n = e.path().filename().string();
                EXPECT_NE(n.rfind(".tmb", 0), 0u) << "left " << e.path();
                files += e.is_regular_file();
            }
            // What was renamed into place before the signal is whole.
            if (file_exists(dir / "out/first/a.txt")) {
                EXPECT_EQ(text("out/first/a.txt"), std::string(40000, 'f'));
            }
            EXPECT_LT(files, 700);
        }
}

// The temporaries' names in the target are drawn from the system's random
// source one by one: a name seen there says nothing about the next ones,
// so nobody can plant them in advance.
TEST_F(Hostile, TemporaryNamesAreDrawnOneByOne)
{
    std::vector<Bytes> entries;
    for (int i = 0; i < 20; i++)
        entries.push_back(build_lv2(stored(std::to_string(i) + ".txt", "x")));
    put(entries);
    for (const char *threads : {"-T1", "-T2"}) {
        SCOPED_TRACE(threads);
        std::filesystem::remove_all(dir / "out");
        std::remove((dir / "temps").c_str());
        std::remove((dir / "draws").c_str());
        RunResult r = with_faults({"xqo", threads, "a.tmb", "out/"},
                                  {"TMB_TRACE_TEMPS=" + dir / "temps", "TMB_TRACE_RANDOM=" + dir / "draws"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string temps = text("temps"), draws = text("draws");
        std::set<std::string> names;
        for (size_t at = 0, end; (end = temps.find('\n', at)) != std::string::npos; at = end + 1)
            names.insert(temps.substr(at, end - at));
        EXPECT_EQ(names.size(), 20u) << temps;
        EXPECT_GE(std::count(draws.begin(), draws.end(), '\n'), 20);
    }
}

// Paths that do not fit are refused whole: two names that would be the
// same once cut must not write one file, and a cut name must not turn a
// file into a directory.
TEST_F(Hostile, PathsTooLongAreRefusedNotCut)
{
    const std::string stem(250, 'p');
    put({build_lv2(stored(stem + "/one", "1")), build_lv2(stored(stem + "/two", "2")),
         build_lv2(stored("ok.txt", "ok"))});
    RunResult r = run({"xqo", "a.tmb", "out/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Path too long: out/" + stem + "/one"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Path too long: out/" + stem + "/two"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir / ("out/" + stem)));
    EXPECT_EQ(text("out/ok.txt"), "ok");
    EXPECT_NE(r.out.find("Extracted: 1  Skipped: 0  Errors: 2"), std::string::npos) << r.out;
}

// A directory entry that cannot be made is an error.
TEST_F(Hostile, DirectoryEntryThatCannotBeMade)
{
    write_text(dir / "out/blocker", "file");
    LzhEntry d;
    d.dir = "blocker/";
    put({build_lv2(d)});
    RunResult r = run({"xq", "a.tmb", "out/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("out/blocker"), std::string::npos) << r.err;
    EXPECT_EQ(text("out/blocker"), "file");
}

// A file entry whose name ends in a '.' level names a directory, the
// target itself for ".": it is refused by name, and nothing is made for it.
TEST_F(Hostile, NamesEndingInDotAreRefusedByName)
{
    for (const char *cmd : {"x", "e"}) {
        for (const std::string name : {".", "a/.", "./.", "a\\."}) {
            SCOPED_TRACE(std::string(cmd) + " '" + name + "'");
            std::filesystem::remove_all(dir / "out");
            mkdir((dir / "out").c_str(), 0755);
            put({testkit::build_lv0(stored(name, "dot")), testkit::build_lv0(stored("fine.txt", "fine"))});
            RunResult r = run({cmd, "-q", "-o", "a.tmb", "out/"});
            EXPECT_EQ(r.status, 1);
            std::string shown = name == "a\\." ? "a/." : name;
            EXPECT_EQ(r.err, "  ERROR: refusing entry '" + shown + "': its name ends in '.', a directory, not a file\n");
            EXPECT_NE(r.out.find("Extracted: 1  Skipped: 0  Errors: 1\n"), std::string::npos) << r.out;
            std::vector<std::string> in_out;
            for (const auto &e : std::filesystem::directory_iterator(dir / "out"))
                in_out.push_back(e.path().filename().string());
            EXPECT_EQ(in_out, std::vector<std::string>{"fine.txt"});
            EXPECT_EQ(text("out/fine.txt"), "fine");
        }
    }
}

// Control bytes in names are shown escaped everywhere; the file on disk
// keeps the name byte for byte.
TEST_F(Hostile, NamesCannotDriveTheTerminal)
{
    const std::string name = "a\x1b[2K\rb\n.txt";
    LzhEntry bad = stored(name, "x");
    bad.crc ^= 1;
    put({build_lv2(stored(name, "x")), build_lv2(bad)}, "a.tmb");
    const std::string shown = "a\\033[2K\\015b\\012.txt";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"lq", "a.tmb"}, {"vq", "a.tmb"}, {"tq", "a.tmb"}, {"xqo", "a.tmb", "out/"}}) {
        SCOPED_TRACE(args[0]);
        RunResult r = run(args);
        for (const std::string &s : {r.out, r.err}) {
            EXPECT_EQ(s.find('\x1b'), std::string::npos) << s;
            EXPECT_EQ(s.find('\r'), std::string::npos) << s;
        }
        EXPECT_NE((r.out + r.err).find(shown), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(text("out/" + name), "x");
}

// The auto-join reads only regular files that are its own, within the size
// the sidecar declares, and never lets an entry overwrite a part.
class HostileJoin : public Hostile {
protected:
    void SetUp() override
    {
        Hostile::SetUp();
        put({build_lv2(stored("one.txt", std::string(3000, '1'))),
             build_lv2(stored("arc.tmb.002", "overwrite a part")),
             build_lv2(stored("two.txt", std::string(3000, '2')))},
            "arc.tmb");
        ASSERT_EQ(run({"sq", "arc.tmb", "2"}).status, 0);
        part2 = testkit::read_file(dir / "arc.tmb.002");
        write_text(outside / "secret", "secret");
    }
    Bytes part2;
};

TEST_F(HostileJoin, LinkedAndSpecialPartsAreRefused)
{
    struct Case {
        const char *what;
        const char *name;
        std::string target;
    };
    const Case cases[] = {
        {"part linked to a secret", "arc.tmb.003", outside / "secret"},
        {"part linked to an endless device", "arc.tmb.003", "/dev/zero"},
        {"sidecar linked elsewhere", "arc.tmb.info", outside / "secret"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir / c.name;
        std::string saved = path + ".saved";
        ASSERT_EQ(rename(path.c_str(), saved.c_str()), 0);
        ASSERT_EQ(symlink(c.target.c_str(), path.c_str()), 0);
        RunResult r = run({"xqo", "arc.tmb.001", "out/"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("Cannot read: ") + c.name + " (it is a symbolic link)"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(file_exists(dir / "out/one.txt"));
        unlink(path.c_str());
        ASSERT_EQ(rename(saved.c_str(), path.c_str()), 0);
    }
}

TEST_F(HostileJoin, EntriesNeverOverwriteTheParts)
{
    RunResult r = run({"xqo", "arc.tmb.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Extracting: arc.tmb.001"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("not writing arc.tmb.002: it is the archive being read"), std::string::npos)
        << r.err;
    EXPECT_EQ(testkit::read_file(dir / "arc.tmb.002"), part2);
    EXPECT_EQ(text("two.txt"), std::string(3000, '2'));
}

// Extracted beside the series it was joined from, an entry named as a
// member of the series is not written, not even a part that is not there
// yet: the next join would take it in. Elsewhere it is an ordinary name.
TEST_F(Hostile, EntriesNamedAsPartsOfTheSeriesStayOutOfIt)
{
    put({build_lv2(stored("keep.txt", std::string(1500, 'k'))),
         build_lv2(stored("arc.tmb.009", "a part to be")),
         build_lv2(stored("arc.tmb.000", "no part: the series starts at 001"))},
        "arc.tmb");
    ASSERT_EQ(run({"sq", "arc.tmb", "1"}).status, 0);
    ASSERT_EQ(unlink((dir / "arc.tmb").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0700), 0);
    RunOptions o;
    o.env = {"TMPDIR=" + dir / "tmp"};
    RunResult r = run({"xqo", "arc.tmb.001"}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "  ERROR: not writing arc.tmb.009: it would be a part or the sidecar of the "
                     "archive being read\n");
    EXPECT_FALSE(file_exists(dir / "arc.tmb.009"));
    EXPECT_EQ(text("keep.txt"), std::string(1500, 'k'));
    EXPECT_EQ(text("arc.tmb.000"), "no part: the series starts at 001");
    EXPECT_TRUE(temporaries(dir.path()).empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir / "tmp"));

    r = run({"xqo", "arc.tmb.001", "out/"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text("out/arc.tmb.009"), "a part to be");
}

TEST_F(HostileJoin, NoSidecarIsSaidAndTmpdirIsHonoured)
{
    unlink((dir / "arc.tmb.info").c_str());
    RunResult r = run({"tq", "arc.tmb.001"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("cannot verify integrity"), std::string::npos) << r.err;

    RunOptions o;
    o.env = {"TMPDIR=" + dir / "no-such-dir"};
    r = run({"tq", "arc.tmb.001"}, o);
    EXPECT_EQ(r.status, 1);
    // The message names the directory and the reason, not a name never made.
    EXPECT_NE(r.err.find("Cannot create temporary file: " + dir / "no-such-dir" + " (No such file or directory)\n"),
              std::string::npos)
        << r.err;
}

} // namespace
