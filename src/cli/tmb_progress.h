// The one-line progress bar and the "Time:" line.
#pragma once
#include <cstdint>
#include <ctime>

#include "tmb_codec.h"

struct Options;

// The processor-time clock the bar reads; tests replace it with a fake.
using tmb_clock_fn = clock_t (*)();

// The bar of one command: armed for each file of 32 KB or more, drawn on
// standard output. `prog_*` is the state of the file being shown.
struct ProgressBar {
    int enabled = 1;              // 0 with -q or -n: never drawn
    tmb_clock_fn clock = ::clock;
    int prog_on = 0;
    uint64_t prog_total = 0;
    uint64_t prog_done = 0;
    int prog_last = -1;
    int prog_calls = 0;
    int64_t prog_t0 = 0;
    int64_t prog_tlast = 0;
};

// A bar as the options ask for it.
ProgressBar progress_bar(const Options &o);

int tmb_prog_begin(ProgressBar &bar, uint64_t total);
void tmb_prog_add(ProgressBar &bar, uint64_t count);
void prog_draw(ProgressBar &bar, int final);
void print_elapsed(clock_t start, tmb_clock_fn clock = ::clock);

// Closes the bar after a file: final draw when it is on, then off.
void tmb_prog_end(ProgressBar &bar);

// The codecs' progress sink that feeds this bar (tmb_prog_add).
lzh::Progress tmb_prog_sink(ProgressBar &bar);
