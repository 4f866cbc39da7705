// Parallel packing and unpacking: whatever the number of threads, the
// archive, the files written and every line of output are those of a run
// on one thread, damaged entries included; a signal while files are being
// packed leaves no temporary file. The ordered pool itself is checked
// first: finishes run in submission order, never more jobs pending than
// allowed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <filesystem>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <thread>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"
#include "tmb_pool.h"
#include "tmb_runner.h"

using namespace testkit;
namespace fs = std::filesystem;

namespace {

// Text of a few words repeated at random: it packs, and unlike a repeated
// pattern it keeps the encoder busy.
std::string words_text(std::mt19937 &rng, size_t n)
{
    static const char *words[] = {"lorem ", "ipsum ", "dolor ", "amiga ", "floppy ", "\n"};
    std::string s;
    while (s.size() < n)
        s += words[rng() % 6];
    s.resize(n);
    return s;
}

// A file as snapshot() shows it: "name=SIZE:HASH" (64-bit FNV-1a).
std::string file_item(const std::string &rel, const std::string &data)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : data)
        h = (h ^ c) * 0x100000001b3ull;
    char tail[48];
    snprintf(tail, sizeof tail, "=%zu:%016llx", data.size(), (unsigned long long)h);
    return rel + tail;
}

// Two jobs that wait for each other, at most a few seconds: they meet only
// when the pool runs them at the same time, whatever the scheduler does
// with the threads meanwhile (a slow or busy machine only delays them).
class Rendezvous {
public:
    explicit Rendezvous(int parties) : left_(parties) {}
    // True when every party arrived within the time.
    bool arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (--left_ == 0)
            cv_.notify_all();
        return cv_.wait_for(lock, std::chrono::seconds(20), [this] { return left_ <= 0; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int left_;
};

TEST(ParallelPool, FinishesInOrderWithBoundedQueue)
{
    for (int workers : {1, 3}) {
        SCOPED_TRACE(workers);
        const size_t max_pending = workers == 1 ? 1 : 5;
        std::vector<int> finished;
        std::atomic<int> running{0}, most{0};
        std::atomic<int> met{0};
        Rendezvous first_two(2);
        int submitted = 0;
        {
            OrderedPool pool(workers, max_pending);
            std::mt19937 rng(7);
            for (int i = 0; i < 60; i++) {
                int delay = (int)(rng() % 300);
                submitted++;
                // Jobs submitted but not finished never exceed the queue.
                EXPECT_LE(submitted - (int)finished.size(), (int)max_pending + 1);
                pool.submit(
                    [&, delay, i](int w) {
                        EXPECT_GE(w, 0);
                        EXPECT_LT(w, workers);
                        int now = ++running;
                        for (int m = most; now > m && !most.compare_exchange_weak(m, now);)
                            ;
                        // With threads, the first two jobs are both queued
                        // before the first must finish: they must meet.
                        if (workers > 1 && i < 2)
                            met += first_two.arrive_and_wait();
                        std::this_thread::sleep_for(std::chrono::microseconds(delay));
                        --running;
                    },
                    [&finished, i] { finished.push_back(i); });
                if (i == 30) {
                    pool.drain(); // afterwards nothing is pending
                    EXPECT_EQ(finished.size(), 31u);
                }
            }
        }
        ASSERT_EQ(finished.size(), 60u);
        for (int i = 0; i < 60; i++)
            EXPECT_EQ(finished[(size_t)i], i);
        EXPECT_LE(most.load(), workers);
        if (workers > 1) {
            EXPECT_EQ(met.load(), 2) << "the work never ran side by side";
            EXPECT_GE(most.load(), 2);
        }
    }
}

// The entries' runner: finishes in the order of adding, whatever goes in a
// batch and whatever goes alone; with one worker each entry is done before
// add returns; an entry waits exactly when an unfinished one holds its
// place or a level on its way.
TEST(ParallelRunner, FinishesInOrderAndWaitsForHeldPlaces)
{
    struct WaitCase {
        std::vector<std::string> held, levels;
        bool waits;
    };
    const WaitCase cases[] = {
        {{"a/b"}, {"a", "b"}, true},       // the very place
        {{"a"}, {"a", "b"}, true},         // a file where a directory is wanted
        {{"a/b"}, {"a"}, false},           // below the place: not on its way
        {{"a/b"}, {"a", "c"}, false},
        {{"ab"}, {"a", "b"}, false},       // a prefix of a name is no level
        {{}, {"a"}, false},
    };
    for (int workers : {1, 3}) {
        SCOPED_TRACE(workers);
        OrderedPool pool(workers, tmb_pool_queue(workers));
        EntryRunner runner(pool);
        std::vector<int> finished;
        const uint64_t sizes[] = {10, kRunnerBatchBytes, 100, 5, kRunnerBatchBytes / 2, 1};
        for (int i = 0; i < 70; i++) {
            auto finish = [&finished, i] { finished.push_back(i); };
            if (i % 9 == 4)
                runner.add_alone([](int) {}, finish, nullptr, nullptr);
            else
                runner.add(sizes[i % 6], [](int) {}, finish);
            if (workers == 1) {
                EXPECT_EQ(finished.size(), (size_t)i + 1) << "one worker runs each entry as it comes";
            }
        }
        runner.settle();
        ASSERT_EQ(finished.size(), 70u);
        for (int i = 0; i < 70; i++)
            EXPECT_EQ(finished[(size_t)i], i);

        for (const WaitCase &c : cases) {
            finished.clear();
            for (const std::string &k : c.held)
                runner.hold(k);
            runner.add(1, [](int) {}, [&finished] { finished.push_back(0); });
            EXPECT_EQ(runner.wait_for(c.levels), c.waits) << c.levels.size();
            if (c.waits) {
                EXPECT_EQ(finished.size(), 1u) << "waiting finishes what came before";
            }
            for (const std::string &k : c.held)
                runner.release(k);
            runner.settle();
        }
    }
}

class Parallel : public ::testing::Test {
protected:
    TempDir dir;

    RunResult run(const std::vector<std::string> &args, std::vector<std::string> env = {})
    {
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.wall_limit_seconds = 120;
        o.env = std::move(env);
        return run_tambrix(args, o);
    }

    // The "Time:" line differs from run to run, and so do the bar's times
    // and speeds (its steps are checked on their own, with bar_steps).
    static std::string without_time(const std::string &text)
    {
        static const std::regex bar(R"(\n\r[^\n]*?(?= OK))");
        std::string s = std::regex_replace(text, bar, "");
        std::string out;
        size_t at = 0;
        while (at < s.size()) {
            size_t end = s.find('\n', at);
            std::string line = s.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
            if (line.rfind("Time:", 0) != 0)
                out += line;
            at = end == std::string::npos ? s.size() : end + 1;
        }
        return out;
    }

    // Every file below `root`, sorted: its relative name with its size and
    // a hash of its contents (file_item), never the contents themselves:
    // a failed comparison then prints lines, not megabytes.
    std::string snapshot(const std::string &root)
    {
        std::vector<std::string> items;
        for (const auto &e : fs::recursive_directory_iterator(root)) {
            std::string rel = fs::relative(e.path(), root).string();
            if (e.is_directory())
                items.push_back(rel + "/");
            else
                items.push_back(file_item(rel, read_text(e.path().string())));
        }
        std::sort(items.begin(), items.end());
        std::string s;
        for (auto &i : items)
            s += i + "\n";
        return s;
    }

    void set_time(const std::string &p)
    {
        struct timeval tv[2] = {{1700000000, 0}, {1700000000, 0}};
        utimes(p.c_str(), tv);
    }

    // A tree of files of many sizes: empty, tiny, incompressible (stored),
    // compressible, larger than a pool's worth of buffering, nested
    // directories and an empty one.
    void make_tree()
    {
        std::mt19937 rng(42);
        auto text = [&](size_t n) { return words_text(rng, n); };
        auto noise = [&](size_t n) {
            std::string s(n, '\0');
            for (auto &c : s)
                c = (char)rng();
            return s;
        };
        fs::create_directories(dir / "t/a/b/c");
        fs::create_directories(dir / "t/empty");
        std::vector<std::pair<std::string, std::string>> files = {
            {"t/zero", ""},         {"t/one", "x"},          {"t/a/noise.bin", noise(5000)},
            {"t/a/text.txt", text(70000)}, {"t/a/b/big.txt", text(1500000)}, {"t/a/b/c/mid.bin", noise(300000)},
        };
        for (int i = 0; i < 40; i++)
            files.push_back({"t/a/b/f" + std::to_string(i) + ".txt", text((size_t)(rng() % 9000))});
        for (auto &[name, data] : files) {
            write_text(dir / name, data);
            set_time(dir / name);
        }
    }
};

TEST_F(Parallel, AddGivesTheSameArchiveAndOutputOnAnyNumberOfThreads)
{
    make_tree();
    struct Case {
        std::vector<std::string> opts;
    };
    const Case cases[] = {{{"-lh5"}}, {{"-lh7"}}, {{"-lh6", "-q"}}, {{"-lh0"}}};
    for (const Case &c : cases) {
        std::string first_out, first_err;
        Bytes first;
        for (const char *t : {"-T1", "-T2", "-T8"}) {
            SCOPED_TRACE(std::string(t) + " " + c.opts[0]);
            std::vector<std::string> args = {"a", "-r", t};
            args.insert(args.end(), c.opts.begin(), c.opts.end());
            std::string arc = std::string("arc") + t + ".lzh";
            args.push_back(arc);
            args.push_back("t");
            RunResult r = run(args);
            ASSERT_EQ(r.status, 0) << r.err;
            Bytes got = read_file(dir / arc);
            if (first.empty()) {
                first = got;
                first_out = without_time(r.out);
                first_err = r.err;
                if (c.opts.back() != "-q") {
                    EXPECT_NE(first_out.find("adding"), std::string::npos) << first_out;
                }
                continue;
            }
            EXPECT_TRUE(got == first) << "archive differs from -T1";
            EXPECT_EQ(without_time(r.out), first_out);
            EXPECT_EQ(r.err, first_err);
        }
    }
}

TEST_F(Parallel, ExtractAndTestGiveTheSameResultsOnAnyNumberOfThreads)
{
    make_tree();
    ASSERT_EQ(run({"a", "-r", "-q", "-T1", "good.lzh", "t"}).status, 0);
    // Damage: one entry's CRC is wrong, one has an unknown method, one is
    // cut off, among sound entries.
    Bytes arc = read_file(dir / "good.lzh");
    arc.resize(arc.size() - end_marker().size()); // the end mark goes; entries follow
    Bytes bad = make_archive({build_lv2(stored("bad/crc.txt", "hello")), build_lv2(stored("bad/ok.txt", "fine"))});
    // Flip a data byte of the first stored entry: its CRC no longer fits.
    size_t hello = std::string(bad.begin(), bad.end()).find("hello");
    ASSERT_NE(hello, std::string::npos);
    bad[hello] = 'j';
    bad.resize(bad.size() - end_marker().size());
    append(arc, bad);
    append(arc, build_lv2(stored("bad/lh9.txt", "zz")));
    size_t id = std::string(arc.begin(), arc.end()).rfind("-lh0-");
    arc[id + 3] = '9';
    append(arc, end_marker());
    write_file(dir / "mixed.lzh", arc);

    for (const char *cmd : {"x", "t", "e"}) {
        std::string first_out, first_err, first_tree;
        int first_status = -1;
        for (const char *t : {"-T1", "-T2", "-T8"}) {
            SCOPED_TRACE(std::string(cmd) + " " + t);
            std::string out = std::string("out_") + cmd + t;
            fs::create_directories(dir / out);
            RunResult r = run({cmd, "-o", t, "mixed.lzh", out + "/"});
            std::string tree = snapshot(dir / out);
            if (first_status < 0) {
                first_status = r.status;
                first_out = without_time(r.out);
                first_err = r.err;
                first_tree = tree;
                EXPECT_EQ(r.status, 1);
                EXPECT_NE(r.err.find("bad/crc.txt"), std::string::npos) << r.err;
                if (std::string(cmd) == "x") {
                    EXPECT_NE(tree.find("a/b/big.txt="), std::string::npos);
                }
                continue;
            }
            EXPECT_EQ(r.status, first_status);
            EXPECT_EQ(without_time(r.out), first_out);
            EXPECT_EQ(r.err, first_err);
            EXPECT_EQ(tree, first_tree);
        }
    }
}

// What a run of x leaves: status, output (less the time), errors, the
// target and the temporary directory.
struct Extracted {
    int status = -1;
    std::string out, err, tree, tmp_left;
};

// Entries that meet at one place of the target, whatever their spelling:
// a later one is asked about, or fails, exactly as when the earlier one is
// in place already, as it is on one thread; a file and a directory of one
// name end as on one thread too.
TEST_F(Parallel, EntriesMeetingAtOneTargetActAsOnOneThread)
{
    auto file = [](const std::string &name, const std::string &data) { return build_lv0(stored(name, data)); };
    auto directory = [](const std::string &name) {
        LzhEntry d;
        d.dir = name;
        d.method = "-lhd-";
        return build_lv2(d);
    };
    // Larger than what goes to the workers in groups: a job of its own.
    std::string big(40000, 'b');
    for (size_t i = 0; i < big.size(); i += 7)
        big[i] = (char)('a' + i % 23);
    struct Case {
        const char *what;
        std::vector<Bytes> entries;
        std::string input;
        const char *one_thread_says; // in the output or the errors of -T1
        int status;
        std::string tree;            // the target afterwards, as snapshot() shows it
    };
    const Case cases[] = {
        {"one name twice", {file("f", "one"), file("f", "two")}, "", "overwrite out/f? ", 0,
         file_item("f", "one") + "\n"},
        {"one name twice, large", {file("f", big), file("f", "two")}, "y\n", "overwrite out/f? ", 0,
         file_item("f", "two") + "\n"},
        {"doubled slash", {file("d/f", "one"), file("d//f", "two")}, "y\n", "overwrite out/d//f? ", 0,
         "d/\n" + file_item("d/f", "two") + "\n"},
        {"dot level first", {file("d/f", "one"), file("./d/f", "two")}, "n\n", "overwrite out/./d/f? ", 0,
         "d/\n" + file_item("d/f", "one") + "\n"},
        {"dot level inside", {file("d/f", big), file("d/./f", "two")}, "A\n", "overwrite out/d/./f? ", 0,
         "d/\n" + file_item("d/f", "two") + "\n"},
        {"file, then a file below its name", {file("d", "one"), file("./d/x", "two")}, "",
         "cannot create directory out/d: Not a directory", 1, file_item("d", "one") + "\n"},
        {"file, then a directory of its name", {file("d", big), directory("d/")}, "",
         "cannot create directory out/d: Not a directory", 1, file_item("d", big) + "\n"},
        {"directory, then a file of its name", {directory("d/"), file("./d", "two")}, "",
         "not writing out/./d: a directory is in the way", 1, "d/\n"},
    };
    for (const Case &c : cases) {
        write_file(dir / "arc.lzh", make_archive(c.entries));
        Extracted first;
        for (const char *t : {"-T1", "-T2", "-T4"}) {
            SCOPED_TRACE(std::string(c.what) + " " + t);
            fs::remove_all(dir / "out");
            fs::remove_all(dir / "tmp");
            fs::create_directories(dir / "out");
            fs::create_directories(dir / "tmp");
            RunOptions o;
            o.cwd = dir.path();
            o.input = c.input;
            o.close_stdin = c.input.empty();
            o.wall_limit_seconds = 60;
            o.env = {"TMPDIR=" + (dir / "tmp")};
            RunResult r = run_tambrix({"x", t, "arc.lzh", "out/"}, o);
            Extracted got{r.status, without_time(r.out), r.err, snapshot(dir / "out"), snapshot(dir / "tmp")};
            EXPECT_EQ(got.tmp_left, "");
            if (first.status < 0) {
                first = got;
                EXPECT_EQ(r.status, c.status) << r.err;
                EXPECT_NE((r.out + r.err).find(c.one_thread_says), std::string::npos) << r.out << r.err;
                EXPECT_EQ(got.tree, c.tree);
                continue;
            }
            EXPECT_EQ(got.status, first.status);
            EXPECT_EQ(got.out, first.out);
            EXPECT_EQ(got.err, first.err);
            EXPECT_EQ(got.tree, first.tree);
        }
    }
}

// Few descriptors: pending entries must not hold one each, or an entry
// that one thread extracts fails on several. Half the entries share a
// directory, the other half have one each.
TEST_F(Parallel, FewDescriptorsFailNoEntryOnAnyNumberOfThreads)
{
    std::vector<Bytes> entries;
    for (int i = 0; i < 300; i++) {
        char name[32];
        snprintf(name, sizeof name, i % 2 ? "one/f%03d" : "d%03d/f", i);
        entries.push_back(build_lv0(stored(name, std::to_string(i * 7919))));
    }
    write_file(dir / "many.lzh", make_archive(entries));
    std::string first_out, first_tree;
    for (const char *t : {"-T1", "-T2", "-T16", "-T64"}) {
        SCOPED_TRACE(t);
        std::string out = std::string("out") + t;
        RunOptions o;
        o.cwd = dir.path();
        o.close_stdin = true;
        o.wall_limit_seconds = 120;
        o.open_files_limit = 64;
        RunResult r = run_tambrix({"x", t, "many.lzh", out + "/"}, o);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("Done. Extracted: 300  Skipped: 0  Errors: 0\n"), std::string::npos) << r.out;
        std::string tree = snapshot(dir / out);
        if (first_out.empty()) {
            first_out = without_time(r.out);
            first_tree = tree;
            // 150 directories of one file, one of 150, and nothing else.
            EXPECT_EQ(std::count(tree.begin(), tree.end(), '='), 300);
            EXPECT_EQ(std::count(tree.begin(), tree.end(), '\n'), 300 + 151);
            continue;
        }
        EXPECT_EQ(without_time(r.out), first_out);
        EXPECT_EQ(tree, first_tree);
    }
}

// The bars in `out`, one per entry: the percentages drawn where the bar
// enters a new 5 % step, in order. A timed redraw inside a step (once a
// second of processor time) is left out: when it comes depends on the
// clock.
std::vector<std::vector<int>> bar_steps(const std::string &out)
{
    static const std::regex draw(R"((\n?)\r  \[[=> ]{20}\] +([0-9]+)%)");
    std::vector<std::vector<int>> bars;
    for (std::sregex_iterator it(out.begin(), out.end(), draw), end; it != end; ++it) {
        int pct = std::stoi((*it)[2]);
        if ((*it)[1].length() != 0) // a bar starts on a line of its own
            bars.emplace_back();
        if (bars.empty())
            continue;
        std::vector<int> &b = bars.back();
        if (b.empty() || pct / 5 != b.back() / 5)
            b.push_back(pct);
    }
    return bars;
}

// The bar of a large entry moves with threads as it does on one: every
// step the one-thread run draws is drawn, also for an entry packed or
// unpacked on a worker before its turn on screen came.
TEST_F(Parallel, BarPassesTheStepsOfOneThreadOnAnyNumberOfThreads)
{
    std::mt19937 rng(5);
    auto text = [&](size_t n) { return words_text(rng, n); };
    write_text(dir / "big1.txt", text(1500000));
    write_text(dir / "big2.txt", text(700000));
    write_text(dir / "big3.txt", text(900000));
    ASSERT_EQ(run({"a", "-q", "-T1", "one.lzh", "big1.txt"}).status, 0);
    struct Case {
        const char *what;
        std::vector<std::string> args; // the thread option goes after the command
        size_t bars;
        bool every_step; // output in 1 KB pieces: each 5 % step is drawn
    };
    const Case cases[] = {
        {"a of several large files", {"a", "new.lzh", "big1.txt", "big2.txt", "big3.txt"}, 3, false},
        {"x of one large entry", {"x", "-o", "one.lzh", "out/"}, 1, false},
        {"x with 1 KB buffers", {"x", "-o", "-b1", "one.lzh", "out/"}, 1, true},
    };
    for (const Case &c : cases) {
        std::vector<std::vector<int>> first;
        for (const char *t : {"-T1", "-T2", "-T4"}) {
            SCOPED_TRACE(std::string(c.what) + " " + t);
            std::vector<std::string> args = c.args;
            args.insert(args.begin() + 1, t);
            RunResult r = run(args);
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<std::vector<int>> bars = bar_steps(r.out);
            ASSERT_EQ(bars.size(), c.bars) << r.out;
            for (const std::vector<int> &b : bars) {
                // From 0 % to 100 % through steps in between, never back.
                ASSERT_GE(b.size(), 3u) << r.out;
                EXPECT_EQ(b.front(), 0);
                EXPECT_EQ(b.back(), 100);
                EXPECT_TRUE(std::is_sorted(b.begin(), b.end()));
                if (c.every_step) {
                    EXPECT_EQ(b.size(), 21u) << r.out;
                }
            }
            if (first.empty())
                first = bars;
            else
                EXPECT_EQ(bars, first);
        }
    }
}

// A signal while files are being packed on several threads: the old
// archive stays as it was and no temporary file is left, beside the
// archive or in the temporary directory.
TEST_F(Parallel, SignalWhilePackingLeavesNoTemporary)
{
    make_tree();
    write_text(dir / "old.lzh", "");
    ASSERT_EQ(run({"a", "-q", "old.lzh", "t/one"}).status, 0);
    Bytes before = read_file(dir / "old.lzh");
    fs::create_directories(dir / "tmp");
    for (const char *sig : {"TMB_SIGNAL=15", "TMB_SIGNAL=2"}) {
        SCOPED_TRACE(sig);
        RunResult r = run({"a", "-r", "-q", "-T4", "old.lzh", "t"},
                          {std::string("LD_PRELOAD=") + TMB_FAULTS_SO, "ASAN_OPTIONS=verify_asan_link_order=0",
                           "TMB_SIGNAL_READ_MATCH=/f20.txt", sig,
                           "TMPDIR=" + (dir / "tmp"), "TMB_TRACE_TEMPS=" + (dir / "temps.log")});
        EXPECT_GE(r.status, 128);
        EXPECT_TRUE(read_file(dir / "old.lzh") == before);
        std::vector<std::string> left;
        std::string traced = read_text(dir / "temps.log");
        EXPECT_NE(traced, "") << "no temporary was made: the test shows nothing";
        for (size_t at = 0, end; (end = traced.find('\n', at)) != std::string::npos; at = end + 1)
            if (file_exists(traced.substr(at, end - at)))
                left.push_back(traced.substr(at, end - at));
        for (const auto &e : fs::directory_iterator(dir / "tmp"))
            left.push_back(e.path().string());
        for (const auto &e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind(".", 0) == 0)
                left.push_back(e.path().string());
        EXPECT_TRUE(left.empty()) << left[0];
    }
}

} // namespace
