// Progress bar for one file at a time, and the "Time:" line.
//
// Times are processor time in centiseconds (clock() / 10000). The bar is
// redrawn at every 5 % step, and between steps at most once a second; the
// clock is read only on every 8th report that stays inside a step, so the
// codecs can report every buffer without paying for it.
#include "tmb_progress.h"

#include <cstdio>

#include "options.h"

namespace {

const int64_t ONE_DAY_CS = 8640000;

int64_t now_cs(const ProgressBar &bar) { return (int64_t)bar.clock() / 10000; }

// Centiseconds since arming; a wrapped clock is taken as less than a day.
int64_t elapsed_cs(const ProgressBar &bar)
{
    int64_t e = now_cs(bar) - bar.prog_t0;
    if (e < 0)
        e += ONE_DAY_CS;
    return e;
}

} // namespace

ProgressBar progress_bar(const Options &o)
{
    ProgressBar bar;
    bar.enabled = !o.quiet && !o.no_progress;
    return bar;
}

int tmb_prog_begin(ProgressBar &bar, uint64_t total)
{
    bar.prog_on = 0;
    if (!bar.enabled || total <= 32767)
        return 0;
    bar.prog_total = total;
    bar.prog_on = 1;
    bar.prog_done = 0;
    bar.prog_last = -1;
    bar.prog_calls = 0;
    bar.prog_tlast = 0;
    bar.prog_t0 = now_cs(bar);
    fputc('\n', stdout);
    prog_draw(bar, 0);
    return 1;
}

void tmb_prog_add(ProgressBar &bar, uint64_t count)
{
    if (!bar.prog_on)
        return;
    bar.prog_done += count;
    int step = bar.prog_total == 0 ? 0 : (int)(bar.prog_done * 100 / bar.prog_total) / 5;
    if (step != bar.prog_last / 5) {
        prog_draw(bar, 0);
        return;
    }
    if (++bar.prog_calls % 8 != 0)
        return;
    if (elapsed_cs(bar) - bar.prog_tlast > 99)
        prog_draw(bar, 0);
}

void prog_draw(ProgressBar &bar, int final)
{
    int64_t elapsed = elapsed_cs(bar);
    int pct = 100;
    if (bar.prog_total != 0) {
        uint64_t p = bar.prog_done * 100 / bar.prog_total;
        pct = p > 100 ? 100 : (int)p;
    }
    int cells;
    if (final) {
        cells = 20;
        pct = 100;
    } else {
        cells = pct / 5;
    }
    unsigned long rate = 0;
    if (elapsed > 29)
        rate = (unsigned long)((bar.prog_done / 1024) * 100 / (uint64_t)elapsed);

    char line[21];
    for (int i = 0; i < 20; i++) {
        if (i < cells)
            line[i] = '=';
        else if (!final && i == cells)
            line[i] = '>';
        else
            line[i] = ' ';
    }
    line[20] = '\0';
    printf("\r  [%s] %3d%%", line, pct);
    if (final) {
        printf("  %ld.%02lds", (long)(elapsed / 100), (long)(elapsed % 100));
        if (rate != 0)
            printf("  avg: %lu KB/s", rate);
        fputs("   ", stdout);
    } else if (rate != 0) {
        printf("  %lu KB/s   ", rate);
    } else {
        fputs("             ", stdout);
    }
    fflush(stdout);
    bar.prog_last = pct;
    bar.prog_tlast = elapsed;
}

void tmb_prog_end(ProgressBar &bar)
{
    if (bar.prog_on) {
        prog_draw(bar, 1);
        bar.prog_on = 0;
    }
}

void print_elapsed(clock_t start, tmb_clock_fn clock)
{
    int64_t d = (int64_t)clock() - (int64_t)start;
    int64_t cs = d * 100 / 1000000;
    long seconds = (long)(cs / 100);
    long hundredths = (long)(cs % 100);
    if (d * 100 <= 5999999999LL)
        printf("Time: %ld.%02lds\n", seconds, hundredths);
    else
        printf("Time: %ldm %ld.%02lds\n", seconds / 60, seconds % 60, hundredths);
}

lzh::Progress tmb_prog_sink(ProgressBar &bar)
{
    lzh::Progress p;
    p.fn = [](void *user, uint64_t n) { tmb_prog_add(*static_cast<ProgressBar *>(user), n); };
    p.user = &bar;
    return p;
}

