// Separate library handles on separate threads at once share nothing: each
// thread writes its own archive (one of them on worker threads of its own)
// and reads another thread's, and every result is what one thread alone
// makes. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tambrix.h"
#include "testkit.h"

using testkit::Bytes;

namespace {

Bytes text_for(int seed, size_t n)
{
    std::string s;
    for (int i = 0; s.size() < n; i++)
        s += "thread " + std::to_string(seed) + " line " + std::to_string(i % 61) + " and some words\n";
    return Bytes(s.begin(), s.begin() + (long)n);
}

// "prefix" and a number, made without string concatenation (which GCC 12
// warns about wrongly once inlined here).
std::string numbered(const char *prefix, int i)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%s%d", prefix, i);
    return buf;
}

// An archive of three entries from `data`, written into memory through a
// file; "" on any failure.
Bytes pack(const std::string &path, const Bytes &data, int threads)
{
    tambrix_writer *w;
    if (tambrix_writer_open_path(&w, path.c_str()) != TAMBRIX_OK)
        return {};
    int rc = tambrix_writer_set_threads(w, threads);
    const char *methods[] = {"-lh5-", "-lh6-", "-lh7-"};
    for (int i = 0; i < 3 && rc == TAMBRIX_OK; i++) {
        std::string name = numbered("e", i);
        rc = tambrix_add_memory(w, name.c_str(), data.data(), data.size(), 1700000000, methods[i], 0);
    }
    if (rc == TAMBRIX_OK)
        rc = tambrix_writer_finish(w);
    tambrix_writer_free(w);
    return rc == TAMBRIX_OK ? testkit::read_file(path) : Bytes{};
}

// The entries' data, concatenated; empty unless every entry verified.
Bytes unpack(const Bytes &arc)
{
    tambrix_reader *r;
    if (tambrix_reader_open_memory(&r, arc.data(), arc.size()) != TAMBRIX_OK)
        return {};
    Bytes all;
    tambrix_entry_info info;
    int rc;
    while ((rc = tambrix_reader_next(r, &info)) == TAMBRIX_OK) {
        uint8_t buf[4096];
        size_t got;
        while ((rc = tambrix_read(r, buf, sizeof buf, &got)) == TAMBRIX_OK && got > 0)
            all.insert(all.end(), buf, buf + got);
        if (rc != TAMBRIX_OK)
            break;
    }
    tambrix_reader_free(r);
    return rc == TAMBRIX_END ? all : Bytes{};
}

TEST(ApiThreads, SeparateHandlesOnSeparateThreads)
{
    testkit::TempDir d;
    constexpr int kThreads = 4;
    std::vector<Bytes> data(kThreads), alone(kThreads), packed(kThreads), unpacked(kThreads);
    for (int i = 0; i < kThreads; i++) {
        data[i] = text_for(i, 150000 + 1000 * (size_t)i);
        alone[i] = pack(d / numbered("alone", i), data[i], 1);
        ASSERT_FALSE(alone[i].empty());
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([&, i] {
            // Thread 0 packs on workers of its own as well.
            packed[i] = pack(d / numbered("t", i), data[i], i == 0 ? 3 : 1);
            unpacked[i] = unpack(alone[(i + 1) % kThreads]);
        });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < kThreads; i++) {
        EXPECT_EQ(packed[i], alone[i]) << i;
        Bytes want;
        for (int k = 0; k < 3; k++)
            want.insert(want.end(), data[(i + 1) % kThreads].begin(), data[(i + 1) % kThreads].end());
        EXPECT_EQ(unpacked[i], want) << i;
    }
}

} // namespace
