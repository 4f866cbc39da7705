// The command line: usage and exit statuses, option parsing, archive-name
// rules, the work directory, the file list, banner and quiet mode.
//
// Parsing is checked in-process with an unknown command letter ('z'), which
// parses everything and then stops at dispatch; everything that shows on
// the terminal is checked by running the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "archive_entries.h"
#include "lzh_builder.h"
#include "options.h"
#include "testkit.h"
#include "tmb_debug.h"
#include "tmb_header.h"

using testkit::run_tambrix;
using testkit::RunOptions;
using testkit::TempDir;

namespace {

const char *const BANNER_1 = "TAMBRIX 1.0 build 119  [AmigaOS 68000]\n";
const char *const BANNER_3_4 = "Amiga Rulez!  May 2026 - 30.11.2026\n"
                               "Y2K11 fixed - Level 2 headers - lh5/lh6/lh7\n\n";

// The banner: first line, a credit line of our own, then the fixed end.
bool starts_with_banner(const std::string &out, size_t *len)
{
    std::string b1 = BANNER_1, b34 = BANNER_3_4;
    if (out.compare(0, b1.size(), b1) != 0)
        return false;
    size_t credit_end = out.find('\n', b1.size());
    if (credit_end == std::string::npos || credit_end == b1.size())
        return false;
    if (out.compare(credit_end + 1, b34.size(), b34) != 0)
        return false;
    *len = credit_end + 1 + b34.size();
    return true;
}

// Everything after the banner must be the usage text for this program.
std::string usage_body(const std::string &prog)
{
    std::string text = R"(Usage: %s <command> [options] archive[.tmb] [files...]

Commands:
  l   list archive contents
  v   verbose list
  x   extract files (keep paths)
  e   extract files (strip paths)
  a   add files to archive
  u   update (add only newer files)
  d   delete files from archive
  t   test archive integrity
  f   freshen (update existing files only)
  s   split a file into numbered parts (.001, .002, ...)
  j   join parts back into the original file
  p   print one file's contents to stdout
  L   save archive listing to a file

Options:
  -lh5  use -lh5- compression (default)
  -lh6  use -lh6- compression (32KB window)
  -lh7  use -lh7- compression (64KB window)
  -lh0  store without compression
  -d <dir>  extract to directory
  -q    quiet
  -v    verbose
  -r    recursive (add directory trees)
  -e    exclude empty directories when adding
  -n    no progress dots
  -b<KB>  set I/O buffer size in KB
  -s<KB>  split the archive into <KB>-sized parts after adding
  -i <file>  read list of files to process from a text file
  -o    overwrite without prompting
  -debug0  disable debug logging (default)
  -debug1  log to RAM:tmb_debug.txt
  -debug2  log to smb2:tmb_debug.txt
  -sfx  create self-extracting archive (.run)
  -9    smallest archive (slower: optimal parsing; -lh7 unless a method is given)
  -T<n>  threads: 0 = every core (default), 1 = one thread

Examples:
  %s l archive.tmb
  %s x archive.tmb
  %s x -d RAM:tmp/ archive.tmb
  %s a -lh6 archive.tmb file1 dir/
  %s a -r archive.tmb SYS:Games/
  %s a -r -lh5 -s880 archive.tmb SYS:Games/   (pack and split for floppies)
  %s s archive.tmb 880    (split an existing archive into 880KB parts)
  %s j archive.tmb.001 archive.tmb   (join parts back together)
)";
    std::string filled;
    size_t pos = 0;
    for (size_t at; (at = text.find("%s", pos)) != std::string::npos; pos = at + 2)
        filled += text.substr(pos, at - pos) + prog;
    return filled + text.substr(pos);
}

// stdout is banner + usage exactly.
void expect_usage(const std::string &out)
{
    size_t len = 0;
    ASSERT_TRUE(starts_with_banner(out, &len)) << out.substr(0, 200);
    EXPECT_EQ(out.substr(len), usage_body(TAMBRIX_BIN));
}

TEST(Cli, UsageAndItsExitStatus)
{
    struct Case {
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {{}, 0}, {{"?"}, 0}, {{"?x"}, 0}, {{"help"}, 0}, {{"l"}, 1}, {{"HELP"}, 1}, {{"x"}, 1},
        {{"--help"}, 0}, {{"-h"}, 0}, {{"-h", "arc.tmb"}, 0},
    };
    for (const Case &c : cases) {
        testkit::RunResult r = run_tambrix(c.args);
        EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "(none)" : c.args[0]);
        EXPECT_EQ(r.err, "");
        expect_usage(r.out);
    }
}

TEST(Cli, VersionLine)
{
    for (const char *arg : {"--version", "-V"}) {
        testkit::RunResult r = run_tambrix({arg});
        EXPECT_EQ(r.status, 0) << arg;
        EXPECT_EQ(r.out, "TAMBRIX 1.0 build 119\n") << arg;
        EXPECT_EQ(r.err, "");
    }
}

TEST(Cli, NoArchiveName)
{
    // "-d" takes the archive name as its directory.
    testkit::RunResult r = run_tambrix({"x", "-d", "a.tmb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No archive name specified.\n");
    expect_usage(r.out);
}

TEST(Cli, UnknownCommandAfterBannerAndBufferLine)
{
    testkit::RunResult r = run_tambrix({"z", "arc"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unknown command: z\n");
    size_t len = 0;
    ASSERT_TRUE(starts_with_banner(r.out, &len));
    ASSERT_EQ(r.out.compare(len, 10, "RAM: 32MB\n"), 0);
    expect_usage(r.out.substr(len + 10));

    r = run_tambrix({"zq", "arc"});
    EXPECT_EQ(r.status, 1);
    expect_usage(r.out);
}

TEST(Cli, QuietAndPrintSuppressBanner)
{
    TempDir dir;
    testkit::write_file(dir / "a.tmb", testkit::make_archive({}));
    RunOptions in;
    in.cwd = dir.path();
    std::string listing = " a.tmb\n";
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"lq", "a.tmb"}, {"l", "a.tmb", "-q"}, {"l", "-q", "a"}}) {
        testkit::RunResult r = run_tambrix(args, in);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.compare(0, listing.size(), listing), 0) << args[0] << " " << args[1];
    }
    // p is always quiet: nothing of the banner or the buffer line.
    testkit::RunResult r = run_tambrix({"p", "a.tmb", "x"}, in);
    EXPECT_EQ(r.out.find("TAMBRIX"), std::string::npos);
    EXPECT_EQ(r.out.find("RAM:"), std::string::npos);
}

// Output that never reached standard output is a failure of the command,
// whatever else it did; the same run into /dev/null passes.
TEST(Cli, FailedStandardOutputIsAnError)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    testkit::write_file(dir / "a.tmb", testkit::make_archive({testkit::build_lv2(testkit::stored("a.txt", "abc"))}));
    testkit::write_text(dir / "new.txt", "new");
    RunOptions in;
    in.cwd = dir.path();
    in.close_stdin = true;
    const char *const commands[] = {"l a.tmb", "vq a.tmb", "t a.tmb", "xo -d out a.tmb", "aq new.tmb new.txt"};
    for (const char *cmd : commands) {
        for (const std::string sink : {"/dev/full", "/dev/null"}) {
            SCOPED_TRACE(std::string(cmd) + " > " + sink);
            testkit::RunResult r =
                testkit::run_program({"/bin/sh", "-c", std::string("exec ") + TAMBRIX_BIN + " " + cmd + " >" + sink}, in);
            bool full = sink == "/dev/full";
            EXPECT_EQ(r.status, full ? 1 : 0);
            EXPECT_EQ(r.err, full ? "Write error on standard output\n" : "");
        }
    }
    // What the commands did besides printing was done.
    EXPECT_EQ(testkit::read_text(dir / "out/a.txt"), "abc");
    testkit::RunResult t = run_tambrix({"tq", "new.tmb"}, in);
    EXPECT_EQ(t.status, 0) << t.out;
}

TEST(Cli, FileListProblems)
{
    TempDir dir;
    RunOptions in;
    in.cwd = dir.path();
    testkit::RunResult r = run_tambrix({"l", "a.tmb", "-i", "missing.lst"}, in);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open filelist: missing.lst\n");
    size_t len = 0;
    ASSERT_TRUE(starts_with_banner(r.out, &len));
    EXPECT_EQ(r.out.substr(len), "RAM: 32MB\n"); // no usage text
}

// ---- parsing, in-process -------------------------------------------------

struct Parse : ::testing::Test {
    std::vector<std::string> storage;
    std::vector<char *> argv;
    int status = -1;
    std::string out, err;
    Options opts{}; // as the command saw them

    void run(std::vector<std::string> args)
    {
        storage = {"tambrix"};
        storage.insert(storage.end(), args.begin(), args.end());
        argv.clear();
        for (std::string &s : storage)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        opts = Options{};
        status = tambrix_main((int)storage.size(), argv.data(), &opts);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    std::vector<std::string> files() const
    {
        return std::vector<std::string>(opts.files, opts.files + opts.nfiles);
    }
};

TEST_F(Parse, DefaultsAndModifiers)
{
    run({"z", "a.tmb", "f1", "f2"});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(opts.command, 'z');
    EXPECT_EQ(opts.method, 5);
    EXPECT_EQ(opts.verbose + opts.quiet + opts.recursive + opts.force_overwrite + opts.sfx +
                  opts.no_progress + opts.exclude_empty + opts.split_kb + opts.buffer_kb,
              0);
    EXPECT_STREQ(opts.archive, "a.tmb");
    EXPECT_EQ(files(), (std::vector<std::string>{"f1", "f2"}));
    EXPECT_EQ(opts.inbuf_max, 23488101u);
    EXPECT_EQ(opts.outbuf_max, 4194304u);

    run({"zkoqrvX", "a.tmb"}); // unknown modifier letters are ignored
    EXPECT_EQ(opts.command, 'z');
    EXPECT_EQ(opts.force_overwrite, 1);
    EXPECT_EQ(opts.quiet, 1);
    EXPECT_EQ(opts.recursive, 1);
    EXPECT_EQ(opts.verbose, 1);
    // Quiet: no buffer line, and the only banner is the one of the usage text.
    EXPECT_EQ(out.find("RAM: 32MB"), std::string::npos);
    EXPECT_EQ(out.find(BANNER_1, 1), std::string::npos);
    EXPECT_EQ(out.rfind(BANNER_1, 0), 0u);
}

TEST_F(Parse, OptionTable)
{
    struct Case {
        std::vector<std::string> opts;
        const char *field;
        int value;
        std::string unknown; // expected "Unknown option" text, "" for none
    } cases[] = {
        {{"-lh0"}, "method", 0, ""},
        {{"-lh7"}, "method", 7, ""},
        {{"-lh6", "-lh5"}, "method", 5, ""},
        {{"-lh8"}, "method", 5, "-lh8"},
        {{"-q"}, "quiet", 1, ""},
        {{"-v"}, "verbose", 1, ""},
        {{"-r"}, "recursive", 1, ""},
        {{"-o"}, "force_overwrite", 1, ""},
        {{"-n"}, "no_progress", 1, ""},
        {{"-e"}, "exclude_empty", 1, ""},
        {{"-sfx"}, "sfx", 1, ""},
        {{"-9"}, "optimal", 1, ""},
        // -9 alone takes the method that packs smallest; a method given
        // before or after it stays.
        {{"-9"}, "method", 7, ""},
        {{"-9", "-lh5"}, "method", 5, ""},
        {{"-lh6", "-9"}, "method", 6, ""},
        {{"-lh0", "-9"}, "method", 0, ""},
        {{"-99"}, "optimal", 0, "-99"},
        {{"-debug2"}, "debug", 2, ""},
        {{"-debug1", "-debug0"}, "debug", 0, ""},
        {{"-debug3"}, "debug", 0, "-debug3"},
        {{"-s5"}, "split_kb", 5, ""},
        {{"-s880x"}, "split_kb", 880, ""},
        {{"-s99999999999"}, "split_kb", 2147483647, ""},
        {{"-sx"}, "split_kb", 0, "-sx"},
        {{"-s"}, "split_kb", 0, "-s"},
        {{"-b64"}, "buffer_kb", 64, ""},
        {{"-bx"}, "buffer_kb", 0, ""},
        {{"-b-5"}, "buffer_kb", -5, ""},
        {{"-b"}, "buffer_kb", 0, "-b"},
        {{"--q"}, "quiet", 0, "--q"},
        {{"-Q"}, "quiet", 0, "-Q"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"z", "a.tmb"};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        run(args);
        std::string f = c.field;
        int got = f == "method"            ? opts.method
                  : f == "quiet"           ? opts.quiet
                  : f == "verbose"         ? opts.verbose
                  : f == "recursive"       ? opts.recursive
                  : f == "force_overwrite" ? opts.force_overwrite
                  : f == "no_progress"     ? opts.no_progress
                  : f == "exclude_empty"   ? opts.exclude_empty
                  : f == "sfx"             ? opts.sfx
                  : f == "optimal"         ? opts.optimal
                  : f == "debug"           ? opts.debug_level
                  : f == "split_kb"        ? opts.split_kb
                                           : opts.buffer_kb;
        EXPECT_EQ(got, c.value) << c.opts[0];
        // An unknown option stops the run before anything is done: no
        // banner, no dispatch (which would say "Unknown command").
        EXPECT_EQ(status, 1) << c.opts[0];
        if (c.unknown.empty()) {
            EXPECT_EQ(err, "Unknown command: z\n") << c.opts[0];
            EXPECT_EQ(opts.nfiles, 0) << c.opts[0];
        } else {
            EXPECT_EQ(err, "Unknown option: " + c.unknown + "\n") << c.opts[0];
            EXPECT_EQ(out, "") << c.opts[0];
        }
    }
}

TEST_F(Parse, BufferSizes)
{
    struct Case {
        const char *opt;
        uint64_t in, out;
    } cases[] = {
        {"-b1", 1024, 1024},
        {"-b2097152", 2147483648ULL, 2147483648ULL},
        {"-b0", 23488101, 4194304},
        {"-b-1", 23488101, 4194304},
    };
    for (const Case &c : cases) {
        run({"z", "a.tmb", c.opt});
        EXPECT_EQ(opts.inbuf_max, c.in) << c.opt;
        EXPECT_EQ(opts.outbuf_max, c.out) << c.opt;
        EXPECT_NE(out.find("RAM: 32MB\n"), std::string::npos) << "the line never changes";
    }
}

TEST_F(Parse, PathOptionsConsumeTheNextArgument)
{
    run({"z", "-d", "-q", "a.tmb", "-i", "-v"});
    EXPECT_STREQ(opts.work_dir, "-q");
    EXPECT_EQ(opts.quiet, 0);
    EXPECT_STREQ(opts.archive, "a.tmb");
    EXPECT_STREQ(opts.list_file, "-v");
    EXPECT_EQ(opts.verbose, 0);
    EXPECT_EQ(err, "Cannot open filelist: -v\n");
    EXPECT_EQ(status, 1);

    run({"z", "a.tmb", "-d"}); // nothing after: not an option
    EXPECT_STREQ(opts.work_dir, "");
    EXPECT_EQ(err, "Unknown option: -d\n");
    EXPECT_EQ(status, 1);
}

TEST_F(Parse, WorkDirectoryFromAFileArgument)
{
    run({"z", "a.tmb", "f1", "RAM:", "out/", "f2"});
    EXPECT_STREQ(opts.work_dir, "RAM:");
    EXPECT_EQ(files(), (std::vector<std::string>{"f1", "out/", "f2"}));

    run({"z", "a.tmb", "-d", "dest", "RAM:out/", "b.txt"});
    EXPECT_STREQ(opts.work_dir, "dest");
    EXPECT_EQ(files(), (std::vector<std::string>{"RAM:out/", "b.txt"}));

    run({"z", "a.tmb", "", "x:"}); // an empty argument has no last character
    EXPECT_STREQ(opts.work_dir, "x:");
    EXPECT_EQ(files(), (std::vector<std::string>{""}));
}

TEST_F(Parse, ArchiveNames)
{
    TempDir dir;
    testkit::write_text(dir / "backup", "x");
    testkit::write_text(dir / "disk.bin", "x");
    testkit::write_text(dir / "game.zip", "x");
    // A FIFO without a writer: looking at it must not wait for one.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const std::string d = dir.path() + "/";
    struct Case {
        std::vector<std::string> args;
        std::string expect;
    } cases[] = {
        {{d + "new"}, d + "new.tmb"},
        {{d + "backup"}, d + "backup"},
        {{d + "disk.bin"}, d + "disk.bin"},
        {{d + "OLD.LZH"}, d + "OLD.LZH"},
        {{d + "x.Tmb"}, d + "x.Tmb"},
        {{d + "x.tmbx"}, d + "x.tmbx.tmb"},
        {{"ab"}, "ab.tmb"},
        {{".lzh"}, ".lzh"},
        {{"-"}, "-"},
        {{d + "pipe"}, d + "pipe"},
        {{"/dev/stdin"}, "/dev/stdin"},
        {{"-sfx", d + "game.lzh"}, d + "game.run"},
        {{"-sfx", d + "GAME.TMB"}, d + "GAME.run"},
        {{"-sfx", d + "game"}, d + "game.run"},
        {{"-sfx", d + "game.zip"}, d + "game.zip.run"},
        {{"-sfx", ".tmb"}, ".run"},
        {{std::string(251, 'a')}, std::string(251, 'a') + ".tmb"},
        {{"-sfx", std::string(251, 'a') + ".lzh"}, std::string(251, 'a') + ".run"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"zq"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run(args);
        EXPECT_EQ(std::string(opts.archive), c.expect) << c.args.back();
    }
    // A lone "-" is a name wherever it stands, never an option.
    run({"z", "-", "-"});
    EXPECT_EQ(std::string(opts.archive), "-");
    ASSERT_EQ(opts.nfiles, 1);
    EXPECT_EQ(std::string(opts.files[0]), "-");
    EXPECT_EQ(err, "Unknown command: z\n");
}

TEST_F(Parse, AtMost1024NonOptionArguments)
{
    std::vector<std::string> args{"zq"};
    for (int i = 0; i < 1100; i++)
        args.push_back(std::string("n").append(std::to_string(i)));
    args.push_back("-r"); // options after the cut still count
    run(args);
    EXPECT_EQ(opts.nfiles, 1023);
    EXPECT_STREQ(opts.files[1022], "n1023");
    EXPECT_EQ(opts.recursive, 1);
}

// ---- the file list and the work directory, through the listing ----------

struct ListedNames : ::testing::Test {
    TempDir dir;
    RunOptions in;
    void SetUp() override
    {
        in.cwd = dir.path();
        std::vector<testkit::Bytes> entries;
        for (const std::string &n : std::vector<std::string>{"  name", "name", "#x", std::string(255, 'a'), std::string(45, 'b'), "other",
                              "sub/", "b.txt"})
            entries.push_back(testkit::build_lv2(testkit::stored(n, "")));
        testkit::write_file(dir / "arc.tmb", testkit::make_archive(entries));
    }
    // Names listed by "lq", in order.
    std::vector<std::string> names(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"lq", "arc.tmb"});
        testkit::RunResult r = run_tambrix(args, in);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> out;
        size_t pos = 0;
        while (pos < r.out.size()) {
            size_t nl = r.out.find('\n', pos);
            std::string l = r.out.substr(pos, nl - pos);
            pos = nl + 1;
            if (l.rfind(" -lh0-", 0) == 0)
                out.push_back(l.substr(std::string(" -lh0-       0       0   0% 1970-01-01 00:00 ").size()));
        }
        return out;
    }
};

TEST_F(ListedNames, FileListLines)
{
    testkit::write_text(dir / "files.lst", "  name  \r\n#x\n\t\r\n" + std::string(255, 'a') +
                                               std::string(45, 'b') + "\n\n");
    EXPECT_EQ(names({"-i", "files.lst"}),
              (std::vector<std::string>{"  name", std::string(255, 'a'), std::string(45, 'b')}));
    // Command-line file arguments come first and stay.
    EXPECT_EQ(names({"other", "-i", "files.lst"}),
              (std::vector<std::string>{"  name", std::string(255, 'a'), std::string(45, 'b'), "other"}));
    // A list of comments only leaves the arguments as they were.
    testkit::write_text(dir / "empty.lst", "# nothing\n   \n");
    EXPECT_EQ(names({"-i", "empty.lst"}).size(), 8u);
    // A list entry ending in '/' is a pattern, not the work directory.
    testkit::write_text(dir / "dir.lst", "sub/\n");
    EXPECT_EQ(names({"-i", "dir.lst"}), (std::vector<std::string>{"sub/"}));
}

TEST_F(ListedNames, TrailingSlashArgumentIsTheWorkDirectory)
{
    EXPECT_EQ(names({"sub/", "b.txt"}), (std::vector<std::string>{"b.txt"}));
    EXPECT_EQ(names({"-d", "dest", "sub/", "b.txt"}), (std::vector<std::string>{"sub/", "b.txt"}));
}

// ---- names that select nothing ---------------------------------------------

// Every command that selects entries by name says which names selected
// nothing and fails, whatever else it did; a name that selects only a
// directory entry has matched.
TEST(Cli, NamesThatMatchNoEntryAreReported)
{
    using testkit::build_lv2;
    using testkit::stored;
    const testkit::Bytes original = testkit::make_archive(
        {build_lv2(stored("docs/", "")), build_lv2(stored("docs/a.txt", "aaa")), build_lv2(stored("b.bin", "bb"))});
    const testkit::Bytes without_b =
        testkit::make_archive({build_lv2(stored("docs/", "")), build_lv2(stored("docs/a.txt", "aaa"))});
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::vector<std::string> written;  // files below out/ afterwards, sorted
        const testkit::Bytes *archive;     // the archive afterwards
    };
    const Case cases[] = {
        {{"x", "-d", "out", "a.tmb", "nomatch"}, 1, "No entry matches: nomatch\n", {}, &original},
        {{"x", "-d", "out", "a.tmb", "b.bin", "*.zip", "A.TXT"}, 1,
         "No entry matches: *.zip\nNo entry matches: A.TXT\n", {"b.bin"}, &original},
        {{"x", "-d", "out", "a.tmb", "*/"}, 0, "", {"docs"}, &original},
        {{"x", "-d", "out", "a.tmb", "\033[2J", "a.txt"}, 1, "No entry matches: \\033[2J\n", {"docs"}, &original},
        {{"e", "-d", "out", "a.tmb", "nomatch", "a.txt"}, 1, "No entry matches: nomatch\n", {"a.txt"}, &original},
        {{"t", "a.tmb", "nomatch", "b.bin"}, 1, "No entry matches: nomatch\n", {}, &original},
        {{"t", "a.tmb", "*/"}, 0, "", {}, &original},
        {{"d", "a.tmb", "nomatch"}, 1, "No entry matches: nomatch\n", {}, &original},
        {{"d", "a.tmb", "b.bin", "nomatch"}, 1, "No entry matches: nomatch\n", {}, &without_b},
        {{"p", "a.tmb", "nomatch"}, 1, "File not found in archive: nomatch\n", {}, &original},
        {{"p", "a.tmb", "a.txt\033"}, 1, "File not found in archive: a.txt\\033\n", {}, &original},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        TempDir dir;
        RunOptions in;
        in.cwd = dir.path();
        testkit::write_file(dir / "a.tmb", original);
        if (c.args[0] == "x" || c.args[0] == "e") {
            ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        }
        std::vector<std::string> args = c.args;
        args.insert(args.begin() + 1, "-q");
        testkit::RunResult r = run_tambrix(args, in);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.args[0] == "x" || c.args[0] == "e") {
            EXPECT_EQ(testkit::list_dir(dir / "out"), c.written);
        }
        EXPECT_EQ(testkit::read_file(dir / "a.tmb"), *c.archive);
    }

    // The walk of a damaged archive is reported as before; the names it did
    // not meet are reported as well.
    TempDir dir;
    RunOptions in;
    in.cwd = dir.path();
    testkit::Bytes damaged = build_lv2(stored("b.bin", "bb"));
    testkit::append(damaged, testkit::Bytes{'J', 'U', 'N', 'K'});
    testkit::write_file(dir / "a.tmb", damaged);
    for (const char *cmd : {"t", "x"}) {
        testkit::RunResult r = run_tambrix({cmd, "-q", "-o", "a.tmb", "b.bin", "zz"}, in);
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_NE(r.err.find("Damaged archive: a.tmb"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("No entry matches: zz\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("No entry matches: b.bin"), std::string::npos) << r.err;
    }
}

// ---- what a run may change ------------------------------------------------

// A mistake on the command line or in the paths given to `a` leaves an
// existing archive byte for byte as it was and ends with status 1; only a
// run that adds entries replaces it.
TEST(Cli, AMistakeNeverCostsAnArchive)
{
    const testkit::Bytes old = testkit::make_archive({testkit::build_lv2(testkit::stored("old.txt", "old"))});
    const std::vector<std::string> fixture = {"backup.tmb", "empty", "f.txt", "src"};
    const std::string no_r = "  Directory not added: src (-r adds its files)\n";
    const std::string kept = "No entry added: backup.tmb; left unchanged\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::vector<std::string> entries; // of backup.tmb afterwards; {} = as it was
        std::vector<std::string> files;   // the directory afterwards, sorted
    } cases[] = {
        {{"a", "-R", "backup.tmb", "src"}, 1, "Unknown option: -R\n", {}, fixture},
        {{"a", "-rq", "backup.tmb", "src"}, 1, "Unknown option: -rq\n", {}, fixture},
        {{"a", "-r", "backup.tmb", "src", "-lh8", "--recursive"}, 1,
         "Unknown option: -lh8\nUnknown option: --recursive\n", {}, fixture},
        {{"a", "backup.tmb", "src"}, 1, no_r + kept, {}, fixture},
        {{"a", "-r", "-e", "backup.tmb", "empty"}, 1, kept, {}, fixture},
        {{"a", "backup.tmb", "missing.txt"}, 1, "  Cannot open: missing.txt (No such file or directory)\n" + kept,
         {}, fixture},
        {{"a", "new.tmb", "src"}, 1, no_r + "No entry added: new.tmb; not created\n", {}, fixture},
        {{"a", "-sfx", "game", "src"}, 1, no_r + "No entry added: game.run; not created\n", {}, fixture},
        // Something added: the archive is replaced, the directory still
        // counts as a failure.
        {{"a", "backup.tmb", "f.txt", "src"}, 1, no_r, {"f.txt"}, fixture},
        {{"a", "-r", "backup.tmb", "src"}, 0, "", {"a.txt", "sub/b.txt"}, fixture},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        TempDir dir;
        mkdir((dir / "src").c_str(), 0755);
        mkdir((dir / "src/sub").c_str(), 0755);
        mkdir((dir / "empty").c_str(), 0755);
        testkit::write_text(dir / "src/a.txt", "a");
        testkit::write_text(dir / "src/sub/b.txt", "b");
        testkit::write_text(dir / "f.txt", "f");
        testkit::write_file(dir / "backup.tmb", old);
        RunOptions in;
        in.cwd = dir.path();
        testkit::RunResult r = run_tambrix(c.args, in);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.err.rfind("Unknown option", 0) == 0) {
            EXPECT_EQ(r.out, "") << "nothing is done, not even the banner";
        }
        if (c.entries.empty()) {
            EXPECT_EQ(testkit::read_file(dir / "backup.tmb"), old);
        } else {
            std::vector<std::string> names = testkit::entry_names(dir / "backup.tmb");
            std::sort(names.begin(), names.end()); // in the order the directory was listed
            EXPECT_EQ(names, c.entries);
        }
        EXPECT_EQ(testkit::list_dir(dir.path()), c.files) << "no archive made, no temporary left";
    }
}

// Paths of 256 characters or more are refused, never cut: a cut archive
// name is another file, a cut work directory another directory.
TEST(Cli, LongPathsAreRefusedNotCut)
{
    TempDir dir;
    // Four levels of 50 characters: 204 with their slashes.
    std::string deep;
    for (int i = 0; i < 4; i++) {
        deep += std::string(50, (char)('a' + i)) + "/";
        mkdir((dir / deep).c_str(), 0755);
    }
    auto path = [&](size_t len, const std::string &end) {
        return deep + std::string(len - deep.size() - end.size(), 'x') + end;
    };
    testkit::write_text(dir / "f.txt", "f");
    testkit::write_file(dir / "arc.tmb",
                        testkit::make_archive({testkit::build_lv2(testkit::stored("in.txt", "in"))}));
    struct Case {
        std::vector<std::string> args;
        std::string too_long;          // the path named in the message; "" for a run that works
        std::vector<std::string> made; // what the deepest level holds afterwards
    } cases[] = {
        {{"a", "-q", path(256, ".tmb"), "f.txt"}, path(256, ".tmb"), {}},
        {{"a", "-q", path(300, ".tmb"), "f.txt"}, path(300, ".tmb"), {}},
        // The default extension would make it 257 characters long.
        {{"a", "-q", path(253, ""), "f.txt"}, path(253, "") + ".tmb", {}},
        {{"xq", "arc.tmb", "-d", path(256, "")}, path(256, ""), {}},
        {{"xq", "arc.tmb", path(256, "/")}, path(256, "/"), {}},
        {{"lq", "arc.tmb", "-i", path(256, "")}, path(256, ""), {}},
        // The longest name that fits is taken as it is.
        {{"a", "-q", path(255, ".tmb"), "f.txt"}, "", {path(255, ".tmb").substr(deep.size())}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2].substr(0, 3) + "... " + std::to_string(c.too_long.size()));
        RunOptions in;
        in.cwd = dir.path();
        testkit::RunResult r = run_tambrix(c.args, in);
        EXPECT_EQ(r.status, c.too_long.empty() ? 0 : 1);
        EXPECT_EQ(r.err, c.too_long.empty() ? "" : "Path too long: " + c.too_long + "\n");
        if (!c.too_long.empty()) {
            EXPECT_EQ(r.out, "");
        }
        EXPECT_EQ(testkit::list_dir(dir / deep), c.made);
    }
    EXPECT_EQ(testkit::entry_names(dir / path(255, ".tmb")), std::vector<std::string>{"f.txt"});
}

// -9 asks for the smallest archive: alone it packs with -lh7-, the method
// of the largest window; with a method option it keeps that method.
TEST(Cli, NineAloneMeansTheSmallestMethod)
{
    TempDir dir;
    std::string text;
    for (int i = 0; i < 2000; i++)
        text += "line " + std::to_string(i * 7919 % 1000) + " of the sample\n";
    testkit::write_text(dir / "t.txt", text);
    struct Case {
        std::vector<std::string> opts;
        const char *method;
    } cases[] = {
        {{"-9"}, "-lh7-"}, {{"-9", "-lh5"}, "-lh5-"}, {{"-lh6", "-9"}, "-lh6-"},
        {{"-lh0", "-9"}, "-lh0-"}, {{}, "-lh5-"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.opts.empty() ? "(none)" : c.opts[0]);
        std::vector<std::string> args{"a", "-q", "n.tmb", "t.txt"};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        RunOptions in;
        in.cwd = dir.path();
        testkit::RunResult r = run_tambrix(args, in);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::vector<testkit::ArchiveEntry> e = testkit::read_entries(dir / "n.tmb");
        ASSERT_EQ(e.size(), 1u);
        EXPECT_STREQ(tmb_method_name(e[0].method), c.method);
        EXPECT_EQ(e[0].orig_size, text.size());
        r = run_tambrix({"tq", "n.tmb"}, in);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

// ---- debug log -------------------------------------------------------------

TEST(Cli, DebugLogOfTheHeaderReader)
{
    TempDir dir;
    RunOptions in;
    in.cwd = dir.path();
    testkit::LzhEntry e = testkit::stored("abc", "xy", 0x00210000);
    e.crc = 0x1234;
    testkit::write_file(dir / "a.tmb", testkit::make_archive({testkit::build_lv0(e)}));
    testkit::RunResult r = run_tambrix({"lq", "a.tmb", "-debug1"}, in);
    EXPECT_EQ(r.status, 0);
    // H = 25: the dump shows the first 24 header bytes from offset 2.
    EXPECT_EQ(testkit::read_text(dir / "RAM:tmb_debug.txt"),
              "=== TAMBRIX 1.0 build 119 debug log start (level=1) ===\n"
              "BYTES[read_header_lv0.full] extra=25 bytes=2d 6c 68 30 2d 02 00 00 00 02 00 00 00 "
              "00 00 21 00 20 00 03 61 62 63 34 \n"
              "read_header_lv0: namelen=full[19]=3 hsize=25\n");
    EXPECT_FALSE(testkit::file_exists(dir / "smb2:tmb_debug.txt"));

    r = run_tambrix({"lq", "a.tmb", "-debug2"}, in);
    EXPECT_TRUE(testkit::file_exists(dir / "smb2:tmb_debug.txt"));
}

} // namespace
