// Bulk data moves in large system calls, end to end. A stream left with
// the C library's default buffer reads and writes a large file 4 KB per
// call; every command that moves file data must do it 64 KB per call,
// short of a few calls for the ends of files and the headers.
//
// The program runs with the fault library preloaded only to copy its I/O
// counters (/proc/self/io) as it ends. What a run that moves almost nothing
// costs (start-up, the loader, the command's own small reads) is measured
// first and allowed to every command.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "testkit.h"

using testkit::RunOptions;
using testkit::RunResult;
using testkit::TempDir;

namespace {

constexpr long kBulkCall = 65536;
constexpr size_t kBigFile = 4u << 20;
// Small calls a command may take beyond the bare run's: the last piece and
// the end-of-file read of each stream, headers, the sidecar of a split
// (six at most so far; a stream on 4 KB calls costs dozens more).
constexpr long kSmallCalls = 16;

struct IoCounts {
    long rchar = -1, wchar = -1, syscr = -1, syscw = -1;
};

class IoCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/proc/self/io", R_OK) != 0)
            GTEST_SKIP() << "this kernel keeps no I/O counters (/proc/self/io)";
        // Text that packs, and noise that is stored as it is: each command
        // moves megabytes of both.
        std::string text;
        for (int i = 0; text.size() < kBigFile; i++)
            text += std::to_string(i) + " " + std::to_string(i * 7 % 1000) + " line of text\n";
        testkit::write_text(dir / "big.txt", text);
        testkit::Bytes noise(kBigFile);
        uint32_t seed = 1;
        for (auto &b : noise) {
            seed = seed * 1664525 + 1013904223;
            b = (uint8_t)(seed >> 24);
        }
        testkit::write_file(dir / "noise.bin", noise);
        testkit::write_text(dir / "small.txt", "first version\n");
    }

    // Runs the program and returns its counters; the run must succeed.
    IoCounts counted(const std::vector<std::string> &args)
    {
        std::string trace = dir / "io.trace";
        std::remove(trace.c_str());
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.env = {std::string("LD_PRELOAD=") + TMB_FAULTS_SO, "TMB_TRACE_IO=" + trace,
                 "ASAN_OPTIONS=verify_asan_link_order=0"};
        RunResult r = testkit::run_tambrix(args, o);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, long> v;
        char key[32];
        long n;
        FILE *fp = fopen(trace.c_str(), "r");
        while (fp && fscanf(fp, "%31[^:]: %ld\n", key, &n) == 2)
            v[key] = n;
        if (fp)
            fclose(fp);
        IoCounts c;
        if (v.count("syscr") && v.count("syscw"))
            c = IoCounts{v["rchar"], v["wchar"], v["syscr"], v["syscw"]};
        return c;
    }

    TempDir dir;
};

TEST_F(IoCalls, CommandsMoveFileDataIn64KBCalls)
{
    IoCounts bare = counted({"a", "-q", "tiny.tmb", "small.txt"});
    ASSERT_GE(bare.syscr, 0) << "no counters came back from the preloaded library";

    // Each step works on what the steps before it left; `touch` makes
    // small.txt newer first, so that u and f rebuild the archive. t and x
    // run on one thread (through the archive's stream) and on every core
    // (workers reading the archive at offsets).
    struct Case {
        std::vector<std::string> args;
        bool touch;
    };
    const Case cases[] = {
        {{"a", "-q", "arc.tmb", "big.txt", "noise.bin", "small.txt"}, false},
        {{"u", "-q", "arc.tmb", "big.txt", "noise.bin", "small.txt"}, true},
        {{"f", "-q", "arc.tmb", "small.txt"}, true},
        {{"t", "-q", "-T1", "arc.tmb"}, false},
        {{"t", "-q", "arc.tmb"}, false},
        {{"x", "-q", "-o", "-T1", "arc.tmb", "out/"}, false},
        {{"x", "-q", "-o", "arc.tmb", "out/"}, false},
        {{"d", "-q", "arc.tmb", "small.txt"}, false},
        {{"a", "-q", "-lh0", "stored.tmb", "big.txt"}, false},
        {{"s", "stored.tmb", "1024"}, false},
        {{"j", "stored.tmb.001", "joined.tmb"}, false},
    };
    time_t stamp = time(nullptr) + 100;  // later than any file made here
    for (const Case &c : cases) {
        std::string cmd;
        for (const std::string &a : c.args)
            cmd += a + " ";
        SCOPED_TRACE(cmd);
        if (c.touch) {
            stamp++;
            testkit::write_text(dir / "small.txt", "version " + std::to_string(stamp) + "\n");
            struct timespec ts[2] = {{stamp, 0}, {stamp, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (dir / "small.txt").c_str(), ts, 0), 0);
        }
        IoCounts io = counted(c.args);
        ASSERT_GE(io.syscr, 0);
        // A command that failed early would pass the bounds below on
        // nothing: each one moves at least a megabyte.
        EXPECT_GE(io.rchar + io.wchar, 1L << 20);
        EXPECT_LE(io.syscr, bare.syscr + io.rchar / kBulkCall + kSmallCalls)
            << io.rchar << " bytes read";
        EXPECT_LE(io.syscw, bare.syscw + io.wchar / kBulkCall + kSmallCalls)
            << io.wchar << " bytes written";
    }
    EXPECT_EQ(testkit::read_file(dir / "out/big.txt"), testkit::read_file(dir / "big.txt"));
    EXPECT_EQ(testkit::read_file(dir / "out/noise.bin"), testkit::read_file(dir / "noise.bin"));
    EXPECT_EQ(testkit::read_file(dir / "joined.tmb"), testkit::read_file(dir / "stored.tmb"));
}

} // namespace
