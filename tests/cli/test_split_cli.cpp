// The s and j commands run through the built program: exact messages and
// exit statuses, write failures under a file size limit, damaged parts.
#include <gtest/gtest.h>


#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <vector>
#include <unistd.h>

#include "archive_entries.h"
#include "lzh_builder.h"
#include "testkit.h"
#include "tmb_header.h"

using testkit::Bytes;
using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;
using testkit::file_exists;
using testkit::read_file;
using testkit::run_tambrix;
using testkit::write_file;
using testkit::write_text;

namespace {

Bytes pattern_bytes(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 197 + (i >> 9) + 3);
    return b;
}

std::string crc_hex(const Bytes &b)
{
    char s[8];
    snprintf(s, sizeof s, "%04X", tmb_crc16(b.data(), b.size(), 0));
    return s;
}

class SplitCli : public ::testing::Test {
protected:
    RunResult run(const std::vector<std::string> &args, long fsize_limit = -1)
    {
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.file_size_limit = fsize_limit;
        return run_tambrix(args, o);
    }
    // For cases where a fault would make the program wait or write for
    // ever: the alarm ends it, and the case fails instead of the suite.
    RunResult run_bounded(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.file_size_limit = 1 << 20;
        o.wall_limit_seconds = 10;
        o.env = std::move(env);
        return run_tambrix(args, o);
    }
    TempDir dir;
};

// A FIFO with a writer held open (and a reader of ours, so that opening the
// writer does not wait): whoever reads it waits for data that never comes,
// and gets no end of file.
class HeldFifo {
public:
    explicit HeldFifo(const std::string &path)
    {
        if (mkfifo(path.c_str(), 0644) == 0) {
            rd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
            wr_ = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        }
    }
    ~HeldFifo()
    {
        if (wr_ >= 0)
            close(wr_);
        if (rd_ >= 0)
            close(rd_);
    }
    HeldFifo(const HeldFifo &) = delete;
    HeldFifo &operator=(const HeldFifo &) = delete;
    bool ok() const { return rd_ >= 0 && wr_ >= 0; }

private:
    int rd_ = -1, wr_ = -1;
};

TEST_F(SplitCli, SplitThenJoinRoundTrip)
{
    Bytes data = pattern_bytes(2500);
    write_file(dir / "arc.tmb", data);
    const std::string crc = crc_hex(data);

    // The extension rule: "arc" names arc.tmb.
    RunResult r = run({"sq", "arc", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "Splitting: arc.tmb (2500 bytes) into 1KB parts\n\nDone. 3 part(s) written, "
                     "CRC16=" + crc + "\nInfo file: arc.tmb.info\n");
    EXPECT_TRUE(file_exists(dir / "arc.tmb")) << "s keeps the file it split";
    EXPECT_EQ(read_file(dir / "arc.tmb.003").size(), 452u);

    // j of any part, default output = part name without ".NNN".
    ASSERT_EQ(remove((dir / "arc.tmb").c_str()), 0);
    r = run({"j", "-q", "arc.tmb.002"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(dir / "arc.tmb"), data);

    // Without -q: the join's own lines after the banner and buffer line.
    r = run({"j", "arc.tmb.001", "out.tmb"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string tail = "Joining: arc.tmb -> out.tmb\n  reading: arc.tmb.001\n  reading: "
                             "arc.tmb.002\n  reading: arc.tmb.003\n\nJoined 3 part(s), 2500 "
                             "bytes total, CRC16=" + crc + "\nVerified OK against arc.tmb.info "
                             "(size and CRC16 match)\n";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_NE(r.out.find("RAM: 32MB\n"), std::string::npos);
    EXPECT_EQ(read_file(dir / "out.tmb"), data);

    // An existing output: refused without o, replaced with it.
    write_text(dir / "out.tmb", "old");
    r = run({"jq", "arc.tmb.001", "out.tmb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Output file already exists: out.tmb (use -o to overwrite)\n");
    r = run({"jqo", "arc.tmb.001", "out.tmb"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "out.tmb"), data);
}

TEST_F(SplitCli, BadArgumentsForSplit)
{
    write_file(dir / "arc.tmb", pattern_bytes(100));
    write_text(dir / "list", "-5\n");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"sq", "arc.tmb"}, "Usage: split <file> <size_in_kb>\n"},
        {{"sq", "arc.tmb", "0"}, "Invalid part size: 0\n"},
        {{"sq", "arc.tmb", "abc"}, "Invalid part size: 0\n"},
        {{"sq", "arc.tmb", "99999999999"}, "Invalid part size: 0\n"},
        {{"sq", "arc.tmb", "-i", "list"}, "Invalid part size: 0\n"},  // a negative size
        {{"sq", "missing.tmb", "5"}, "Cannot open: missing.tmb\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.back());
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(dir / "arc.tmb.001"));
        EXPECT_FALSE(file_exists(dir / "arc.tmb.info"));
    }
    // Digits up to the first other character: "2k" is 2 KB.
    RunResult r = run({"sq", "arc.tmb", "2k"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Splitting: arc.tmb (100 bytes) into 2KB parts\n", 0), 0u);
}

// s splits only a regular file: a device (or a link to one) has no end and
// would fill the disk with parts, a FIFO would keep it waiting.
TEST_F(SplitCli, DevicesAndFifosAreNotSplit)
{
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero").c_str()), 0);
    HeldFifo fifo(dir / "pipe");
    ASSERT_TRUE(fifo.ok());
    std::vector<std::string> names = {"zero", "pipe"};
    // A zero device of our own, when this system lets us make one.
    if (mknod((dir / "node").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0)
        names.push_back("node");
    const std::vector<std::string> before = testkit::list_dir(dir.path());
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        RunResult r = run_bounded({"sq", name, "4096"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Cannot open: " + name + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(testkit::list_dir(dir.path()), before);
    }
}

// A part or the sidecar that is a FIFO (a writer holding it open) or a
// directory is refused at once, by j and by the auto-join of a reading
// command alike; nothing is left beside the parts or in TMPDIR.
TEST_F(SplitCli, SpecialFilesInTheSeriesAreRefusedWithoutWaiting)
{
    write_file(dir / "arc.tmb", pattern_bytes(2500));
    ASSERT_EQ(run({"sq", "arc.tmb", "1"}).status, 0);
    ASSERT_EQ(remove((dir / "arc.tmb").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0700), 0);
    const std::vector<std::string> env = {"TMPDIR=" + dir / "tmp"};
    struct Case {
        const char *what;
        const char *member;
        bool fifo;  // else a directory
    };
    const Case cases[] = {
        {"part 1 a FIFO", "arc.tmb.001", true},
        {"part 2 a FIFO", "arc.tmb.002", true},
        {"sidecar a FIFO", "arc.tmb.info", true},
        {"part 2 a directory", "arc.tmb.002", false},
        {"sidecar a directory", "arc.tmb.info", false},
    };
    const std::vector<std::string> before = testkit::list_dir(dir.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = dir / c.member, saved = path + ".saved";
        ASSERT_EQ(rename(path.c_str(), saved.c_str()), 0);
        {
            std::unique_ptr<HeldFifo> fifo;
            if (c.fifo) {
                fifo = std::make_unique<HeldFifo>(path);
                ASSERT_TRUE(fifo->ok());
            } else {
                ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
            }
            const std::string refused =
                std::string("Cannot read: ") + c.member + " (not a regular file)\n";
            RunResult j = run_bounded({"jqo", "arc.tmb.001", "out.tmb"}, env);
            EXPECT_EQ(j.status, 1);
            EXPECT_EQ(j.err.rfind(refused, 0), 0u) << j.err;
            RunResult t = run_bounded({"tq", "arc.tmb.001"}, env);
            EXPECT_EQ(t.status, 1);
            EXPECT_EQ(t.err.rfind(refused, 0), 0u) << t.err;
            EXPECT_FALSE(file_exists(dir / "out.tmb"));
            EXPECT_TRUE(testkit::list_dir(dir / "tmp").empty());
        }
        if (c.fifo)
            unlink(path.c_str());
        else
            rmdir(path.c_str());
        ASSERT_EQ(rename(saved.c_str(), path.c_str()), 0);
        EXPECT_EQ(testkit::list_dir(dir.path()), before);
    }
}

TEST_F(SplitCli, WritesBeyondTheFileSizeLimitFail)
{
    Bytes data = pattern_bytes(5000);
    write_file(dir / "arc.tmb", data);
    // Parts of 2 KB cannot be written under a 1500-byte limit.
    RunResult r = run({"sq", "arc.tmb", "2"}, 1500);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Cannot write: arc.tmb.001 (File too large)\n", 0), 0u) << r.err;
    EXPECT_EQ(r.out.find("Done."), std::string::npos);
    EXPECT_FALSE(file_exists(dir / "arc.tmb.info"));
    EXPECT_EQ(read_file(dir / "arc.tmb"), data);

    // 1 KB parts pass; the 5000-byte join does not, with or without sidecar.
    r = run({"sq", "arc.tmb", "1"}, 1500);
    ASSERT_EQ(r.status, 0) << r.err;
    for (bool sidecar : {true, false}) {
        SCOPED_TRACE(sidecar);
        if (!sidecar)
            remove((dir / "arc.tmb.info").c_str());
        r = run({"j", "arc.tmb.001", "out.tmb"}, 1500);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Cannot write: out.tmb (File too large)\n"
                         "Removing incomplete output: out.tmb\n");
        EXPECT_EQ(r.out.find("Joined"), std::string::npos);
        EXPECT_FALSE(file_exists(dir / "out.tmb"));
    }
}

TEST_F(SplitCli, DamagedPartsFailVerification)
{
    Bytes data = pattern_bytes(2500);
    write_file(dir / "arc.tmb", data);
    ASSERT_EQ(run({"sq", "arc.tmb", "1"}).status, 0);
    const std::string crc = crc_hex(data);
    const Bytes part2 = read_file(dir / "arc.tmb.002");

    struct Case {
        const char *what;
        Bytes part2;  // empty: part 2 missing
        std::string got;
        std::string missing;  // the line naming a missing part
    };
    Bytes flipped = part2;
    flipped[100] ^= 0x40;
    Bytes shorter(part2.begin(), part2.end() - 1);
    Bytes dflipped = data;
    dflipped[1024 + 100] ^= 0x40;
    Bytes dshort = data;
    dshort.erase(dshort.begin() + 2047);
    const Case cases[] = {
        {"one bit flipped", flipped, "size=2500 crc16=" + crc_hex(dflipped), ""},
        {"one byte short", shorter, "size=2499 crc16=" + crc_hex(dshort), ""},
        {"part missing", {}, "size=1024 crc16=" + crc_hex(Bytes(data.begin(), data.begin() + 1024)),
         "Missing part: arc.tmb.002\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.part2.empty())
            remove((dir / "arc.tmb.002").c_str());
        else
            write_file(dir / "arc.tmb.002", c.part2);
        RunResult r = run({"jq", "arc.tmb.003", "out.tmb"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "VERIFICATION FAILED: expected size=2500 crc16=" + crc + ", got " +
                             c.got + "\n" + c.missing + "Removing corrupted output: out.tmb\n");
        EXPECT_FALSE(file_exists(dir / "out.tmb"));
    }

    // No parts at all, and a name that is no part name.
    RunResult r = run({"jq", "none.tmb.001"});
    // "none.tmb.001" does not exist, so the extension rule makes it
    // "none.tmb.001.tmb", which is no part name.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Expected a part filename ending in .NNN (e.g. archive.tmb.001), got: "
                     "none.tmb.001.tmb\n");
    write_text(dir / "other.tmb.002", "x");
    r = run({"jq", "other.tmb.002"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No parts found matching: other.tmb.001\n");
    EXPECT_FALSE(file_exists(dir / "other.tmb"));
}

// a -s<KB> splits the new archive and removes it only after a complete
// split; a part that cannot be made keeps the archive.
TEST_F(SplitCli, AddWithSplitKeepsTheArchiveWhenTheSplitFails)
{
    write_file(dir / "f.bin", pattern_bytes(3000));
    ASSERT_EQ(mkdir((dir / "arc.tmb.002").c_str(), 0755), 0);
    RunResult r = run({"aq", "-lh0", "-s1", "arc.tmb", "f.bin"});
    EXPECT_EQ(r.err, "Cannot create: arc.tmb.002\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(file_exists(dir / "arc.tmb"));
    EXPECT_FALSE(file_exists(dir / "arc.tmb.info"));
    const Bytes archive = read_file(dir / "arc.tmb");

    ASSERT_EQ(rmdir((dir / "arc.tmb.002").c_str()), 0);
    r = run({"aq", "-lh0", "-s1", "arc.tmb", "f.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Removed original: arc.tmb\n"), std::string::npos);
    EXPECT_FALSE(file_exists(dir / "arc.tmb"));
    r = run({"jq", "arc.tmb.001"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "arc.tmb"), archive);
}

// Reading commands pointed at a part: the parts are joined into a private
// temporary file, read from there, and the file is gone afterwards.
TEST_F(SplitCli, ReadingCommandsJoinPartsAndCleanUp)
{
    std::string text(3000, 'q');
    for (size_t i = 0; i < text.size(); i += 7)
        text[i] = (char)('a' + i % 26);
    write_file(dir / "arc.tmb", testkit::make_archive({testkit::build_lv2(testkit::stored("hello.txt", text))}));
    ASSERT_EQ(run({"sq", "arc.tmb", "1"}).status, 0);
    ASSERT_EQ(remove((dir / "arc.tmb").c_str()), 0);

    // The temporary name is the one the join reports.
    auto temp_of = [](const std::string &out) {
        size_t at = out.find("Joining: arc.tmb -> ");
        if (at == std::string::npos)
            return std::string();
        at += 20;
        return out.substr(at, out.find('\n', at) - at);
    };
    for (const char *cmd : {"t", "x"}) {
        SCOPED_TRACE(cmd);
        RunResult r = run({cmd, "-o", "arc.tmb.002"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Detected split parts -- joining before extraction.\n"),
                  std::string::npos);
        std::string tmp = temp_of(r.out);
        EXPECT_EQ(tmp.rfind("/tmp/tambrix_joined_", 0), 0u) << r.out;
        EXPECT_EQ(tmp.substr(tmp.size() - 4), ".tmp");
        EXPECT_FALSE(file_exists(tmp));
    }
    EXPECT_EQ(testkit::read_text(dir / "hello.txt"), text);

    // A damaged part: the join fails, nothing is read, nothing is left.
    write_text(dir / "arc.tmb.002", std::string(1024, 'z'));
    remove((dir / "hello.txt").c_str());
    RunResult r = run({"x", "-o", "arc.tmb.001"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("VERIFICATION FAILED: ", 0), 0u) << r.err;
    EXPECT_FALSE(file_exists(temp_of(r.out)));
    EXPECT_FALSE(file_exists(dir / "hello.txt"));
}

// A reading command that is stopped from outside while it works on a joined
// archive still removes the temporary file: p whose reader has gone away
// (SIGPIPE), and x terminated while it waits at the overwrite prompt.
TEST_F(SplitCli, TemporaryJoinGoesWhenTheProcessIsStopped)
{
    write_file(dir / "big.bin", pattern_bytes(1 << 20));  // more than a pipe holds
    ASSERT_EQ(run({"aq", "-lh0", "arc.tmb", "big.bin"}).status, 0);
    ASSERT_EQ(run({"sq", "arc.tmb", "400"}).status, 0);
    ASSERT_EQ(remove((dir / "arc.tmb").c_str()), 0);

    // The program runs as the process whose id the script writes to "pid",
    // with SIGPIPE at its default (the test process ignores it).
    const std::string start =
        std::string("env --default-signal=PIPE sh -c 'echo $$ > pid; exec ") + TAMBRIX_BIN;
    struct Case {
        const char *what;
        std::string script;
    } cases[] = {
        {"p into a closed pipe", start + " p arc.tmb.001 big.bin' | head -c 1 > /dev/null"},
        {"x terminated at the prompt",
         "mkfifo answers\n" + start +
             " x arc.tmb.001' < answers > /dev/null 2>&1 &\n"
             "exec 3> answers\n"
             "i=0\n"
             "until [ -s pid ] && ls /tmp/tambrix_joined_$(cat pid)_* > /dev/null 2>&1; do\n"
             "  i=$((i + 1)); [ $i -gt 500 ] && exit 3; sleep 0.02\n"
             "done\n"
             "sleep 0.2\n"
             "kill -TERM $(cat pid)\n"
             "wait\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        remove((dir / "pid").c_str());
        RunOptions o;
        o.cwd = dir.path();
        RunResult r = testkit::run_program({"/bin/sh", "-c", c.script}, o);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string pid = testkit::read_text(dir / "pid");
        ASSERT_FALSE(pid.empty());
        pid.pop_back();
        RunResult left = testkit::run_program(
            {"/bin/sh", "-c", "ls /tmp/tambrix_joined_" + pid + "_* 2> /dev/null"}, o);
        EXPECT_EQ(left.out, "");
    }
    EXPECT_EQ(read_file(dir / "big.bin"), pattern_bytes(1 << 20));
}

} // namespace
