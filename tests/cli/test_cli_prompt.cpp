// The overwrite question reaches the person typing the answer: with the
// output sent to a file while the input is a terminal, the question shows
// on the terminal too (standard error), and the answer typed there is
// taken. The program runs on a pseudo-terminal, as in a terminal window.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"

using namespace testkit;

namespace {

struct TtyRun {
    int status = -1;
    std::string tty;  // everything written to the terminal
    std::string file; // standard output, when it went to a file
};

// Runs the program in `cwd` with standard input and standard error on a
// new pseudo-terminal (echo off, output unprocessed, so what the program
// writes arrives unchanged) and standard output on the terminal too, or on
// the file `out_file`. `typed` is typed at the terminal first.
TtyRun run_on_tty(const std::vector<std::string> &args, const std::string &cwd, const std::string &typed,
                  const std::string &out_file)
{
    TtyRun res;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
        return res;
    }
    std::string slave_name = ptsname(master);
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        ADD_FAILURE() << "cannot open " << slave_name;
        close(master);
        return res;
    }
    struct termios tio;
    tcgetattr(slave, &tio);
    tio.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
    tio.c_oflag &= ~(tcflag_t)OPOST;
    tcsetattr(slave, TCSANOW, &tio);

    std::vector<std::string> argv_s = {TAMBRIX_BIN};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        close(master);
        int out = out_file.empty() ? slave : open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || chdir(cwd.c_str()) != 0)
            _exit(126);
        dup2(slave, 0);
        dup2(out, 1);
        dup2(slave, 2);
        alarm(60); // a run that waits for input it never gets ends
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        close(master);
        return res;
    }
    if (write(master, typed.data(), typed.size()) != (ssize_t)typed.size())
        ADD_FAILURE() << "cannot type the answer";
    // Read until the last holder of the terminal's other side is gone.
    char buf[4096];
    for (;;) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            res.tty.append(buf, (size_t)n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (!out_file.empty())
        res.file = read_text(out_file);
    return res;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

TEST(CliPrompt, QuestionReachesTheTerminalWhenOutputGoesElsewhere)
{
    TempDir dir;
    write_file(dir / "a.tmb", make_archive({build_lv0(stored("a.txt", "new-a"))}));
    const std::string ask = "  overwrite a.txt? [y]es [n]o [A]ll [N]one: ";
    struct Case {
        const char *what;
        bool output_to_file;
        std::string typed;
        std::string after;       // a.txt afterwards
        size_t asked_on_tty;     // times the question shows on the terminal
        const char *done;        // the summary
    };
    const Case cases[] = {
        {"output to a file, y taken", true, "y\n", "new-a", 1, "Extracted: 1  Skipped: 0  Errors: 0"},
        {"output to a file, n taken", true, "n\n", "old", 1, "Extracted: 0  Skipped: 1  Errors: 0"},
        // On the terminal already: asked once, not twice.
        {"output on the terminal", false, "y\n", "new-a", 1, "Extracted: 1  Skipped: 0  Errors: 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write_text(dir / "a.txt", "old");
        std::string log = c.output_to_file ? dir / "log.txt" : "";
        TtyRun r = run_on_tty({"x", "-q", "a.tmb"}, dir.path(), c.typed, log);
        EXPECT_EQ(r.status, 0) << r.tty;
        EXPECT_EQ(read_text(dir / "a.txt"), c.after);
        EXPECT_EQ(count_of(r.tty, ask), c.asked_on_tty) << r.tty;
        // Standard output holds the whole run, question included, as ever.
        const std::string &out = c.output_to_file ? r.file : r.tty;
        EXPECT_NE(out.find("Extracting: a.tmb\n\n" + ask), std::string::npos) << out;
        EXPECT_NE(out.find(c.done), std::string::npos) << out;
        if (c.output_to_file) {
            EXPECT_EQ(r.tty, ask); // nothing else goes to the terminal
        }
    }
}

// The run's output less its "Time:" line, which differs from run to run.
std::string without_time(const std::string &text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        if (text.compare(at, 5, "Time:") != 0)
            out.append(text, at, end - at);
        at = end;
    }
    return out;
}

// Entries of one name, or a file and then a directory below its name: on
// several threads the later entry waits for the earlier one to be in
// place, so the terminal is asked exactly what one thread asks, and the
// answers typed there end the same way.
TEST(CliPrompt, SameNameEntriesAskOnSeveralThreadsAsOnOne)
{
    TempDir dir;
    // Large enough to be unpacked by a worker of its own.
    std::string big(40000, 'b');
    for (size_t i = 0; i < big.size(); i += 7)
        big[i] = (char)('a' + i % 23);
    auto file = [](const std::string &name, const std::string &data) { return build_lv2(stored(name, data)); };
    LzhEntry below;
    below.dir = "f/";
    below.method = "-lhd-";
    const std::string ask = "  overwrite out/f? [y]es [n]o [A]ll [N]one: ";
    struct Case {
        const char *what;
        std::vector<Bytes> entries;
        std::string typed;
        size_t asked;      // times the question reaches the terminal
        std::string after; // out/f afterwards
        int status;
    };
    const Case cases[] = {
        {"twice, yes", {file("f", big), file("f", "two")}, "y\n", 1, "two", 0},
        {"twice, no", {file("f", big), file("f", "two")}, "n\n", 1, big, 0},
        {"three times, all", {file("f", big), file("f", "two"), file("f", "three")}, "A\n", 1, "three", 0},
        {"three times, yes then no", {file("f", big), file("f", "two"), file("f", big + "3")}, "y\nn\n", 2,
         "two", 0},
        {"a file, then a directory below its name", {file("f", big), build_lv2(below)}, "", 0, big, 1},
    };
    for (const Case &c : cases) {
        write_file(dir / "a.tmb", make_archive(c.entries));
        TtyRun first;
        for (const char *t : {"-T1", "-T2"}) {
            SCOPED_TRACE(std::string(c.what) + " " + t);
            std::filesystem::remove_all(dir / "out");
            std::filesystem::create_directories(dir / "out");
            TtyRun r = run_on_tty({"x", "-q", t, "a.tmb", "out/"}, dir.path(), c.typed, dir / "log.txt");
            r.file = without_time(r.file);
            EXPECT_EQ(r.status, c.status) << r.file;
            EXPECT_EQ(count_of(r.tty, ask), c.asked) << r.tty;
            EXPECT_TRUE(read_text(dir / "out/f") == c.after) << read_text(dir / "out/f").size() << " bytes";
            if (first.status < 0) {
                first = r;
                continue;
            }
            EXPECT_EQ(r.tty, first.tty);
            EXPECT_EQ(r.file, first.file);
        }
    }
}

// Answers that come from a file or a pipe are not typed by anyone: the
// question stays on standard output alone.
TEST(CliPrompt, AnswersFromAPipeLeaveStandardErrorAlone)
{
    TempDir dir;
    write_file(dir / "a.tmb", make_archive({build_lv0(stored("a.txt", "new-a"))}));
    write_text(dir / "a.txt", "old");
    RunOptions o;
    o.cwd = dir.path();
    o.input = "y\n";
    o.wall_limit_seconds = 60;
    RunResult r = run_tambrix({"x", "-q", "a.tmb"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_text(dir / "a.txt"), "new-a");
    EXPECT_NE(r.out.find("  overwrite a.txt? [y]es [n]o [A]ll [N]one: "), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

} // namespace
