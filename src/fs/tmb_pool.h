// Ordered parallel jobs for the commands. Each job has a piece of work that
// may run on any worker thread, and a finish that runs on the calling
// thread strictly in the order the jobs were submitted. So the commands
// print, rename and write the archive exactly as a run on one thread does,
// while the costly part (packing, unpacking) runs on every core.
//
// With one worker nothing is threaded: submit runs the work and the finish
// at once, and the order of events is the one-thread run's.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The number of threads -T<n> asks for: n, or every online core for 0.
int tmb_thread_count(int requested);
// The longest queue tmb_pool_queue gives, at any number of threads.
constexpr size_t kPoolMaxQueue = 256;
// A queue long enough to keep `workers` busy while the first job of the
// queue is finished; short enough that what pending jobs hold stays small.
size_t tmb_pool_queue(int workers);

class OrderedPool {
public:
    // `workers` threads (1: none, everything runs inline); at most
    // `max_pending` jobs submitted and not yet finished, so the memory they
    // hold stays bounded.
    OrderedPool(int workers, size_t max_pending);
    ~OrderedPool(); // finishes what is pending
    OrderedPool(const OrderedPool &) = delete;
    OrderedPool &operator=(const OrderedPool &) = delete;

    int workers() const { return nworkers_; }
    bool threaded() const { return nworkers_ > 1; }

    // Queues a job. `work(worker)` gets the index (0 to workers - 1) of the
    // thread running it, for per-worker state. Blocks while the queue is
    // full, finishing jobs as they complete.
    void submit(std::function<void(int)> work, std::function<void()> finish);

    // The same with two more calls on the calling thread: `head` once the
    // job is the oldest one and is being waited for (before its finish),
    // and `tick` every few hundredths of a second while it is still
    // running, to show its progress.
    void submit(std::function<void(int)> work, std::function<void()> finish,
                std::function<void()> head, std::function<void()> tick);

    // Finishes every pending job (in order); afterwards the queue is empty.
    // Commands call it before they ask the user anything.
    void drain();

private:
    struct Job {
        std::function<void(int)> work;
        std::function<void()> finish;
        std::function<void()> head;
        std::function<void()> tick;
        bool started = false;
        bool done = false;
    };

    void run_worker(int index);
    void finish_head(std::unique_lock<std::mutex> &lock);

    int nworkers_;
    size_t max_pending_;
    std::mutex mu_;
    std::condition_variable work_cv_; // a job to take, or stop
    std::condition_variable done_cv_; // a job done
    std::deque<std::shared_ptr<Job>> jobs_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};
