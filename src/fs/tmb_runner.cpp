#include "tmb_runner.h"

#include <memory>
#include <utility>

void EntryRunner::send_batch()
{
    if (batch_.empty())
        return;
    auto b = std::make_shared<std::vector<Entry>>(std::move(batch_));
    batch_.clear();
    batch_bytes_ = 0;
    pool_.submit(
        [b](int w) {
            for (Entry &e : *b)
                e.work(w);
        },
        [b] {
            for (Entry &e : *b)
                e.finish();
        });
}

void EntryRunner::add(uint64_t packed, std::function<void(int)> work, std::function<void()> finish)
{
    if (packed >= kRunnerBatchBytes)
        send_batch(); // a large entry goes alone, after those before it
    batch_.push_back({std::move(work), std::move(finish)});
    batch_bytes_ += packed;
    if (batch_.size() >= batch_max_ || batch_bytes_ >= kRunnerBatchBytes)
        send_batch();
}

void EntryRunner::add_alone(std::function<void(int)> work, std::function<void()> finish,
                            std::function<void()> head, std::function<void()> tick)
{
    send_batch();
    pool_.submit(std::move(work), std::move(finish), std::move(head), std::move(tick));
}

bool EntryRunner::wait_for(const std::vector<std::string> &levels)
{
    std::string key;
    for (size_t i = 0; i < levels.size() && !held_.empty(); i++) {
        key += (i ? "/" : "") + levels[i];
        if (held_.count(key)) {
            settle();
            return true;
        }
    }
    return false;
}

void EntryRunner::settle()
{
    send_batch();
    pool_.drain();
}
