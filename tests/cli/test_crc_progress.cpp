// CRC-16 values and the progress bar, driven by a fake clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "options.h"
#include "tmb_header.h"
#include "tmb_progress.h"
#include "tmb_worker_progress.h"

namespace {

uint16_t crc_bitwise(const std::string &s, uint16_t c)
{
    for (unsigned char b : s) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return c;
}

TEST(Crc16, CheckValueAndChaining)
{
    EXPECT_EQ(tmb_crc16("123456789", 9, 0), 0xBB3D);
    EXPECT_EQ(tmb_crc16("56789", 5, tmb_crc16("1234", 4, 0)), 0xBB3D);
    EXPECT_EQ(tmb_crc16("", 0, 0x1234), 0x1234);
}

TEST(Crc16, MatchesBitwiseRuleAtEveryLengthAndAlignment)
{
    // Long enough for every path of each kernel: bytes, sixteen at a time,
    // and buffers folded 64 or 256 bytes at a time with each remainder.
    std::string data;
    for (int i = 0; i < 1300; i++)
        data.push_back((char)(i * 151 + 7 + (i >> 5)));
    for (CrcKernel k : {CrcKernel::Tables, CrcKernel::Fold16, CrcKernel::Fold64}) {
        if (!tmb_crc16_has(k)) {
            printf("[ note ] CRC kernel %d: not on this processor\n", (int)k);
            continue;
        }
        for (size_t off = 0; off < 8; off++)
            for (size_t len = 0; off + len <= data.size(); len += 13) {
                std::string piece = data.substr(off, len);
                ASSERT_EQ(tmb_crc16_by(k, piece.data(), len, 0xBEEF), crc_bitwise(piece, 0xBEEF))
                    << "kernel " << (int)k << " offset " << off << " length " << len;
            }
    }
    EXPECT_EQ(tmb_crc16(data.data(), data.size(), 0xBEEF), crc_bitwise(data, 0xBEEF));
}

// The bar prints to stdout; capture it through a pipe-backed temp file.
class ProgressTest : public ::testing::Test {
protected:
    static clock_t fake_now;
    static clock_t fake_clock() { return fake_now; }

    void SetUp() override
    {
        fake_now = 0;
        bar.clock = fake_clock;
        fflush(stdout);
        saved_ = dup(1);
        capture_ = tmpfile();
        dup2(fileno(capture_), 1);
    }
    void TearDown() override
    {
        restore();
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    // Everything printed since the last call.
    std::string take()
    {
        fflush(stdout);
        std::string s;
        long end = ftell(capture_);
        fseek(capture_, 0, SEEK_END);
        end = ftell(capture_);
        fseek(capture_, pos_, SEEK_SET);
        s.resize((size_t)(end - pos_));
        size_t got = fread(s.data(), 1, s.size(), capture_);
        s.resize(got);
        pos_ = end;
        return s;
    }

    ProgressBar bar;
    int saved_ = -1;
    FILE *capture_ = nullptr;
    long pos_ = 0;
};
clock_t ProgressTest::fake_now = 0;

TEST_F(ProgressTest, SmallFilesAndQuietGetNoBar)
{
    EXPECT_EQ(tmb_prog_begin(bar, 32767), 0);
    EXPECT_EQ(tmb_prog_begin(bar, 32768), 1);
    // -q and -n each turn the bar off.
    for (auto set : {&Options::quiet, &Options::no_progress}) {
        Options o{};
        o.*set = 1;
        bar = progress_bar(o);
        bar.clock = fake_clock;
        EXPECT_EQ(tmb_prog_begin(bar, 100000), 0);
    }
    take();
    tmb_prog_add(bar, 50000);
    EXPECT_EQ(take(), "");
}

TEST_F(ProgressTest, StepsAndFinalBar)
{
    ASSERT_EQ(tmb_prog_begin(bar, 100000), 1);
    EXPECT_EQ(take(), "\n\r  [>                   ]   0%             ");

    tmb_prog_add(bar, 50000);
    EXPECT_EQ(take(), "\r  [==========>         ]  50%             ");

    // 54 % to 56 % crosses a 5 % step: drawn at once.
    tmb_prog_add(bar, 4000);
    take();
    tmb_prog_add(bar, 2000);
    EXPECT_EQ(take(), "\r  [===========>        ]  56%             ");

    // Reports within a step redraw only on every 8th call, once a second.
    for (int i = 0; i < 8; i++)
        tmb_prog_add(bar, 1);
    EXPECT_EQ(take(), "");
    fake_now = 1500000;  // 1.5 s of processor time
    for (int i = 0; i < 8; i++)
        tmb_prog_add(bar, 1);
    EXPECT_NE(take(), "");

    tmb_prog_add(bar, 1000000);  // more than the total still shows 100 %
    take();
    fake_now = 2050000;
    prog_draw(bar, 1);
    // 1056016 bytes = 1031 KB in 2.05 s: 1031 * 100 / 205 = 502 KB/s.
    EXPECT_EQ(take(), "\r  [====================] 100%  2.05s  avg: 502 KB/s   ");
}

// Work counted on a worker draws the bar exactly as the same reports made
// on one thread, however seldom or late the drawing thread looks: every
// 5 % step appears, at the same percentage. (The fake clock stands still,
// so no timed redraw happens in either run.)
TEST_F(ProgressTest, WorkerProgressDrawsTheStepsOfOneThread)
{
    const uint64_t total = 100000;
    // Uneven reports, as a codec's buffers give: most stay inside a step,
    // some cross one, one jumps over two steps at once.
    std::vector<uint64_t> reports;
    for (uint64_t sum = 0, i = 0; sum < total; i++) {
        uint64_t n = i == 10 ? 12000 : 700 + (i * 397) % 1900;
        n = std::min(n, total - sum);
        reports.push_back(n);
        sum += n;
    }
    ASSERT_EQ(tmb_prog_begin(bar, total), 1);
    for (uint64_t n : reports)
        tmb_prog_add(bar, n);
    tmb_prog_end(bar);
    const std::string direct = take();
    size_t draws = 0;
    for (char c : direct)
        draws += c == '\r';
    ASSERT_GE(draws, 20u) << direct; // the one-thread bar moves in steps

    struct Case {
        const char *what;
        int every;     // show() after every n-th report; 0: only at the end
        bool threaded; // reports from a real thread while show() polls
    };
    const Case cases[] = {
        {"done before its turn", 0, false},
        {"looked at after each report", 1, false},
        {"looked at now and then", 7, false},
        {"a worker thread", 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WorkerProgress wp;
        lzh::Progress sink = wp.sink(total);
        ASSERT_EQ(tmb_prog_begin(bar, total), 1);
        if (c.threaded) {
            std::atomic<bool> finished{false};
            std::thread worker([&] {
                for (uint64_t n : reports)
                    sink.add(n);
                finished.store(true);
            });
            while (!finished.load()) {
                wp.show(tmb_prog_sink(bar));
                std::this_thread::yield();
            }
            worker.join();
        } else {
            for (size_t i = 0; i < reports.size(); i++) {
                sink.add(reports[i]);
                if (c.every && (i + 1) % (size_t)c.every == 0)
                    wp.show(tmb_prog_sink(bar));
            }
        }
        wp.show(tmb_prog_sink(bar));
        tmb_prog_end(bar);
        EXPECT_EQ(take(), direct);
    }
}

TEST_F(ProgressTest, ElapsedLine)
{
    fake_now = 75500000;
    print_elapsed(0, fake_clock);
    fake_now = 2050000;
    print_elapsed(0, fake_clock);
    EXPECT_EQ(take(), "Time: 1m 15.50s\nTime: 2.05s\n");
}

} // namespace
