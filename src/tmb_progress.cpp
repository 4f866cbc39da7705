// Progress bar for one file at a time, and the "Time:" line.
//
// Times are processor time in centiseconds (clock() / 10000). The bar is
// redrawn at every 5 % step, and between steps at most once a second; the
// clock is read only on every 8th report that stays inside a step, so the
// codecs can report every buffer without paying for it.
#include "tmb_progress.h"

#include <cstdio>

#include "tambrix.h"

int g_prog_on = 0;
uint64_t g_prog_total = 0;
uint64_t g_prog_done = 0;
int g_prog_last = -1;
int g_prog_calls = 0;
int64_t g_prog_t0 = 0;
int64_t g_prog_tlast = 0;

namespace {

tmb_clock_fn s_clock = clock;

const int64_t ONE_DAY_CS = 8640000;

int64_t now_cs() { return (int64_t)s_clock() / 10000; }

// Centiseconds since arming; a wrapped clock is taken as less than a day.
int64_t elapsed_cs()
{
    int64_t e = now_cs() - g_prog_t0;
    if (e < 0)
        e += ONE_DAY_CS;
    return e;
}

} // namespace

void tmb_prog_set_clock(tmb_clock_fn fn) { s_clock = fn ? fn : clock; }

int tmb_prog_begin(uint64_t total)
{
    g_prog_on = 0;
    if (g_opts.quiet || g_opts.no_progress || total <= 32767)
        return 0;
    g_prog_total = total;
    g_prog_on = 1;
    g_prog_done = 0;
    g_prog_last = -1;
    g_prog_calls = 0;
    g_prog_tlast = 0;
    g_prog_t0 = now_cs();
    fputc('\n', stdout);
    prog_draw(0);
    return 1;
}

void tmb_prog_add(uint64_t count)
{
    if (!g_prog_on)
        return;
    g_prog_done += count;
    int step = g_prog_total == 0 ? 0 : (int)(g_prog_done * 100 / g_prog_total) / 5;
    if (step != g_prog_last / 5) {
        prog_draw(0);
        return;
    }
    if (++g_prog_calls % 8 != 0)
        return;
    if (elapsed_cs() - g_prog_tlast > 99)
        prog_draw(0);
}

void prog_draw(int final)
{
    int64_t elapsed = elapsed_cs();
    int pct = 100;
    if (g_prog_total != 0) {
        uint64_t p = g_prog_done * 100 / g_prog_total;
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
        rate = (unsigned long)((g_prog_done / 1024) * 100 / (uint64_t)elapsed);

    char bar[21];
    for (int i = 0; i < 20; i++) {
        if (i < cells)
            bar[i] = '=';
        else if (!final && i == cells)
            bar[i] = '>';
        else
            bar[i] = ' ';
    }
    bar[20] = '\0';
    printf("\r  [%s] %3d%%", bar, pct);
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
    g_prog_last = pct;
    g_prog_tlast = elapsed;
}

void tmb_prog_end()
{
    if (g_prog_on) {
        prog_draw(1);
        g_prog_on = 0;
    }
}

void print_elapsed(clock_t start)
{
    int64_t d = (int64_t)s_clock() - (int64_t)start;
    int64_t cs = d * 100 / 1000000;
    long seconds = (long)(cs / 100);
    long hundredths = (long)(cs % 100);
    if (d * 100 <= 5999999999LL)
        printf("Time: %ld.%02lds\n", seconds, hundredths);
    else
        printf("Time: %ldm %ld.%02lds\n", seconds / 60, seconds % 60, hundredths);
}

lzh::Progress tmb_prog_sink()
{
    lzh::Progress p;
    p.fn = [](void *, uint64_t n) { tmb_prog_add(n); };
    return p;
}

namespace {

// The 5 % step of `done` bytes of `total`, as tmb_prog_add computes it,
// held at the last step: counts past the total start no further step.
int step_of(uint64_t done, uint64_t total)
{
    int step = total == 0 ? 0 : (int)(done * 100 / total) / 5;
    return step > 20 ? 20 : step;
}

} // namespace

lzh::Progress WorkerProgress::sink(uint64_t total)
{
    total_ = total;
    lzh::Progress p;
    p.fn = [](void *user, uint64_t n) { static_cast<WorkerProgress *>(user)->add(n); };
    p.user = this;
    return p;
}

// On the worker: only this thread writes the count and the marks.
void WorkerProgress::add(uint64_t count)
{
    uint64_t done = done_.load(std::memory_order_relaxed) + count;
    done_.store(done, std::memory_order_relaxed);
    int step = step_of(done, total_);
    if (step == step_)
        return;
    step_ = step;
    int n = nmarks_.load(std::memory_order_relaxed);
    if (n < kSteps) {
        marks_[n] = done;
        nmarks_.store(n + 1, std::memory_order_release);
    }
}

void WorkerProgress::show_up_to(uint64_t done)
{
    tmb_prog_add(done - shown_);
    shown_ = done;
}

void WorkerProgress::show()
{
    // The count is read before the marks: when it is in the step of the
    // last mark replayed, no step lies between them.
    uint64_t now = done_.load(std::memory_order_relaxed);
    int n = nmarks_.load(std::memory_order_acquire);
    for (; replayed_ < n; replayed_++)
        show_up_to(marks_[replayed_]);
    // Within a step the bar redraws only on its timer; a count already in
    // a later step waits for its mark.
    if (now > shown_ && step_of(now, total_) == step_of(shown_, total_))
        show_up_to(now);
}
