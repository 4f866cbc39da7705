// The entries of x, e and t, run in archive order on an OrderedPool. One
// rule for every number of threads: small entries are gathered into
// batches (a hand-over between threads costs more than decoding a few
// kilobytes), an entry that shows progress or is large goes alone, and the
// finishes run on the calling thread in the order the entries were added.
// With one worker there is no hand-over to save: a batch holds one entry,
// which the pool runs inline as it is added, so each entry is done before
// the walk goes on, and the order of events is the same one.
//
// The runner also keeps the places (names in the target) of the entries
// not finished yet, so that an entry can wait for the one before it that
// takes the same name or one of its directories.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tmb_pool.h"

// A batch goes to a worker once it holds this many entries or packed bytes;
// an entry at least that large goes alone.
constexpr size_t kRunnerBatchEntries = 32;
constexpr uint64_t kRunnerBatchBytes = 256 * 1024;

class EntryRunner {
public:
    explicit EntryRunner(OrderedPool &pool)
        : pool_(pool), batch_max_(pool.workers() > 1 ? kRunnerBatchEntries : 1) {}
    ~EntryRunner() { settle(); }
    EntryRunner(const EntryRunner &) = delete;
    EntryRunner &operator=(const EntryRunner &) = delete;

    int workers() const { return pool_.workers(); }

    // An entry of `packed` bytes: `work(worker)` on any thread, `finish`
    // on this one, in order. It waits in the batch unless it is large.
    void add(uint64_t packed, std::function<void(int)> work, std::function<void()> finish);

    // An entry that goes alone, with the pool's `head` and `tick` (see
    // OrderedPool::submit) to show its progress.
    void add_alone(std::function<void(int)> work, std::function<void()> finish, std::function<void()> head,
                   std::function<void()> tick);

    // Marks the place `key` (levels joined by '/') taken by an entry until
    // its finish calls release.
    void hold(const std::string &key) { held_.insert(key); }
    void release(const std::string &key) { held_.erase(key); }

    // An entry whose place has the levels `levels` waits for every entry
    // still held on its way: one on a level it needs as a directory, or one
    // of the very place it takes. Returns true when it had to wait.
    bool wait_for(const std::vector<std::string> &levels);

    // Finishes every entry added so far (the batch included). Commands call
    // it before they print or ask anything of their own.
    void settle();

private:
    struct Entry {
        std::function<void(int)> work;
        std::function<void()> finish;
    };
    void send_batch();

    OrderedPool &pool_;
    size_t batch_max_; // entries a batch holds
    std::vector<Entry> batch_;
    uint64_t batch_bytes_ = 0;
    std::set<std::string> held_;
};
