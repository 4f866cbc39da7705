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

// Progress of work done on another thread: the worker counts through
// sink(), and the thread that draws the bar shows what was added since its
// last look with show().
#include <atomic>
class WorkerProgress {
public:
    lzh::Progress sink();
    void show();

private:
    std::atomic<uint64_t> done_{0};
    uint64_t shown_ = 0;
};
