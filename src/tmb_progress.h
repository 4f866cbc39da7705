// The one-line progress bar and the "Time:" line.
#pragma once
#include <cstdint>
#include <ctime>

extern int g_prog_on;
extern uint64_t g_prog_total;
extern uint64_t g_prog_done;
extern int g_prog_last;
extern int g_prog_calls;
extern int64_t g_prog_t0;
extern int64_t g_prog_tlast;

int tmb_prog_begin(uint64_t total);
void tmb_prog_add(uint64_t count);
void prog_draw(int final);
void print_elapsed(clock_t start);

// Closes the bar after a file: final draw when it is on, then off.
void tmb_prog_end();

// The processor-time clock the bar reads; tests replace it with a fake.
using tmb_clock_fn = clock_t (*)();
void tmb_prog_set_clock(tmb_clock_fn fn);

// The codecs' progress sink that feeds this bar (tmb_prog_add).
#include "tmb_codec.h"
lzh::Progress tmb_prog_sink();

// Progress of work done on another thread. The worker counts through
// sink(); the thread that draws the bar calls show() whenever it looks, and
// the bar follows the worker's byte count. However late or seldom it
// looks, the bar passes every 5 % step the worker passed, each drawn at the
// count where one thread would have drawn it: the worker notes those
// counts, and show() replays them in order. So the lines printed are those
// of a run on one thread; only when they appear depends on the threads.
#include <atomic>
class WorkerProgress {
public:
    // `total` is the size the bar is armed with. Called by the thread that
    // draws, before the worker runs.
    lzh::Progress sink(uint64_t total);
    void show();

private:
    void add(uint64_t count);
    void show_up_to(uint64_t done);

    static constexpr int kSteps = 20; // the bar's 5 % steps
    uint64_t total_ = 0;
    // Shared: the count so far, and the counts at which it entered a new
    // step (each written once, before `nmarks_` counts it).
    std::atomic<uint64_t> done_{0};
    uint64_t marks_[kSteps] = {};
    std::atomic<int> nmarks_{0};
    // The worker's own: the step it is in.
    int step_ = 0;
    // The drawing thread's own: what it showed so far.
    uint64_t shown_ = 0;
    int replayed_ = 0;
};
