// Archives that are streams: read from standard input ("-"), a pipe, a FIFO
// or /dev/stdin with another process writing into it, and written by
// `a -` to standard output. Each run gets a private TMPDIR, which must be
// empty again afterwards: the one copy of a stream lives only as long as
// the command.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "archive_entries.h"
#include "lzh_builder.h"
#include "testkit.h"

using testkit::Bytes;
using testkit::run_program;
using testkit::run_tambrix;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;

namespace {

// One directory per case: the archive, a private TMPDIR and out/ for x/e.
struct Scene {
    TempDir dir;
    RunOptions opt;
    Scene(const Bytes &archive)
    {
        testkit::write_file(dir / "a.tmb", archive);
        EXPECT_EQ(mkdir((dir / "tmp").c_str(), 0700), 0);
        EXPECT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        opt.cwd = dir.path();
        opt.env = {"TMPDIR=" + dir / "tmp"};
        opt.wall_limit_seconds = 60;
    }
    std::vector<std::string> tmp_left() const { return testkit::list_dir(dir / "tmp"); }
};

Bytes sample_archive()
{
    using testkit::build_lv2;
    using testkit::stored;
    return testkit::make_archive({build_lv2(stored("docs/", "")), build_lv2(stored("docs/a.txt", "alpha\n")),
                                  build_lv2(stored("b.bin", "bravo"))});
}

// A shell line that runs the program; `args` need no quoting.
std::string prog_line(const std::string &args) { return std::string(TAMBRIX_BIN) + " " + args; }

RunResult shell(const std::string &line, const RunOptions &opt)
{
    return run_program({"/bin/sh", "-c", line}, opt);
}

// The output of a run on the file a.tmb as a run on the archive `name`
// shows it: the archive's name replaced, and without the time taken.
std::string as_shown(std::string out, const std::string &name)
{
    std::string res;
    size_t at = 0;
    while (at < out.size()) {
        size_t nl = out.find('\n', at);
        std::string line = out.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
        at = nl == std::string::npos ? out.size() : nl + 1;
        if (line.rfind("Time: ", 0) == 0)
            continue;
        for (size_t p = 0; (p = line.find("a.tmb", p)) != std::string::npos; p += name.size())
            line.replace(p, 5, name);
        res += line;
    }
    return res;
}

// Every reading command gives the same output, status and files from a
// stream as from the file itself, the archive shown under the name given,
// and leaves nothing in TMPDIR.
TEST(StreamArchive, ReadingCommandsThroughPipes)
{
    const Bytes archive = sample_archive();
    struct Command {
        std::string args;                // {A} stands for the archive
        std::vector<std::string> out;    // out/ afterwards
        std::vector<std::pair<std::string, std::string>> files;  // below out/, with their contents
    };
    const Command commands[] = {
        {"l {A}", {}, {}},
        {"v {A}", {}, {}},
        {"t {A}", {}, {}},
        {"x -d out {A}", {"b.bin", "docs"}, {{"docs/a.txt", "alpha\n"}, {"b.bin", "bravo"}}},
        {"e -d out {A}", {"a.txt", "b.bin"}, {{"a.txt", "alpha\n"}, {"b.bin", "bravo"}}},
        {"x -d out {A} b.bin", {"b.bin"}, {{"b.bin", "bravo"}}},
        {"p {A} docs/a.txt", {}, {}},
        {"L {A} out/list.txt", {"list.txt"}, {}},
    };
    // How the stream reaches the program: {A} is the name it is given.
    struct Way {
        const char *what;
        std::string line;  // {CMD} is the command line with {A} filled in
        std::string name;
    };
    const Way ways[] = {
        {"cat into -", "cat a.tmb | {CMD}", "-"},
        {"cat into /dev/stdin", "cat a.tmb | {CMD}", "/dev/stdin"},
        {"FIFO", "mkfifo fifo && { cat a.tmb > fifo & {CMD}; }", "fifo"},
    };
    for (const Command &c : commands) {
        Scene ref(archive);
        std::string ref_line = c.args;
        ref_line.replace(ref_line.find("{A}"), 3, "a.tmb");
        RunResult want = shell(prog_line(ref_line), ref.opt);
        ASSERT_EQ(want.status, 0) << ref_line << want.err;
        for (const Way &w : ways) {
            SCOPED_TRACE(c.args + " / " + w.what);
            Scene s(archive);
            std::string cmd = c.args;
            cmd.replace(cmd.find("{A}"), 3, w.name);
            std::string line = w.line;
            line.replace(line.find("{CMD}"), 5, prog_line(cmd));
            RunResult r = shell(line, s.opt);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(as_shown(r.out, "a.tmb"), as_shown(want.out, w.name));
            EXPECT_EQ(testkit::list_dir(s.dir / "out"), c.out);
            for (const auto &[name, text] : c.files)
                EXPECT_EQ(testkit::read_text(s.dir / ("out/" + name)), text) << name;
            if (c.out == std::vector<std::string>{"list.txt"}) {
                EXPECT_EQ(testkit::read_text(s.dir / "out/list.txt"),
                          as_shown(testkit::read_text(ref.dir / "out/list.txt"), w.name));
            }
            EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
        }
    }
}

// A process substitution hands over /dev/fd/N, a pipe opened by name: x
// extracts every entry (it once counted the entries through a second open
// that drained the pipe, and extracted nothing).
TEST(StreamArchive, ProcessSubstitution)
{
    if (access("/bin/bash", X_OK) != 0)
        GTEST_SKIP() << "no /bin/bash";
    Scene s(sample_archive());
    RunResult r = run_program({"/bin/bash", "-c", prog_line("x -q -d out <(cat a.tmb)")}, s.opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Extracted: 2  Skipped: 0  Errors: 0"), std::string::npos) << r.out;
    EXPECT_EQ(testkit::read_text(s.dir / "out/docs/a.txt"), "alpha\n");
    EXPECT_EQ(testkit::read_text(s.dir / "out/b.bin"), "bravo");
    EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
}

// The copy of a stream follows the archive and stops where it ends: what
// comes after the end mark, however much, is never read, and damage is
// reported under the name given.
TEST(StreamArchive, CopyStopsWhereTheArchiveEnds)
{
    const Bytes archive = sample_archive();
    Scene s(archive);
    // A file-size limit far below what the endless tail would need.
    s.opt.file_size_limit = 1 << 20;
    RunResult r = shell("{ cat a.tmb; yes; } | " + prog_line("t -q -"), s.opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Tested: 2  Errors: 0"), std::string::npos) << r.out;
    EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});

    // Endless zero bytes are no archive (only one or two zero bytes are the
    // empty one), and the copy stops after the few it needs to tell.
    r = run_tambrix({"t", "-q", "/dev/zero"}, s.opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Not an LZH archive: /dev/zero (unreadable entry header)\n");
    EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});

    // Cut inside the last entry's data, then junk in place of a header.
    Bytes cut(archive.begin(), archive.end() - 4);
    Bytes junk = testkit::make_archive({testkit::build_lv2(testkit::stored("b.bin", "bravo"))});
    junk.resize(junk.size() - testkit::end_marker().size());
    testkit::append(junk, Bytes{'J', 'U', 'N', 'K'});
    struct Case {
        const Bytes *input;
        std::string err;
    };
    const Case cases[] = {
        {&cut, "Damaged archive: - (entry data runs past the end of the file at offset "},
        {&junk, "Damaged archive: - (unreadable entry header at offset "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.err);
        RunOptions in = s.opt;
        in.input.assign(c.input->begin(), c.input->end());
        r = run_tambrix({"t", "-q", "-"}, in);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
    }
}

// `a -` writes to standard output exactly the archive `a` writes to a
// file, and nothing else: banner, progress and messages go to standard
// error. The archive read back through a pipe gives the files again.
TEST(StreamArchive, AddToStandardOutput)
{
    Scene s(Bytes{});
    testkit::write_text(s.dir / "f1.txt", std::string(5000, 'x') + "tail\n");
    ASSERT_EQ(mkdir((s.dir / "docs").c_str(), 0755), 0);
    testkit::write_text(s.dir / "docs/r.txt", "readme\n");

    RunResult file = run_tambrix({"a", "-r", "file.tmb", "f1.txt", "docs"}, s.opt);
    ASSERT_EQ(file.status, 0) << file.err;
    const Bytes want = testkit::read_file(s.dir / "file.tmb");
    for (const char *quiet : {"-n", "-q"}) {
        SCOPED_TRACE(quiet);
        RunResult r = run_tambrix({"a", quiet, "-r", "-", "f1.txt", "docs"}, s.opt);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), want);
        EXPECT_NE(r.err.find("Done. Added: 2  Errors: 0"), std::string::npos) << r.err;
        EXPECT_FALSE(testkit::file_exists(s.dir / "-"));
        EXPECT_FALSE(testkit::file_exists(s.dir / "-.tmb"));
        EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
    }
    RunResult t = shell(prog_line("a -q -r - f1.txt docs") + " 2>/dev/null | " + prog_line("t -q -"), s.opt);
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find("Tested: 2  Errors: 0"), std::string::npos) << t.out;
    RunResult x = shell(prog_line("a -q -r - f1.txt docs") + " 2>/dev/null | " + prog_line("x -q -d out -"), s.opt);
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(testkit::read_file(s.dir / "out/f1.txt"), testkit::read_file(s.dir / "f1.txt"));
    EXPECT_EQ(testkit::read_text(s.dir / "out/r.txt"), "readme\n");
    EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});

    // A path that cannot be read fails the run; the archive of what could
    // be read still goes out, as it would into a file.
    RunResult partial = run_tambrix({"a", "-q", "-", "f1.txt", "missing.txt"}, s.opt);
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find("missing.txt"), std::string::npos) << partial.err;
    testkit::write_file(s.dir / "partial.tmb", Bytes(partial.out.begin(), partial.out.end()));
    EXPECT_EQ(testkit::entry_names(s.dir / "partial.tmb"), std::vector<std::string>{"f1.txt"});

    // Without a place for the temporary archive nothing reaches standard
    // output: never a cut archive.
    RunOptions no_tmp = s.opt;
    no_tmp.env = {"TMPDIR=" + s.dir / "missing-dir"};
    RunResult r = run_tambrix({"a", "-q", "-", "f1.txt"}, no_tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("Cannot open/create: - (No such file or directory)\n", 0), 0u) << r.err;
}

// The commands that rewrite their archive in place or write files beside
// it need a file: "-" is refused before anything is done.
TEST(StreamArchive, CommandsThatNeedAnArchiveFile)
{
    Scene s(sample_archive());
    testkit::write_text(s.dir / "f1.txt", "one\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"u", "-", "f1.txt"}, "Command u needs an archive file, not - (standard input or output)\n"},
        {{"f", "-", "f1.txt"}, "Command f needs an archive file, not - (standard input or output)\n"},
        {{"d", "-", "b.bin"}, "Command d needs an archive file, not - (standard input or output)\n"},
        {{"s", "-", "1"}, "Command s needs an archive file, not - (standard input or output)\n"},
        {{"j", "-"}, "Command j needs an archive file, not - (standard input or output)\n"},
        {{"a", "-sfx", "-", "f1.txt"}, "-sfx needs an archive file, not - (standard output)\n"},
        {{"a", "-s1", "-", "f1.txt"}, "-s<KB> needs an archive file, not - (standard output)\n"},
    };
    const std::vector<std::string> before = testkit::list_dir(s.dir.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        RunOptions in = s.opt;
        in.input.assign(reinterpret_cast<const char *>(sample_archive().data()), sample_archive().size());
        RunResult r = run_tambrix(c.args, in);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(testkit::list_dir(s.dir.path()), before);
        EXPECT_EQ(testkit::read_file(s.dir / "a.tmb"), sample_archive());
    }
}

// A terminal is never taken for an archive stream: reading one would wait
// for typing, writing one would fill the screen with binary.
TEST(StreamArchive, TerminalIsRefused)
{
    Scene s(Bytes{});
    testkit::write_text(s.dir / "f1.txt", "one\n");
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string tty = ptsname(master);
    struct Case {
        std::string line;
        std::string err;
    };
    const Case cases[] = {
        {prog_line("t -q -") + " <" + tty, "Cannot read an archive from a terminal: -\n"},
        {prog_line("a -q - f1.txt") + " >" + tty, "Cannot write an archive to a terminal: -\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        RunResult r = shell(c.line, s.opt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
    }
    close(master);
}

// A signal while the stream is being copied removes the copy. The window
// is held open by the writer: half the archive is in the pipe, the rest
// never comes until the program is stopped.
TEST(StreamArchive, SignalRemovesTheCopy)
{
    Scene s(sample_archive());
    const Bytes archive = sample_archive();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(s.dir.path().c_str()) != 0)
            _exit(126);
        setenv("TMPDIR", (s.dir / "tmp").c_str(), 1);
        alarm(60);
        execl(TAMBRIX_BIN, TAMBRIX_BIN, "t", "-q", "-", (char *)nullptr);
        _exit(127);
    }
    close(fds[0]);
    ASSERT_EQ(write(fds[1], archive.data(), archive.size() / 2), (ssize_t)(archive.size() / 2));
    // The copy has bytes in it only once it is registered for removal.
    std::string copy;
    for (int i = 0; i < 6000 && copy.empty(); i++) {
        for (const std::string &n : s.tmp_left()) {
            struct stat st;
            if (stat((s.dir / "tmp/" + n).c_str(), &st) == 0 && st.st_size > 0)
                copy = n;
        }
        if (copy.empty()) {
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(copy.rfind("tambrix_", 0), 0u) << copy;
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(fds[1]);
    EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0));
    EXPECT_EQ(s.tmp_left(), std::vector<std::string>{});
}

} // namespace
