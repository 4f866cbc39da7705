#include "tmb_pool.h"

#include <algorithm>
#include <csignal>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

int tmb_thread_count(int requested)
{
    if (requested > 0)
        return requested > 128 ? 128 : requested;
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n > 128 ? 128 : (int)n;
}

size_t tmb_pool_queue(int workers) { return workers <= 1 ? 1 : std::min<size_t>(2 * (size_t)workers, kPoolMaxQueue); }

OrderedPool::OrderedPool(int workers, size_t max_pending)
    : nworkers_(workers < 1 ? 1 : workers), max_pending_(max_pending < 1 ? 1 : max_pending)
{
    if (nworkers_ == 1)
        return;
    // Workers never take the signals the cleanup handler catches: those go
    // to the main thread, which owns the temporaries' registry and whose
    // handler removes them.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    // Threads that cannot be had (address space or process limits) only
    // make the run slower: fewer workers, or none at all.
    int wanted = nworkers_;
    for (int i = 0; i < wanted; i++) {
        try {
            threads_.emplace_back([this, i] { run_worker(i); });
        } catch (const std::system_error &) {
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (threads_.size() < 2) {
        {
            std::lock_guard<std::mutex> hold(mu_);
            stop_ = true;
        }
        work_cv_.notify_all();
        for (std::thread &t : threads_)
            t.join();
        threads_.clear();
        stop_ = false;
        nworkers_ = 1;
        return;
    }
    nworkers_ = (int)threads_.size();
}

OrderedPool::~OrderedPool()
{
    drain();
    {
        std::lock_guard<std::mutex> hold(mu_);
        stop_ = true;
    }
    work_cv_.notify_all();
    for (std::thread &t : threads_)
        t.join();
}

void OrderedPool::run_worker(int index)
{
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        std::shared_ptr<Job> job;
        for (auto &j : jobs_)
            if (!j->started) {
                job = j;
                break;
            }
        if (!job) {
            if (stop_)
                return;
            work_cv_.wait(lock);
            continue;
        }
        job->started = true;
        lock.unlock();
        job->work(index);
        lock.lock();
        job->done = true;
        done_cv_.notify_all();
    }
}

// Waits for the oldest job and runs its finish, without the lock held.
void OrderedPool::finish_head(std::unique_lock<std::mutex> &lock)
{
    std::shared_ptr<Job> job = jobs_.front();
    if (job->head) {
        lock.unlock();
        job->head();
        lock.lock();
    }
    while (!job->done) {
        if (!job->tick) {
            done_cv_.wait(lock);
            continue;
        }
        done_cv_.wait_for(lock, std::chrono::milliseconds(40));
        if (!job->done) {
            lock.unlock();
            job->tick();
            lock.lock();
        }
    }
    jobs_.pop_front();
    lock.unlock();
    job->finish();
    lock.lock();
}

void OrderedPool::submit(std::function<void(int)> work, std::function<void()> finish)
{
    submit(std::move(work), std::move(finish), nullptr, nullptr);
}

void OrderedPool::submit(std::function<void(int)> work, std::function<void()> finish,
                         std::function<void()> head, std::function<void()> tick)
{
    if (nworkers_ == 1) {
        if (head)
            head();
        work(0);
        finish();
        return;
    }
    auto job = std::make_shared<Job>();
    job->work = std::move(work);
    job->finish = std::move(finish);
    job->head = std::move(head);
    job->tick = std::move(tick);
    std::unique_lock<std::mutex> lock(mu_);
    // Finished jobs at the head go first; then room is made if need be.
    while (!jobs_.empty() && jobs_.front()->done)
        finish_head(lock);
    while (jobs_.size() >= max_pending_)
        finish_head(lock);
    jobs_.push_back(std::move(job));
    lock.unlock();
    work_cv_.notify_one();
}

void OrderedPool::drain()
{
    std::unique_lock<std::mutex> lock(mu_);
    while (!jobs_.empty())
        finish_head(lock);
}
