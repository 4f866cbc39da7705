// Fault injection, end to end: writes that fail part-way (a file size
// limit, or a preloaded library that makes stdio writes to chosen files
// fail like a full disk), read errors in the middle of input files and
// archives, archives that vanish or change between the passes of u, f and
// d, and standard input that ends at an overwrite prompt.
//
// For every fault: a message, a non-zero status where something failed, no
// archive corrupt or lost, and no temporary file left behind. Temporary
// files are traced through the preloaded library (every mkstemp/mkstemps
// path the program makes), so files of other tests running at the same
// time in /tmp are never mistaken for ours.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tmb_header.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;
using testkit::file_exists;
using testkit::read_file;
using testkit::write_file;

namespace {

Bytes noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (auto &c : b) {
        seed = seed * 1664525 + 1013904223;
        c = (uint8_t)(seed >> 24);
    }
    return b;
}

std::string numbers(int from, int to)
{
    std::string s;
    for (int i = from; i <= to; i++)
        s += std::to_string(i) + "\n";
    return s;
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        if (end > start)
            out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The names in a directory (none when it does not exist).
std::vector<std::string> names_in(const std::string &path)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        closedir(d);
    }
    return out;
}

bool has_prefix(const std::vector<std::string> &v, const std::string &prefix)
{
    for (const std::string &s : v)
        if (s.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// Header positions of the entries of an archive file.
std::vector<int64_t> header_positions(const std::string &path)
{
    std::vector<int64_t> pos;
    FILE *fp = fopen(path.c_str(), "rb");
    EntryHeader h;
    while (fp && tmb_read_header(fp, &h)) {
        pos.push_back(h.header_pos);
        fseeko(fp, (off_t)h.comp_size, SEEK_CUR);
    }
    if (fp)
        fclose(fp);
    return pos;
}

// Three files (compressible text, incompressible noise, a small text) in
// src/, and arc.tmb holding them, made by the program itself.
class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir((dir / "src").c_str(), 0755);
        a = numbers(1, 4000);
        testkit::write_text(dir / "src/a.txt", a);
        b = noise(30000, 7);
        write_file(dir / "src/b.bin", b);
        testkit::write_text(dir / "src/c.txt", numbers(5000, 5900));
        RunResult r = plain({"aq", "arc.tmb", "src/a.txt", "src/b.bin", "src/c.txt"});
        ASSERT_EQ(r.status, 0) << r.err;
        original = read_file(dir / "arc.tmb");
        headers = header_positions(dir / "arc.tmb");
        ASSERT_EQ(headers.size(), 3u);
    }

    RunResult plain(const std::vector<std::string> &args, RunOptions o = {})
    {
        o.cwd = dir.path();
        if (o.input.empty())
            o.close_stdin = true;
        o.cpu_limit_seconds = 30;
        return testkit::run_tambrix(args, o);
    }

    // Runs with the fault library preloaded and the given fault settings,
    // then checks that no temporary file the program made is left.
    RunResult faulty(const std::vector<std::string> &args, const std::vector<std::string> &faults,
                     RunOptions o = {})
    {
        std::string trace = dir / "temps.trace";
        std::remove(trace.c_str());
        o.env = faults;
        o.env.push_back(std::string("LD_PRELOAD=") + TMB_FAULTS_SO);
        o.env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
        o.env.push_back("TMB_TRACE_TEMPS=" + trace);
        RunResult r = plain(args, o);
        std::string cmd;
        for (const std::string &s : args)
            cmd += s + " ";
        if (!has_prefix(faults, "TMB_SIGNAL")) {
            EXPECT_LT(r.status, 128) << cmd << "killed by signal " << r.status - 128;
        }
        if (file_exists(trace)) {
            for (const std::string &t : lines(testkit::read_text(trace)))
                EXPECT_FALSE(file_exists(t)) << cmd << "left temporary file " << t;
        }
        expect_no_tmp_beside_archive(cmd);
        return r;
    }

    void expect_no_tmp_beside_archive(const std::string &cmd)
    {
        DIR *d = opendir(dir.path().c_str());
        ASSERT_NE(d, nullptr);
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            EXPECT_FALSE(n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0)
                << cmd << "left " << n;
        }
        closedir(d);
    }

    bool archive_intact() { return read_file(dir / "arc.tmb") == original; }

    // The archive exists and every entry in it tests good.
    void expect_sound(const std::string &arc)
    {
        ASSERT_TRUE(file_exists(dir / arc));
        RunResult t = plain({"tq", arc});
        EXPECT_EQ(t.status, 0) << t.out << t.err;
    }

    TempDir dir;
    std::string a;
    Bytes b;
    Bytes original;
    std::vector<int64_t> headers;
};

std::vector<std::string> fail_writes(const std::string &match, long after)
{
    return {"TMB_FAIL_WRITE_MATCH=" + match, "TMB_FAIL_WRITE_AFTER=" + std::to_string(after)};
}

std::vector<std::string> fail_reads(const std::string &match, long after)
{
    return {"TMB_FAIL_READ_MATCH=" + match, "TMB_FAIL_READ_AFTER=" + std::to_string(after)};
}

std::vector<std::string> change_at_rewind(const std::string &action, int nth = 1)
{
    return {"TMB_REWIND_MATCH=arc.tmb", "TMB_REWIND_NTH=" + std::to_string(nth),
            "TMB_REWIND_ACTION=" + action};
}

// ---------------------------------------------------------------------------
// Writes failing part-way

// u, f and d build the new archive beside the old one: when that fails at
// any point, the old archive stays exactly as it was.
TEST_F(Faults, RewritingCommandsKeepTheArchiveWhenTheNewOneCannotBeWritten)
{
    sleep(1); // the files must be newer than their entries for u and f
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    const std::vector<std::vector<std::string>> commands = {
        {"uq", "arc.tmb", "src/a.txt", "src/c.txt"},
        {"fq", "arc.tmb", "src/a.txt"},
        {"dq", "arc.tmb", "b.bin"},
    };
    for (const auto &args : commands)
        for (long after : {0L, 100L, 5000L}) { // the new archives are over 10 KB
            SCOPED_TRACE(args[0] + " failing after " + std::to_string(after));
            RunResult r = faulty(args, fail_writes("arc.tmb.", after));
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("Write error"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("arc.tmb left unchanged"), std::string::npos) << r.err;
            EXPECT_TRUE(archive_intact());
        }
}

TEST_F(Faults, RewritingCommandsUnderAFileSizeLimit)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"uq", "arc.tmb", "src/a.txt"}, {"dq", "arc.tmb", "a.txt"}}) {
        SCOPED_TRACE(args[0]);
        RunOptions o;
        o.file_size_limit = 10000;
        RunResult r = faulty(args, {}, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err, "");
        EXPECT_TRUE(archive_intact());
    }
}

// a writing a new archive: the failure is reported and nothing temporary
// stays. (What is left of the archive: see AddNeverLeavesACorruptArchive.)
TEST_F(Faults, AddReportsAFailingArchiveWrite)
{
    for (long after : {0L, 100L, 12000L}) {
        SCOPED_TRACE(after);
        RunResult r = faulty({"aq", "new.tmb", "src/a.txt", "src/b.bin", "src/c.txt"},
                             fail_writes("new.tmb", after));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Write error on archive: new.tmb"), std::string::npos) << r.err;
    }
    RunOptions o;
    o.file_size_limit = 12000;
    RunResult r = faulty({"aq", "big.tmb", "src/a.txt", "src/b.bin", "src/c.txt"}, {}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
}

// A new archive that could not be written completely must not be left
// looking like an archive, and an existing one must survive the attempt to
// replace it byte for byte: a writes to a temporary file beside the archive
// and renames it into place only when it is complete. The disk fills at
// different points: in the first entry, between entries, at the end mark
// (the archive of the three files is over 10 KB), for a tree walk too, and
// under a file size limit instead of the fault library.
TEST_F(Faults, AddNeverLeavesACorruptOrLostArchive)
{
    struct Case {
        std::vector<std::string> args;
        long fail_after;  // -1: a file size limit of 12000 bytes instead
    };
    const std::vector<std::string> files = {"aq", "arc.tmb", "src/a.txt", "src/b.bin", "src/c.txt"};
    const std::vector<std::string> tree = {"aq", "-r", "arc.tmb", "src"};
    const Case cases[] = {{files, 0}, {files, 100}, {files, 12000}, {tree, 5000},
                          {tree, 12000}, {tree, -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1] + " failing after " + std::to_string(c.fail_after));
        RunOptions o;
        std::vector<std::string> faults;
        if (c.fail_after < 0)
            o.file_size_limit = 12000;
        else
            faults = fail_writes("arc.tmb.", c.fail_after);
        RunResult r = faulty(c.args, faults, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err, "");
        EXPECT_TRUE(archive_intact()) << "the existing archive was lost";
    }

    RunResult r = faulty({"aq", "new.tmb", "src/a.txt", "src/b.bin", "src/c.txt"},
                         fail_writes("new.tmb", 12000));
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(dir / "new.tmb"));
}

// A split whose disk fills at the second part (s, and a -s on the archive
// it has just written) takes back the first part, writes no sidecar and
// keeps the file it split.
TEST_F(Faults, FailedSplitRemovesThePartsItMade)
{
    const std::vector<std::vector<std::string>> commands = {
        {"sq", "arc.tmb", "4"},
        {"aq", "-s4", "new.tmb", "src/a.txt", "src/b.bin", "src/c.txt"},
    };
    for (const auto &args : commands) {
        SCOPED_TRACE(args[0]);
        const std::string name = args[0] == "sq" ? "arc.tmb" : "new.tmb";
        RunResult r = faulty(args, fail_writes(name + ".00", 6000));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Cannot write: " + name + ".002"), std::string::npos) << r.err;
        for (const char *ext : {".001", ".002", ".info"})
            EXPECT_FALSE(file_exists(dir / (name + ext))) << ext;
        if (args[0] == "sq")
            EXPECT_TRUE(archive_intact());
        else
            expect_sound(name);
    }
}

// The packed data of each file goes through a temporary file in $TMPDIR;
// when that cannot be written (a full disk), the new archive is given up:
// an existing archive stays as it was, and none is created.
TEST_F(Faults, AddWithAFailingTemporaryFile)
{
    mkdir((dir / "packtmp").c_str(), 0755);
    sleep(1);  // a.txt newer than its entry, for u
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    const std::vector<std::vector<std::string>> commands = {
        {"aq", "new.tmb", "src/a.txt", "src/c.txt"},
        {"aq", "arc.tmb", "src/c.txt", "src/a.txt"},
        {"uq", "arc.tmb", "src/a.txt"},
    };
    for (const auto &args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        std::vector<std::string> faults = fail_writes("/packtmp/tambrix_", 3000);
        faults.push_back("TMPDIR=" + dir / "packtmp");
        RunResult r = faulty(args, faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Cannot write temporary file: " + dir / "packtmp/tambrix_"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(file_exists(dir / "new.tmb"));
        EXPECT_TRUE(archive_intact());
    }
}

// x: the output file fails part-way (full disk, file size limit). The entry
// is an error, the others go on, the archive is only read.
TEST_F(Faults, ExtractWithFailingOutput)
{
    struct Case {
        const char *name;
        std::vector<std::string> faults;
        long fsize;
    };
    const Case cases[] = {
        {"file size limit", {}, 10000},
        {"disk full in b.bin", fail_writes("/out/", 25000), -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunOptions o;
        o.file_size_limit = c.fsize;
        // One thread: the budget is shared by the files in the order they
        // are written, so that the disk fills up inside b.bin.
        RunResult r = faulty({"xqo", "-T1", "arc.tmb", "out/"}, c.faults, o);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(" ERROR"), std::string::npos) << r.out;
        EXPECT_NE(r.err, "");
        EXPECT_NE(r.out.find("Errors: "), std::string::npos);
        EXPECT_TRUE(archive_intact());
    }
    // Before the disk filled up, a.txt came out whole.
    EXPECT_TRUE(testkit::read_text(dir / "out/a.txt") == a);
}

TEST_F(Faults, ListingAndPrintWithFailingOutput)
{
    RunResult r = faulty({"Lq", "arc.tmb", "list.txt"}, fail_writes("list.txt", 50));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write: list.txt\n");

    // p on a full standard output.
    RunOptions o;
    o.cwd = dir.path();
    o.close_stdin = true;
    r = testkit::run_program({"/bin/sh", "-c", std::string(TAMBRIX_BIN) + " p arc.tmb a.txt >/dev/full"}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("a.txt"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------
// Read errors in the middle of a file

// An input file that fails to read part-way must not be stored cut short
// as if it were whole.
TEST_F(Faults, AddWithAReadErrorInAnInputFile)
{
    for (const char *method : {"-lh0", "-lh5", "-lh7"}) {
        SCOPED_TRACE(method);
        std::remove((dir / "new.tmb").c_str());
        RunResult r = faulty({"a", method, "new.tmb", "src/a.txt", "src/b.bin", "src/c.txt"},
                             fail_reads("src/b.bin", 10000));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("src/b.bin                                ERROR"), std::string::npos)
            << r.out;
        expect_sound("new.tmb");
        // Whatever the archive holds under that name is the whole file.
        RunResult p = plain({"p", "new.tmb", "b.bin"});
        if (p.status == 0) {
            EXPECT_TRUE(Bytes(p.out.begin(), p.out.end()) == b);
        }
        EXPECT_TRUE(plain({"p", "new.tmb", "a.txt"}).out == a);
    }
}

// A file that another process cuts or extends after it was measured: the
// entry holds what was read, at most the measured size, and its header
// says so (sizes and CRC), stored or packed alike. The large file exceeds
// a stream buffer, which stdio may fill before the first read (while the
// packed path measures the file), and is stored in several chunks; the
// small one is stored in one.
TEST_F(Faults, AddOfAFileThatChangesSizeWhileRead)
{
    const std::string large = numbers(1, 50000), small = numbers(1, 2000);
    struct Case {
        const char *method;
        const std::string &text;
    };
    const Case cases[] = {{"-lh0", large}, {"-lh5", large}, {"-lh0", small}};
    for (const Case &c : cases) {
        const size_t n = c.text.size();
        for (size_t to : {size_t(0), n / 2, n * 2}) {
            SCOPED_TRACE(std::string(c.method) + " " + std::to_string(n) + " bytes resized to " +
                         std::to_string(to));
            testkit::write_text(dir / "src/grows.txt", c.text);
            std::remove((dir / "new.tmb").c_str());
            RunResult r = faulty({"aq", c.method, "new.tmb", "src/grows.txt", "src/c.txt"},
                                 {"TMB_RESIZE_READ_MATCH=src/grows.txt", "TMB_RESIZE_TO=" + std::to_string(to)});
            EXPECT_EQ(r.status, 0) << r.err;
            expect_sound("new.tmb");
            RunResult p = plain({"p", "new.tmb", "grows.txt"});
            EXPECT_EQ(p.status, 0) << p.err;
            EXPECT_EQ(p.out.size(), std::min(to, n));
            EXPECT_TRUE(p.out == c.text.substr(0, std::min(to, n)));
            EXPECT_TRUE(plain({"p", "new.tmb", "c.txt"}).out == numbers(5000, 5900));
        }
    }
}

// The archive itself fails to read in the middle of an entry's data.
TEST_F(Faults, ReadErrorInTheArchive)
{
    const long mid_data = headers[1] + 5000; // inside b.bin's data
    const std::vector<std::vector<std::string>> commands = {
        {"tq", "arc.tmb"},           {"xqo", "arc.tmb", "out/"}, {"p", "arc.tmb", "b.bin"},
        {"dq", "arc.tmb", "c.txt"},  {"uq", "arc.tmb", "src/c.txt"},
    };
    sleep(1);
    testkit::write_text(dir / "src/c.txt", "newer\n");
    for (const auto &args : commands) {
        SCOPED_TRACE(args[0]);
        RunResult r = faulty(args, fail_reads("arc.tmb", mid_data));
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_TRUE(r.err != "" || r.out.find("ERROR") != std::string::npos) << r.out;
        EXPECT_TRUE(archive_intact());
    }
}

// A read error where a header should be is no end of the archive.
TEST_F(Faults, ListingReportsAReadErrorAtAHeader)
{
    for (const char *cmd : {"lq", "vq"}) {
        RunResult r = faulty({cmd, "arc.tmb"}, fail_reads("arc.tmb", 60));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Read error: arc.tmb\n");
    }
    RunResult r = faulty({"Lq", "arc.tmb", "list.txt"}, fail_reads("arc.tmb", 60));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Read error: arc.tmb\n");
}

// The same for extracting, testing and printing: a header that cannot be
// read is no end of the archive, it is counted as an error.
TEST_F(Faults, ExtractAndTestReportAReadErrorAtAHeader)
{
    // x and e spend the 60 bytes in their counting pass over the headers,
    // so the first header of the extracting pass fails.
    struct Case {
        std::vector<std::string> args;
        long fail_after;
        const char *summary;
    };
    const Case cases[] = {
        {{"xqo", "arc.tmb", "out/"}, 60, "Extracted: 0  Skipped: 0  Errors: 1"},
        {{"eqo", "arc.tmb", "out/"}, 60, "Extracted: 0  Skipped: 0  Errors: 1"},
        {{"tq", "arc.tmb"}, 0, "Tested: 0  Errors: 1"},
        {{"p", "arc.tmb", "c.txt"}, 60, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " failing after " + std::to_string(c.fail_after));
        RunResult r = faulty(c.args, fail_reads("arc.tmb", c.fail_after));
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.err, "Read error: arc.tmb\n");
        EXPECT_NE(r.out.find(c.summary), std::string::npos) << r.out;
        EXPECT_TRUE(archive_intact());
    }
}

// ---------------------------------------------------------------------------
// The archive changes between the passes of u, f and d (as another
// process could change it): the change happens at the rewind that starts
// the copying pass.

const std::vector<std::vector<std::string>> kRewriting = {
    {"dq", "arc.tmb", "c.txt"},
    {"uq", "arc.tmb", "src/a.txt"},
    {"fq", "arc.tmb", "src/a.txt"},
};

TEST_F(Faults, ArchiveRemovedBetweenPasses)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    for (const auto &args : kRewriting) {
        SCOPED_TRACE(args[0]);
        write_file(dir / "arc.tmb", original);
        RunResult r = faulty(args, change_at_rewind("remove"));
        EXPECT_LT(r.status, 2);
        // The open archive was read to the end: the result is complete.
        expect_sound("arc.tmb");
        EXPECT_EQ(header_positions(dir / "arc.tmb").size(), args[0] == "dq" ? 2u : 3u);
    }
}

TEST_F(Faults, ArchiveCutShortBetweenPasses)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    for (const auto &args : kRewriting) {
        SCOPED_TRACE(args[0]);
        write_file(dir / "arc.tmb", original);
        const long cut = headers[1] + 100;
        RunResult r = faulty(args, change_at_rewind("truncate:" + std::to_string(cut)));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("arc.tmb"), std::string::npos) << r.err;
        // Not replaced: still what the other process left.
        EXPECT_EQ(read_file(dir / "arc.tmb").size(), (size_t)cut);
    }
}

// A zero byte written where a header starts makes the archive look as if it
// ended there: the pass before saw more entries, and replacing the archive
// now would drop them. The copying pass finds that itself (a file starting
// with a zero byte is no archive; entries after an end mark are not
// padding), as it finds a zero written into a name (the header's CRC no
// longer matches). A byte changed inside an entry's data leaves the
// entries where they were, but what was copied may be neither the old nor
// the new archive: the comparison of the passes finds it. Either way the
// archive is not replaced.
TEST_F(Faults, ArchiveChangedBetweenPassesIsNotCommitted)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    // After a zero in place of the second header's first byte, its second
    // byte (the high byte of a short header's size, 0) still looks like
    // padding; the method id after it does not.
    const std::string mark_at = std::to_string(headers[1] + 2);
    for (const auto &args : kRewriting)
        for (int64_t at : {headers[0], headers[1], headers[1] + 100, headers[2] + 27}) {
            SCOPED_TRACE(args[0] + " zero at " + std::to_string(at));
            const std::string expected =
                at == headers[0] ? "Not an LZH archive: arc.tmb (unreadable entry header); archive left unchanged\n"
                : at == headers[1]
                    ? "Damaged archive: arc.tmb (data after the end mark at offset " + mark_at +
                          "); archive left unchanged\n"
                : at == headers[2] + 27 // the first byte of the name
                    ? "Damaged archive: arc.tmb (entry header checksum mismatch at offset " +
                          std::to_string(headers[2]) + "); archive left unchanged\n"
                    : "Archive changed while it was being rewritten: arc.tmb";
            write_file(dir / "arc.tmb", original);
            // An old time stamp, so that the change shows in the time even
            // where the clock of the file system is coarse.
            struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (dir / "arc.tmb").c_str(), old_times, 0), 0);
            RunResult r = faulty(args, change_at_rewind("zero:" + std::to_string(at)));
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
            Bytes changed = original;
            changed[(size_t)at] = 0;
            EXPECT_TRUE(read_file(dir / "arc.tmb") == changed) << "archive replaced";
        }
}

// Another process puts a new archive in its place (here a copy of the same
// bytes): the copy made from the old file must not overwrite it.
TEST_F(Faults, ArchiveReplacedBetweenPassesIsNotOverwritten)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    for (const auto &args : kRewriting) {
        SCOPED_TRACE(args[0]);
        write_file(dir / "arc.tmb", original);
        RunResult r = faulty(args, change_at_rewind("replace"));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Archive changed while it was being rewritten: arc.tmb"),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(archive_intact());
    }
}

// ---------------------------------------------------------------------------
// Interrupted: a signal arrives while the new archive is being written (u,
// f, d) or while a split archive is joined for reading (t). The temporary
// archive or the joined copy goes; the archive stays as it was.

TEST_F(Faults, InterruptedCommandsLeaveNoTemporaryFile)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    ASSERT_EQ(plain({"sq", "arc.tmb", "10"}).status, 0);
    struct Case {
        std::vector<std::string> args;
        const char *read_from; // the signal comes with the first read of this file
    };
    const Case cases[] = {
        {{"uq", "arc.tmb", "src/a.txt"}, "src/a.txt"},
        {{"fq", "arc.tmb", "src/a.txt"}, "src/a.txt"},
        {{"tq", "arc.tmb.001"}, "arc.tmb.003"},
    };
    for (const Case &c : cases)
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(c.args[0] + " signal " + std::to_string(sig));
            RunResult r = faulty(c.args, {std::string("TMB_SIGNAL_READ_MATCH=") + c.read_from,
                                          "TMB_SIGNAL=" + std::to_string(sig)});
            EXPECT_EQ(r.status, 128 + sig);
            EXPECT_TRUE(archive_intact());
        }
}

// A signal right after a temporary file is made, before the program has it
// back to register it for removal: the signal must wait until it is
// registered, so that it goes with the rest. Every command that makes one,
// the archive and the parts of s beside their names, the files of x in the
// target (on the main thread, and on a worker), the packed data of a in
// $TMPDIR.
TEST_F(Faults, SignalBetweenMakingAndRegisteringATemporary)
{
    mkdir((dir / "packtmp").c_str(), 0755);
    sleep(1); // a.txt newer than its entry, for u
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    struct Case {
        std::vector<std::string> args;
        int nth; // the signal comes after the nth temporary
    };
    const Case cases[] = {
        {{"aq", "new.tmb", "src/a.txt", "src/c.txt"}, 1},
        {{"aq", "new.tmb", "src/a.txt", "src/c.txt"}, 2},
        {{"aq", "-sfx", "game", "src/a.txt"}, 1},
        {{"uq", "arc.tmb", "src/a.txt"}, 1},
        {{"dq", "arc.tmb", "b.bin"}, 1},
        {{"sq", "arc.tmb", "10"}, 1},
        {{"xqo", "-T1", "arc.tmb", "out/"}, 1},
        {{"xqo", "-T2", "arc.tmb", "out/"}, 1},
    };
    for (const Case &c : cases)
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(c.args[0] + " " + c.args[1] + " temporary " + std::to_string(c.nth) +
                         " signal " + std::to_string(sig));
            RunResult r = faulty(c.args, {"TMB_SIGNAL_AT_TEMP=" + std::to_string(c.nth),
                                          "TMB_SIGNAL=" + std::to_string(sig),
                                          "TMPDIR=" + dir / "packtmp"});
            EXPECT_EQ(r.status, 128 + sig) << r.err;
            EXPECT_TRUE(archive_intact());
            for (const char *made : {"new.tmb", "game.run", "arc.tmb.001", "out/a.txt"})
                EXPECT_FALSE(file_exists(dir / made)) << made;
            EXPECT_TRUE(names_in(dir / "packtmp").empty());
            EXPECT_TRUE(names_in(dir / "out").empty());
        }
}

// A file size limit is a write error like a full disk: reported, the
// temporaries removed, the archive kept; the program is not killed by
// SIGXFSZ with them still on the disk.
TEST_F(Faults, FileSizeLimitIsAWriteErrorNotADeath)
{
    sleep(1);
    testkit::write_text(dir / "src/a.txt", a + "more\n");
    const std::vector<std::vector<std::string>> commands = {
        {"aq", "new.tmb", "src/a.txt", "src/b.bin", "src/c.txt"},
        {"aq", "-sfx", "game", "src/a.txt", "src/b.bin"},
        {"uq", "arc.tmb", "src/a.txt"},
        {"xqo", "-T1", "arc.tmb", "out/"},
        {"xqo", "-T2", "arc.tmb", "out/"},
    };
    for (const auto &args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        RunOptions o;
        o.file_size_limit = 10000; // b.bin and every archive of it are larger
        o.default_sigxfsz = true;
        RunResult r = faulty(args, {}, o);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err, "");
        EXPECT_TRUE(archive_intact());
        EXPECT_FALSE(file_exists(dir / "new.tmb"));
        EXPECT_FALSE(file_exists(dir / "game.run"));
        EXPECT_FALSE(file_exists(dir / "out/b.bin"));
        for (const std::string &n : names_in(dir / "out"))
                EXPECT_NE(n.rfind(".tmb", 0), 0u) << "left " << n;
    }
}

// The packed data of a and a -sfx goes through temporaries in $TMPDIR.
// When none can be made (no such directory, a file in its place, no
// descriptor left), the reason is told with the directory, nothing is
// built and nothing stays; with two files the second one must not meet
// the slot the first one left without a file.
TEST_F(Faults, PackingTemporaryThatCannotBeMade)
{
    testkit::write_text(dir / "afile", "not a directory");
    struct Case {
        const char *what;
        std::string tmpdir;
        std::vector<std::string> faults;
        int err;
    };
    const Case cases[] = {
        {"missing", dir / "none", {}, ENOENT},
        {"a file", dir / "afile", {}, ENOTDIR},
        {"descriptor limit", dir.path(), {"TMB_FAIL_TEMP_MATCH=/tambrix_", "TMB_FAIL_TEMP_ERRNO=24"}, EMFILE},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"aq", "new.tmb", "src/a.txt", "src/c.txt"},
        {"aq", "arc.tmb", "src/a.txt", "src/c.txt"},
        {"aq", "-sfx", "game", "src/a.txt", "src/c.txt"},
    };
    for (const Case &c : cases)
        for (const auto &args : commands) {
            SCOPED_TRACE(std::string(c.what) + ": " + args[1]);
            std::vector<std::string> faults = c.faults;
            faults.push_back("TMPDIR=" + c.tmpdir);
            RunResult r = faulty(args, faults);
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("Cannot create temporary file: " + c.tmpdir + " (" + strerror(c.err) + ")"),
                      std::string::npos)
                << r.err;
            // The archive's own writes did not fail: nothing may say so.
            EXPECT_EQ(r.err.find("Write error"), std::string::npos) << r.err;
            EXPECT_FALSE(file_exists(dir / "new.tmb"));
            EXPECT_FALSE(file_exists(dir / "game.run"));
            EXPECT_TRUE(archive_intact());
        }
}

// u, f and d cannot make the new archive beside the old one: the reason is
// told with the directory where it was to be made (no temporary name was
// ever made to show), and the archive stays.
TEST_F(Faults, TemporaryArchiveThatCannotBeMade)
{
    // With the unique part and ".tmp" the temporary's name is longer than
    // a directory entry may be.
    const std::string longname(247, 'n');
    write_file(dir / longname, original);
    struct Case {
        std::string archive;
        std::vector<std::string> faults;
        const char *reason;
    };
    const Case cases[] = {
        {longname, {}, "File name too long"},
        {"arc.tmb", {"TMB_FAIL_TEMP_MATCH=arc.tmb.", "TMB_FAIL_TEMP_ERRNO=24"}, "Too many open files"},
    };
    for (const Case &c : cases)
        for (const std::vector<std::string> &args : {std::vector<std::string>{"uq", c.archive, "src/a.txt"},
                                                     std::vector<std::string>{"fq", c.archive, "src/a.txt"},
                                                     std::vector<std::string>{"dq", c.archive, "a.txt"}}) {
            SCOPED_TRACE(args[0] + " " + c.reason);
            RunResult r = faulty(args, c.faults);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, std::string("Cannot create temp file: . (") + c.reason + ")\n");
            EXPECT_TRUE(read_file(dir / c.archive) == original);
        }
}

// The self-extracting builder packs into a temporary archive beside the
// .run file, then writes the program to a second temporary renamed into
// place. A failure at either step leaves no program cut short (it would
// crash on the Amiga), no temporary, and an earlier .run as it was.
TEST_F(Faults, SelfExtractorWithFailingWrites)
{
    // Both temporaries match "game.run."; the entries go first, so a budget
    // just past their size fails the program.
    ASSERT_EQ(plain({"aq", "entries.tmb", "src/a.txt", "src/b.bin"}).status, 0);
    const long entries = (long)read_file(dir / "entries.tmb").size();
    ASSERT_EQ(plain({"aq", "-sfx", "game", "src/c.txt"}).status, 0);
    const Bytes earlier = read_file(dir / "game.run");
    struct Case {
        const char *name;
        long after;
    };
    const Case cases[] = {{"program", entries + 5000}, {"temporary archive", 3000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RunResult r = faulty({"aq", "-sfx", "game", "src/a.txt", "src/b.bin"},
                             fail_writes("game.run.", c.after));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err, "");
        EXPECT_EQ(read_file(dir / "game.run"), earlier);
    }
}

// The temporary archive beside the .run file goes also on a signal.
TEST_F(Faults, InterruptedSelfExtractorLeavesNoTemporaryArchive)
{
    RunResult r = faulty({"aq", "-sfx", "game", "src/a.txt", "src/b.bin"},
                         {"TMB_SIGNAL_READ_MATCH=src/b.bin", "TMB_SIGNAL=15"});
    EXPECT_EQ(r.status, 128 + 15);
}

// ---------------------------------------------------------------------------
// Standard input ends (or is not there at all) at the overwrite prompt: the
// answer counts as no, the existing files stay untouched.

TEST_F(Faults, OverwritePromptWithoutAnAnswer)
{
    ASSERT_EQ(plain({"xq", "arc.tmb", "out/"}).status, 0);
    testkit::write_text(dir / "out/a.txt", "mine\n");
    write_file(dir / "out/b.bin", Bytes{1, 2, 3});

    RunResult r = faulty({"xq", "arc.tmb", "out/"}, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  overwrite out/a.txt? [y]es [n]o [A]ll [N]one: "), std::string::npos);
    EXPECT_NE(r.out.find("Skipped: 3"), std::string::npos) << r.out;
    EXPECT_EQ(testkit::read_text(dir / "out/a.txt"), "mine\n");

    // Descriptor 0 closed altogether: the archive must not end up there and
    // be read as the answer.
    RunOptions o;
    o.cwd = dir.path();
    r = testkit::run_program({"/bin/sh", "-c", std::string("exec 0<&-; ") + TAMBRIX_BIN + " xq arc.tmb out/"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Skipped: 3"), std::string::npos) << r.out;
    EXPECT_EQ(testkit::read_text(dir / "out/a.txt"), "mine\n");
    EXPECT_TRUE(read_file(dir / "out/b.bin") == (Bytes{1, 2, 3}));
}

} // namespace
