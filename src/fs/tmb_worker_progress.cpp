// Progress of work done on another thread; see tmb_worker_progress.h.
#include "tmb_worker_progress.h"

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

void WorkerProgress::show_up_to(const lzh::Progress &to, uint64_t done)
{
    to.add(done - shown_);
    shown_ = done;
}

void WorkerProgress::show(const lzh::Progress &to)
{
    // The count is read before the marks: when it is in the step of the
    // last mark replayed, no step lies between them.
    uint64_t now = done_.load(std::memory_order_relaxed);
    int n = nmarks_.load(std::memory_order_acquire);
    for (; replayed_ < n; replayed_++)
        show_up_to(to, marks_[replayed_]);
    // Within a step the bar redraws only on its timer; a count already in
    // a later step waits for its mark.
    if (now > shown_ && step_of(now, total_) == step_of(shown_, total_))
        show_up_to(to, now);
}
