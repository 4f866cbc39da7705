// Progress of work done on another thread, shown by the thread that owns
// the output.
#pragma once
#include <atomic>
#include <cstdint>

#include "tmb_codec.h"

// Progress of work done on another thread. The worker counts through
// sink(); the thread that draws the bar calls show(to) whenever it looks,
// and the counts go on to `to` (the bar's own sink), following the worker's
// byte count. However late or seldom it
// looks, the bar passes every 5 % step the worker passed, each drawn at the
// count where one thread would have drawn it: the worker notes those
// counts, and show() replays them in order. So the lines printed are those
// of a run on one thread; only when they appear depends on the threads.
class WorkerProgress {
public:
    // `total` is the size the bar is armed with. Called by the thread that
    // draws, before the worker runs.
    lzh::Progress sink(uint64_t total);
    void show(const lzh::Progress &to);

private:
    void add(uint64_t count);
    void show_up_to(const lzh::Progress &to, uint64_t done);

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
