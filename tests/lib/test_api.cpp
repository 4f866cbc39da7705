// The library's C interface: walking and reading archives the program made
// or a test built byte by byte, writing archives that must be byte for byte
// the program's, and every error path (damage, cuts, unsupported methods,
// CRC mismatches, failed writes, cancelling).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lzh_builder.h"
#include "tambrix.h"
#include "testkit.h"

using testkit::Bytes;

namespace {

constexpr int64_t kTime = 1700000000; // 2023-11-14 22:13:20 UTC

Bytes text_bytes(size_t n)
{
    std::string s;
    for (int i = 0; s.size() < n; i++)
        s += "line " + std::to_string(i % 97) + " of a text that repeats itself\n";
    return Bytes(s.begin(), s.begin() + (long)n);
}

// Bytes that do not pack (a fixed generator, so a run repeats).
Bytes noise_bytes(size_t n, uint32_t seed = 12345)
{
    Bytes b(n);
    for (auto &c : b) {
        seed = seed * 1103515245u + 12345u;
        c = (uint8_t)(seed >> 16);
    }
    return b;
}

void set_mtime(const std::string &path, int64_t t)
{
    struct timespec ts[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
}

struct Entry {
    tambrix_entry_info info;
    std::string name;
    std::string display;
    std::string method;
    Bytes data;
    int read_rc;
};

// Reads one entry's data whole through `cap`-byte reads; the result of the
// last read (TAMBRIX_OK only for a verified entry).
int read_all(tambrix_reader *r, Bytes *out, size_t cap = 65536)
{
    std::vector<uint8_t> buf(cap);
    for (;;) {
        size_t got = 99;
        int rc = tambrix_read(r, buf.data(), cap, &got);
        if (rc != TAMBRIX_OK) {
            EXPECT_EQ(got, 0u);
            return rc;
        }
        if (got == 0)
            return TAMBRIX_OK;
        EXPECT_LE(got, cap);
        out->insert(out->end(), buf.begin(), buf.begin() + (long)got);
    }
}

// Every entry with its data, and the code that ended the walk.
std::vector<Entry> walk(tambrix_reader *r, int *end, size_t cap = 65536)
{
    std::vector<Entry> all;
    tambrix_entry_info info;
    int rc;
    while ((rc = tambrix_reader_next(r, &info)) == TAMBRIX_OK) {
        Entry e;
        e.info = info;
        e.name.assign(reinterpret_cast<const char *>(info.name), info.name_len);
        e.display = info.display;
        e.method = info.method;
        e.read_rc = read_all(r, &e.data, cap);
        all.push_back(std::move(e));
    }
    *end = rc;
    return all;
}

std::vector<Entry> walk_memory(const Bytes &arc, int *end)
{
    tambrix_reader *r = nullptr;
    EXPECT_EQ(tambrix_reader_open_memory(&r, arc.data(), arc.size()), TAMBRIX_OK);
    if (!r)
        return {};
    auto all = walk(r, end);
    EXPECT_EQ(tambrix_reader_free(r), TAMBRIX_OK);
    return all;
}

// The program's listing line of an entry (the short form of `l`).
std::string listing_line(const Entry &e)
{
    struct tm tm;
    time_t t = (time_t)e.info.mtime;
    gmtime_r(&t, &tm);
    char date[64], line[512];
    snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
             tm.tm_hour, tm.tm_min);
    uint64_t orig = e.info.original_size, packed = e.info.packed_size;
    int ratio = orig ? (int)(100 - (int64_t)(packed * 100 / orig)) : 0;
    snprintf(line, sizeof line, " %s %7lu %7lu %3d%% %s %s", e.method.c_str(), (unsigned long)orig,
             (unsigned long)packed, ratio, date, e.display.c_str());
    return line;
}

// A scratch tree with files of every kind the writer meets.
struct Inputs {
    testkit::TempDir dir;
    std::vector<std::pair<std::string, Bytes>> files{
        {"text.txt", text_bytes(70000)}, // packs; more than one 64 KB window
        {"noise.bin", noise_bytes(9000)}, // does not pack: stored
        {"empty", {}},
        {"small.txt", text_bytes(300)},
    };
    Inputs()
    {
        for (auto &[name, data] : files) {
            testkit::write_file(dir / name, data);
            set_mtime(dir / name, kTime);
        }
    }
};

// The archive `tambrix a` writes for the inputs with `opts`.
Bytes program_archive(const Inputs &in, const std::vector<std::string> &opts, const std::string &arc)
{
    std::vector<std::string> args{"a", "-q"};
    args.insert(args.end(), opts.begin(), opts.end());
    args.push_back(arc);
    for (auto &f : in.files)
        args.push_back(in.dir / f.first);
    testkit::RunResult r = testkit::run_tambrix(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return testkit::read_file(arc);
}

enum class Source { Memory, Fd, Path };

int add_from(tambrix_writer *w, Source src, const Inputs &in, const std::string &name, const Bytes &data,
             const char *method, int flags)
{
    switch (src) {
    case Source::Memory:
        return tambrix_add_memory(w, name.c_str(), data.data(), data.size(), kTime, method, flags);
    case Source::Fd: {
        int fd = open((in.dir / name).c_str(), O_RDONLY);
        int rc = tambrix_add_fd(w, name.c_str(), fd, kTime, method, flags);
        close(fd); // the writer keeps its own
        return rc;
    }
    case Source::Path:
        return tambrix_add_path(w, name.c_str(), (in.dir / name).c_str(), method, flags);
    }
    return TAMBRIX_E_ARG;
}

Bytes library_archive(const Inputs &in, Source src, const char *method, int flags, int threads,
                      const std::string &arc)
{
    tambrix_writer *w = nullptr;
    EXPECT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_set_threads(w, threads), TAMBRIX_OK);
    for (auto &[name, data] : in.files)
        EXPECT_EQ(add_from(w, src, in, name, data, method, flags), TAMBRIX_OK) << name;
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_free(w), TAMBRIX_OK);
    return testkit::read_file(arc);
}

// No file is left in `dir` but those named.
void expect_only(const std::string &dir, std::vector<std::string> names)
{
    testkit::RunResult r = testkit::run_program({"/bin/ls", "-A", dir});
    std::string want;
    std::sort(names.begin(), names.end());
    for (auto &n : names)
        want += n + "\n";
    EXPECT_EQ(r.out, want);
}

// ---------------------------------------------------------------------------
// Writing: the program's bytes

struct MethodCase {
    const char *label;
    const char *method;  // for the library
    int flags;
    std::vector<std::string> opts; // for the program
};

const MethodCase kMethods[] = {
    {"stored", "-lh0-", 0, {"-lh0"}},
    {"lh5", "-lh5-", 0, {"-lh5"}},
    {"lh6", "-lh6-", 0, {"-lh6"}},
    {"lh7", "-lh7-", 0, {"-lh7"}},
    {"lh7 optimal", "-lh7-", TAMBRIX_OPTIMAL, {"-9"}},
    {"lh5 optimal", "-lh5-", TAMBRIX_OPTIMAL, {"-9", "-lh5"}},
    {"default", nullptr, 0, {}},
};

TEST(ApiWrite, SameBytesAsTheProgramForEveryMethodAndSource)
{
    Inputs in;
    for (const MethodCase &m : kMethods) {
        SCOPED_TRACE(m.label);
        Bytes want = program_archive(in, m.opts, in.dir / "prog.tmb");
        ASSERT_FALSE(want.empty());
        for (Source src : {Source::Memory, Source::Fd, Source::Path}) {
            SCOPED_TRACE((int)src);
            EXPECT_EQ(library_archive(in, src, m.method, m.flags, 1, in.dir / "lib.tmb"), want);
        }
        // On three threads the entries still go in in the order added.
        EXPECT_EQ(library_archive(in, Source::Memory, m.method, m.flags, 3, in.dir / "lib.tmb"), want);
    }
}

TEST(ApiWrite, DirectoryEntriesAreTheProgramsEmptyDirectories)
{
    testkit::TempDir d;
    ASSERT_EQ(mkdir((d / "tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d / "tree/e").c_str(), 0755), 0);
    set_mtime(d / "tree/e", kTime);
    testkit::RunResult r = testkit::run_tambrix({"a", "-q", "-r", d / "prog.tmb", d / "tree"});
    ASSERT_EQ(r.status, 0) << r.err;

    // With and without the '/' the caller may give.
    for (const char *name : {"e", "e/"}) {
        tambrix_writer *w;
        ASSERT_EQ(tambrix_writer_open_path(&w, (d / "lib.tmb").c_str()), TAMBRIX_OK);
        EXPECT_EQ(tambrix_add_directory(w, name, kTime), TAMBRIX_OK);
        EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
        tambrix_writer_free(w);
        EXPECT_EQ(testkit::read_file(d / "lib.tmb"), testkit::read_file(d / "prog.tmb")) << name;
    }
}

TEST(ApiWrite, WritesAtTheDescriptorsOffsetAndLeavesItOpen)
{
    testkit::TempDir d;
    Bytes data = text_bytes(5000);
    int fd = open((d / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "HEAD", 4), 4);
    tambrix_writer *w;
    ASSERT_EQ(tambrix_writer_open_fd(&w, fd), TAMBRIX_OK);
    EXPECT_EQ(tambrix_add_memory(w, "a.txt", data.data(), data.size(), kTime, "-lh6-", 0), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
    tambrix_writer_free(w);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "the caller's descriptor was closed";
    close(fd);

    Bytes all = testkit::read_file(d / "out");
    ASSERT_GT(all.size(), 4u);
    EXPECT_EQ(std::string(all.begin(), all.begin() + 4), "HEAD");
    int end;
    auto entries = walk_memory(Bytes(all.begin() + 4, all.end()), &end);
    EXPECT_EQ(end, TAMBRIX_END);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].data, data);
    EXPECT_EQ(entries[0].method, "-lh6-");
}

// ---------------------------------------------------------------------------
// Reading

TEST(ApiRead, WalkMatchesTheProgramsListingFromPathDescriptorAndMemory)
{
    Inputs in;
    std::string arc = in.dir / "prog.tmb";
    Bytes bytes = program_archive(in, {"-lh7"}, arc);
    testkit::RunResult l = testkit::run_tambrix({"l", "-q", arc});
    ASSERT_EQ(l.status, 0);

    for (int how = 0; how < 3; how++) {
        SCOPED_TRACE(how);
        tambrix_reader *r = nullptr;
        int fd = -1;
        if (how == 0) {
            ASSERT_EQ(tambrix_reader_open_path(&r, arc.c_str()), TAMBRIX_OK);
        }
        if (how == 1) {
            fd = open(arc.c_str(), O_RDONLY);
            ASSERT_EQ(tambrix_reader_open_fd(&r, fd), TAMBRIX_OK);
            close(fd);
        }
        if (how == 2) {
            ASSERT_EQ(tambrix_reader_open_memory(&r, bytes.data(), bytes.size()), TAMBRIX_OK);
        }
        int end;
        // Small reads cross the decoder's pieces at odd places.
        auto entries = walk(r, &end, how == 2 ? 7 : 65536);
        tambrix_reader_free(r);
        EXPECT_EQ(end, TAMBRIX_END);
        ASSERT_EQ(entries.size(), in.files.size());
        for (size_t i = 0; i < entries.size(); i++) {
            const Entry &e = entries[i];
            EXPECT_EQ(e.name, in.files[i].first);
            EXPECT_EQ(e.read_rc, TAMBRIX_OK);
            EXPECT_EQ(e.data, in.files[i].second);
            EXPECT_EQ(e.info.mtime, kTime);
            EXPECT_EQ(e.info.level, 2);
            EXPECT_EQ(e.info.is_dir, 0);
            EXPECT_EQ(e.info.crc, testkit::crc16_bitwise(e.data.data(), e.data.size()));
            EXPECT_NE(l.out.find(listing_line(e) + "\n"), std::string::npos) << listing_line(e);
        }
    }
}

TEST(ApiRead, NamesOfEveryLevelAndTheirDisplayForm)
{
    // A name with an escape sequence in it: shown escaped, stored as is.
    auto esc = testkit::stored("bad\x1b[2Jname", "xyz", 0x5D7E645C);
    auto lv1 = testkit::stored("b.txt", "hello", 0x5D7E645C);
    lv1.dir = "src";
    auto lv2 = testkit::stored("c", "", 1796042096);
    lv2.dir = "d/e/";
    Bytes arc = testkit::build_entry(0, esc);
    for (const Bytes &b : {testkit::build_entry(1, lv1), testkit::build_entry(2, lv2)})
        arc.insert(arc.end(), b.begin(), b.end());
    arc.push_back(0);

    int end;
    auto entries = walk_memory(arc, &end);
    EXPECT_EQ(end, TAMBRIX_END);
    ASSERT_EQ(entries.size(), 3u);
    struct Want {
        const char *name, *display;
        int level;
        int64_t mtime;
        const char *data;
    } const want[] = {
        {"bad\x1b[2Jname", "bad\\033[2Jname", 0, 1796042096, "xyz"},
        {"src/b.txt", "src/b.txt", 1, 1796042096, "hello"},
        {"d/e/c", "d/e/c", 2, 1796042096, ""},
    };
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(entries[i].name, want[i].name);
        EXPECT_EQ(entries[i].display, want[i].display);
        EXPECT_EQ(entries[i].info.level, want[i].level);
        EXPECT_EQ(entries[i].info.mtime, want[i].mtime);
        EXPECT_EQ(std::string(entries[i].data.begin(), entries[i].data.end()), want[i].data);
        EXPECT_EQ(entries[i].read_rc, TAMBRIX_OK);
    }
}

TEST(ApiRead, EmptyArchivesEndAtOnce)
{
    for (const Bytes &arc : {Bytes{}, Bytes{0}, Bytes{0, 0}}) {
        int end;
        EXPECT_TRUE(walk_memory(arc, &end).empty());
        EXPECT_EQ(end, TAMBRIX_END) << arc.size();
    }
}

// An archive of two stored entries; cases damage it.
Bytes two_entries(size_t *second_at)
{
    Bytes a = testkit::build_entry(2, testkit::stored("one.txt", "first entry", 100));
    *second_at = a.size();
    Bytes b = testkit::build_entry(2, testkit::stored("two.txt", "second entry", 100));
    a.insert(a.end(), b.begin(), b.end());
    a.push_back(0);
    return a;
}

TEST(ApiRead, DamageIsAnErrorNeverAnEnd)
{
    size_t second;
    const Bytes good = two_entries(&second);
    struct Case {
        const char *label;
        Bytes arc;
        size_t entries; // delivered before the walk stops
        int end;
    };
    std::vector<Case> cases;
    {
        Bytes a = good;
        a[second + 10] ^= 0x40; // a size byte: the header CRC no longer fits
        cases.push_back({"header CRC", a, 1, TAMBRIX_E_DAMAGED});
    }
    {
        Bytes a(good.begin(), good.begin() + (long)second + 12); // cut inside the header
        cases.push_back({"cut header", a, 1, TAMBRIX_E_DAMAGED});
    }
    {
        Bytes a(good.begin(), good.end() - 4); // cut inside the second entry's data
        cases.push_back({"data past the end", a, 1, TAMBRIX_E_TRUNCATED});
    }
    {
        auto e = testkit::stored("lv0.txt", "level zero", 0x5D7E645C);
        Bytes a = testkit::build_entry(0, e);
        a[1] ^= 0x01; // the level-0 checksum
        cases.push_back({"level-0 checksum", a, 0, TAMBRIX_E_NOT_ARCHIVE});
    }
    {
        std::string text = "just some text, no archive at all\n";
        cases.push_back({"no archive", Bytes(text.begin(), text.end()), 0, TAMBRIX_E_NOT_ARCHIVE});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        tambrix_reader *r;
        ASSERT_EQ(tambrix_reader_open_memory(&r, c.arc.data(), c.arc.size()), TAMBRIX_OK);
        int end;
        auto entries = walk(r, &end);
        EXPECT_EQ(entries.size(), c.entries);
        EXPECT_EQ(end, c.end);
        tambrix_entry_info info;
        EXPECT_EQ(tambrix_reader_next(r, &info), c.end) << "errors are sticky";
        tambrix_reader_free(r);
    }
}

TEST(ApiRead, EntryDataErrors)
{
    Bytes packed;
    {
        // A real -lh5- entry from the writer, to damage.
        Bytes data = text_bytes(20000);
        testkit::TempDir d;
        tambrix_writer *w;
        ASSERT_EQ(tambrix_writer_open_path(&w, (d / "a.tmb").c_str()), TAMBRIX_OK);
        ASSERT_EQ(tambrix_add_memory(w, "t", data.data(), data.size(), kTime, "-lh5-", 0), TAMBRIX_OK);
        ASSERT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
        tambrix_writer_free(w);
        packed = testkit::read_file(d / "a.tmb");
    }
    struct Case {
        const char *label;
        Bytes arc;
        int rc;
        int or_rc = 0; // damaged packed data may also run out early
    };
    std::vector<Case> cases;
    auto one = [](testkit::LzhEntry e) {
        Bytes a = testkit::build_entry(2, e);
        a.push_back(0);
        return a;
    };
    {
        auto e = testkit::stored("crc.txt", "some stored bytes", 0);
        e.crc ^= 0x1234;
        cases.push_back({"stored CRC mismatch", one(e), TAMBRIX_E_CRC});
    }
    {
        auto e = testkit::stored("short.txt", "abc", 0);
        e.orig_size = 10; // more than the packed bytes hold
        cases.push_back({"stored data ends early", one(e), TAMBRIX_E_DAMAGED});
    }
    for (const char *m : {"-lh1-", "-lh2-", "-lzs-", "-lz5-"}) {
        auto e = testkit::stored("x", "packed?", 0);
        e.method = m;
        cases.push_back({m, one(e), TAMBRIX_E_UNSUPPORTED});
    }
    {
        Bytes a = packed;
        const size_t data_at = 34 + 1; // past the level-2 header of the name "t"
        for (size_t i = data_at + 40; i < data_at + 60; i++)
            a[i] ^= 0xA5;
        cases.push_back({"damaged packed data", a, TAMBRIX_E_CRC, TAMBRIX_E_DAMAGED});
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        int end;
        auto entries = walk_memory(c.arc, &end);
        EXPECT_EQ(end, TAMBRIX_END);
        ASSERT_EQ(entries.size(), 1u);
        if (c.or_rc && entries[0].read_rc == c.or_rc)
            continue;
        EXPECT_EQ(entries[0].read_rc, c.rc);
    }
}

TEST(ApiRead, CancelAndProgress)
{
    // A long stored entry and a short one after it.
    Bytes big = noise_bytes(600000);
    testkit::LzhEntry e;
    e.name = "big";
    e.packed = big;
    e.orig_size = (uint32_t)big.size();
    e.crc = testkit::crc16_bitwise(big.data(), big.size());
    Bytes arc = testkit::build_entry(2, e);
    Bytes small = testkit::build_entry(2, testkit::stored("small", "after", 0));
    arc.insert(arc.end(), small.begin(), small.end());
    arc.push_back(0);

    struct Seen {
        uint64_t last = 0, total = 0;
        int calls = 0;
        volatile int *cancel = nullptr;
        uint64_t cancel_at = 0;
    };
    auto cb = [](void *user, uint64_t done, uint64_t total) {
        auto *s = static_cast<Seen *>(user);
        EXPECT_GT(done, s->last);
        s->last = done;
        s->total = total;
        s->calls++;
        if (s->cancel && done >= s->cancel_at)
            __atomic_store_n(s->cancel, 1, __ATOMIC_RELAXED);
    };

    for (bool cancel : {false, true}) {
        SCOPED_TRACE(cancel);
        volatile int flag = 0;
        Seen seen;
        if (cancel) {
            seen.cancel = &flag;
            seen.cancel_at = 100000;
        }
        tambrix_reader *r;
        ASSERT_EQ(tambrix_reader_open_memory(&r, arc.data(), arc.size()), TAMBRIX_OK);
        tambrix_reader_set_progress(r, cb, &seen);
        tambrix_reader_set_cancel(r, &flag);
        tambrix_entry_info info;
        ASSERT_EQ(tambrix_reader_next(r, &info), TAMBRIX_OK);
        Bytes got;
        int rc = read_all(r, &got, 32768);
        if (cancel) {
            EXPECT_EQ(rc, TAMBRIX_E_CANCELLED);
            EXPECT_LT(got.size(), big.size());
            flag = 0;
            seen.cancel = nullptr;
            seen.last = 0;
            // The walk goes on with the next entry.
            ASSERT_EQ(tambrix_reader_next(r, &info), TAMBRIX_OK);
            EXPECT_EQ(std::string((const char *)info.name, info.name_len), "small");
            Bytes rest;
            EXPECT_EQ(read_all(r, &rest), TAMBRIX_OK);
            EXPECT_EQ(std::string(rest.begin(), rest.end()), "after");
        } else {
            EXPECT_EQ(rc, TAMBRIX_OK);
            EXPECT_EQ(got, big);
            EXPECT_EQ(seen.last, big.size());
            EXPECT_EQ(seen.total, big.size());
        }
        tambrix_reader_free(r);
    }
}

// An entry too large to be read into memory whole is streamed: from a file
// by position, from memory through the stream. Reads of any size, across
// the decoder's pieces, give its bytes; an entry left half read, or read to
// its end, leaves the walk at the next one.
TEST(ApiRead, LongEntriesReadInAnySizeAndLeaveTheWalkInStep)
{
    // Noise keeps the packed data large; text between gives matches.
    Bytes big = noise_bytes(200000, 7);
    for (int i = 0; i < 3; i++) {
        Bytes t = text_bytes(90000 + (size_t)i * 7), n = noise_bytes(60000, (uint32_t)i);
        big.insert(big.end(), t.begin(), t.end());
        big.insert(big.end(), n.begin(), n.end());
    }
    const std::string after = "the entry after";
    for (const char *method : {"-lh5-", "-lh7-"}) {
        testkit::TempDir d;
        std::string path = d / "long.tmb";
        tambrix_writer *w;
        ASSERT_EQ(tambrix_writer_open_path(&w, path.c_str()), TAMBRIX_OK);
        ASSERT_EQ(tambrix_add_memory(w, "long", big.data(), big.size(), kTime, method, 0), TAMBRIX_OK);
        ASSERT_EQ(tambrix_add_memory(w, "after", after.data(), after.size(), kTime, method, 0), TAMBRIX_OK);
        ASSERT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
        tambrix_writer_free(w);
        Bytes arc = testkit::read_file(path);
        for (int from_memory : {0, 1})
            for (size_t cap : {(size_t)1, (size_t)7, (size_t)65536, (size_t)65537, (size_t)1 << 20})
                for (bool whole : {true, false}) {
                    SCOPED_TRACE(testing::Message() << method << " memory " << from_memory << " cap " << cap
                                                    << " whole " << whole);
                    tambrix_reader *r;
                    if (from_memory)
                        ASSERT_EQ(tambrix_reader_open_memory(&r, arc.data(), arc.size()), TAMBRIX_OK);
                    else
                        ASSERT_EQ(tambrix_reader_open_path(&r, path.c_str()), TAMBRIX_OK);
                    tambrix_entry_info info;
                    ASSERT_EQ(tambrix_reader_next(r, &info), TAMBRIX_OK);
                    EXPECT_GT(info.packed_size, 256u << 10); // more than is read whole
                    Bytes got;
                    if (whole) {
                        EXPECT_EQ(read_all(r, &got, cap), TAMBRIX_OK);
                        EXPECT_TRUE(got == big);
                    } else {
                        std::vector<uint8_t> buf(cap);
                        size_t n = 0;
                        while (got.size() < big.size() / 2 &&
                               tambrix_read(r, buf.data(), cap, &n) == TAMBRIX_OK && n != 0)
                            got.insert(got.end(), buf.begin(), buf.begin() + (long)n);
                        ASSERT_GE(got.size(), big.size() / 2);
                        EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
                    }
                    ASSERT_EQ(tambrix_reader_next(r, &info), TAMBRIX_OK);
                    EXPECT_EQ(std::string((const char *)info.name, info.name_len), "after");
                    Bytes rest;
                    EXPECT_EQ(read_all(r, &rest, cap), TAMBRIX_OK);
                    EXPECT_EQ(std::string(rest.begin(), rest.end()), after);
                    EXPECT_EQ(tambrix_reader_next(r, &info), TAMBRIX_END);
                    tambrix_reader_free(r);
                }
    }
}

TEST(ApiRead, CallsOutOfOrderAndBadArguments)
{
    Bytes arc{0};
    tambrix_reader *r = nullptr;
    EXPECT_EQ(tambrix_reader_open_memory(nullptr, arc.data(), 1), TAMBRIX_E_ARG);
    EXPECT_EQ(tambrix_reader_open_memory(&r, nullptr, 5), TAMBRIX_E_ARG);
    EXPECT_EQ(tambrix_reader_open_path(&r, "/nonexistent/archive.tmb"), TAMBRIX_E_OPEN);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(tambrix_reader_open_path(&r, "/"), TAMBRIX_E_OPEN); // no regular file
    EXPECT_EQ(tambrix_reader_open_fd(&r, -1), TAMBRIX_E_ARG);
    ASSERT_EQ(tambrix_reader_open_memory(&r, arc.data(), arc.size()), TAMBRIX_OK);
    char buf[8];
    size_t got;
    EXPECT_EQ(tambrix_read(r, buf, sizeof buf, &got), TAMBRIX_E_ARG) << "no entry yet";
    tambrix_reader_free(r);
    EXPECT_EQ(tambrix_reader_free(nullptr), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_free(nullptr), TAMBRIX_OK);
    EXPECT_STREQ(tambrix_strerror(TAMBRIX_E_CRC), "CRC mismatch");
    EXPECT_STREQ(tambrix_strerror(-999), "unknown error");
    EXPECT_EQ(tambrix_version(), TAMBRIX_VERSION_MAJOR * 10000 + TAMBRIX_VERSION_MINOR * 100 +
                                     TAMBRIX_VERSION_PATCH);
}

// ---------------------------------------------------------------------------
// Writing: failures

TEST(ApiWrite, BadEntriesFailAloneAndTheArchiveStaysSound)
{
    Inputs in;
    Bytes want = program_archive(in, {}, in.dir / "prog.tmb");
    std::string arc = in.dir / "lib.tmb";
    tambrix_writer *w;
    ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    std::string long_name(256, 'n');
    int wronly = open((in.dir / "text.txt").c_str(), O_WRONLY);
    struct Case {
        const char *label;
        int rc;
        int want;
    } const cases[] = {
        {"missing file", tambrix_add_path(w, "m", (in.dir / "missing").c_str(), nullptr, 0), TAMBRIX_E_OPEN},
        {"directory as file", tambrix_add_path(w, "d", in.dir.path().c_str(), nullptr, 0), TAMBRIX_E_OPEN},
        {"method it cannot pack", tambrix_add_memory(w, "x", "ab", 2, 0, "-lh4-", 0), TAMBRIX_E_UNSUPPORTED},
        {"empty name", tambrix_add_memory(w, "", "ab", 2, 0, nullptr, 0), TAMBRIX_E_ARG},
        {"name too long", tambrix_add_memory(w, long_name.c_str(), "ab", 2, 0, nullptr, 0), TAMBRIX_E_ARG},
        {"unknown flag", tambrix_add_memory(w, "x", "ab", 2, 0, nullptr, 8), TAMBRIX_E_ARG},
        {"unreadable descriptor", tambrix_add_fd(w, "u", wronly, 0, nullptr, 0), TAMBRIX_E_READ},
        {"directory name too long", tambrix_add_directory(w, long_name.c_str() + 1, 0), TAMBRIX_E_ARG},
    };
    close(wronly);
    for (const Case &c : cases)
        EXPECT_EQ(c.rc, c.want) << c.label;
    for (auto &[name, data] : in.files)
        EXPECT_EQ(tambrix_add_path(w, name.c_str(), (in.dir / name).c_str(), nullptr, 0), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_E_ARG);
    EXPECT_EQ(tambrix_add_memory(w, "late", "ab", 2, 0, nullptr, 0), TAMBRIX_E_ARG);
    tambrix_writer_free(w);
    EXPECT_EQ(testkit::read_file(arc), want);
}

TEST(ApiWrite, FullDeviceIsAWriteError)
{
    int fd = open("/dev/full", O_WRONLY);
    if (fd < 0)
        GTEST_SKIP() << "no /dev/full";
    Bytes data = text_bytes(300000);
    for (int threads : {1, 2}) {
        tambrix_writer *w;
        ASSERT_EQ(tambrix_writer_open_fd(&w, fd), TAMBRIX_OK);
        ASSERT_EQ(tambrix_writer_set_threads(w, threads), TAMBRIX_OK);
        // The stream's buffer may take the first bytes; the error comes by
        // finish at the latest, and stays.
        int rc = TAMBRIX_OK;
        for (int i = 0; i < 4 && rc == TAMBRIX_OK; i++)
            rc = tambrix_add_memory(w, "big", data.data(), data.size(), 0, "-lh0-", 0);
        if (rc == TAMBRIX_OK)
            rc = tambrix_writer_finish(w);
        EXPECT_EQ(rc, TAMBRIX_E_WRITE) << threads;
        EXPECT_EQ(tambrix_add_directory(w, "d", 0), TAMBRIX_E_WRITE);
        tambrix_writer_free(w);
    }
    close(fd);
}

// Runs `f` in a child process with a file-size limit of `limit` bytes
// (SIGXFSZ ignored, so writes fail with EFBIG); its exit status.
template <class F> int with_file_limit(long limit, F f)
{
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {(rlim_t)limit, (rlim_t)limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        _exit(f());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ApiWrite, FullDiskKeepsTheOldArchiveAndLeavesNoTemporary)
{
    testkit::TempDir d;
    std::string arc = d / "arc.tmb";
    testkit::write_text(arc, "old archive");
    Bytes data = noise_bytes(200000); // stored: the archive outgrows the limit
    int rc = with_file_limit(100000, [&] {
        tambrix_writer *w;
        if (tambrix_writer_open_path(&w, arc.c_str()) != TAMBRIX_OK)
            return 1;
        int r = tambrix_add_memory(w, "n", data.data(), data.size(), 0, nullptr, 0);
        if (r == TAMBRIX_OK)
            r = tambrix_writer_finish(w);
        tambrix_writer_free(w);
        return r == TAMBRIX_E_WRITE ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(testkit::read_text(arc), "old archive");
    expect_only(d.path(), {"arc.tmb"});
}

TEST(ApiWrite, UnfinishedArchiveIsAbandoned)
{
    testkit::TempDir d;
    std::string arc = d / "arc.tmb";
    tambrix_writer *w;
    ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    EXPECT_EQ(tambrix_add_memory(w, "a", "abc", 3, 0, nullptr, 0), TAMBRIX_OK);
    EXPECT_FALSE(testkit::file_exists(arc)) << "in place before it was finished";
    tambrix_writer_free(w);
    expect_only(d.path(), {});

    // An existing file is replaced only by a finished archive.
    testkit::write_text(arc, "old");
    ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    EXPECT_EQ(tambrix_add_memory(w, "a", "abc", 3, 0, nullptr, 0), TAMBRIX_OK);
    EXPECT_EQ(testkit::read_text(arc), "old");
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
    tambrix_writer_free(w);
    expect_only(d.path(), {"arc.tmb"});
    testkit::RunResult t = testkit::run_tambrix({"t", arc});
    EXPECT_EQ(t.status, 0) << t.out;
}

TEST(ApiWrite, CancelStopsALongEntryAndAbandonsTheArchive)
{
    testkit::TempDir d;
    std::string arc = d / "arc.tmb";
    Bytes data = text_bytes(3 << 20);
    volatile int flag = 0;
    struct Seen {
        volatile int *flag;
        uint64_t last = 0;
    } seen{&flag};
    tambrix_writer *w;
    ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    tambrix_writer_set_cancel(w, &flag);
    // On one thread progress is reported while the entry is packed; the
    // flag set at 1 MB stops it within a buffer of input.
    tambrix_writer_set_progress(w, [](void *user, uint64_t done, uint64_t) {
        auto *s = static_cast<Seen *>(user);
        s->last = done;
        if (done >= (1 << 20))
            __atomic_store_n(s->flag, 1, __ATOMIC_RELAXED);
    }, &seen);
    EXPECT_EQ(tambrix_add_memory(w, "long", data.data(), data.size(), 0, "-lh7-", 0), TAMBRIX_E_CANCELLED);
    EXPECT_GE(seen.last, 1u << 20);
    EXPECT_LT(seen.last, (1u << 20) + 2 * 65536) << "packing went on after the flag";
    EXPECT_EQ(tambrix_add_memory(w, "more", "x", 1, 0, nullptr, 0), TAMBRIX_E_CANCELLED);
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_E_CANCELLED);
    tambrix_writer_free(w);
    expect_only(d.path(), {});
}

TEST(ApiWrite, CancelWithQueuedEntries)
{
    // Whether the worker has begun or finished the entry when the flag is
    // set, the archive is not finished and nothing is left.
    testkit::TempDir d;
    std::string arc = d / "arc.tmb";
    Bytes data = text_bytes(1 << 20);
    volatile int flag = 0;
    tambrix_writer *w;
    ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
    ASSERT_EQ(tambrix_writer_set_threads(w, 2), TAMBRIX_OK);
    tambrix_writer_set_cancel(w, &flag);
    for (const char *name : {"a", "b", "c"})
        EXPECT_EQ(tambrix_add_memory(w, name, data.data(), data.size(), 0, "-lh7-", 0), TAMBRIX_OK);
    __atomic_store_n(&flag, 1, __ATOMIC_RELAXED);
    EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_E_CANCELLED);
    tambrix_writer_free(w);
    expect_only(d.path(), {});
}

} // namespace

// A new archive gets the permission bits a file created under the
// caller's umask gets; the mask is read without being changed.
TEST(ApiWrite, NewArchiveTakesTheBitsOfTheUmask)
{
    testkit::TempDir d;
    const mode_t saved = umask(022);
    for (mode_t mask : {(mode_t)022, (mode_t)027, (mode_t)077, (mode_t)002}) {
        umask(mask);
        std::string arc = d / ("arc" + std::to_string(mask) + ".tmb");
        tambrix_writer *w;
        ASSERT_EQ(tambrix_writer_open_path(&w, arc.c_str()), TAMBRIX_OK);
        EXPECT_EQ(tambrix_add_memory(w, "a", "abc", 3, 0, nullptr, 0), TAMBRIX_OK);
        EXPECT_EQ(tambrix_writer_finish(w), TAMBRIX_OK);
        tambrix_writer_free(w);
        struct stat st;
        ASSERT_EQ(stat(arc.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "umask " << std::oct << mask;
        EXPECT_EQ(umask(mask), mask) << "the umask was changed";
    }
    umask(saved);
}
