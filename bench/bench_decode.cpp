// Decoding speed of tmb_extract against `gzip -dc`, side by side.
//
//   bench_decode CORPUS_DIR [FILE...]
//
// Each corpus file is packed with -lh5-, -lh6- and -lh7- by a small greedy
// packer in this file (good enough to give realistic symbol statistics; the
// archiver's own encoder lives elsewhere), then decoded in-process with no
// output stream, as the t command does. The same file is compressed with
// `gzip -9` and timed with `gzip -dc >/dev/null`. Best of 5 interleaved
// runs each, in processor time (user + system; for gzip that of the child
// processes); the CRC of every decode is checked against the original. Data
// that does not shrink is stored ("-lh0-"), as the archiver does.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tambrix.h"
#include "tmb_header.h"
#include "tmb_method.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BitOut {
    Bytes bytes;
    uint64_t acc = 0;
    int n = 0;
    void put(uint32_t v, int bits)
    {
        for (int i = bits - 1; i >= 0; i--) {
            acc = acc << 1 | ((v >> i) & 1);
            if (++n == 8) {
                bytes.push_back((uint8_t)acc);
                acc = 0;
                n = 0;
            }
        }
    }
    void len(unsigned l)
    {
        if (l < 7)
            return put(l, 3);
        put(7, 3);
        for (unsigned k = 7; k < l; k++)
            put(1, 1);
        put(0, 1);
    }
    void finish()
    {
        if (n)
            put(0, 8 - n);
    }
};

// Huffman code lengths limited to 16 bits (frequencies halved until they fit).
std::vector<uint8_t> code_lengths(std::vector<uint64_t> freq)
{
    size_t n = freq.size();
    std::vector<uint8_t> len(n, 0);
    size_t used = (size_t)std::count_if(freq.begin(), freq.end(), [](uint64_t f) { return f; });
    if (used == 0)
        freq[0] = 1;
    if (used <= 1)
        freq[freq[0] ? 1 : 0] = 1; // a code needs two symbols
    for (;;) {
        std::vector<int> parent(2 * n, -1);
        using Item = std::pair<uint64_t, int>;
        std::priority_queue<Item, std::vector<Item>, std::greater<Item>> q;
        for (size_t i = 0; i < n; i++)
            if (freq[i])
                q.push({freq[i], (int)i});
        int next = (int)n;
        while (q.size() > 1) {
            auto a = q.top();
            q.pop();
            auto b = q.top();
            q.pop();
            parent[a.second] = parent[b.second] = next;
            q.push({a.first + b.first, next++});
        }
        unsigned maxl = 0;
        for (size_t i = 0; i < n; i++) {
            unsigned l = 0;
            if (freq[i])
                for (int k = (int)i; parent[k] >= 0; k = parent[k])
                    l++;
            len[i] = (uint8_t)l;
            maxl = std::max(maxl, l);
        }
        if (maxl <= 16)
            return len;
        for (auto &f : freq)
            if (f)
                f = (f + 1) / 2;
    }
}

std::vector<uint16_t> canonical(const std::vector<uint8_t> &len)
{
    std::vector<uint16_t> code(len.size());
    unsigned next = 0;
    for (unsigned l = 1; l <= 16; l++) {
        for (size_t s = 0; s < len.size(); s++)
            if (len[s] == l)
                code[s] = (uint16_t)next++;
        next <<= 1;
    }
    return code;
}

struct Symbol {
    uint16_t c;
    uint16_t d;
};

void write_block(BitOut &w, const std::vector<Symbol> &syms, int np, int pbit)
{
    std::vector<uint64_t> cf(510, 0), pf(np, 0);
    for (const Symbol &s : syms) {
        cf[s.c]++;
        if (s.c >= 256)
            pf[s.d < 2 ? s.d : std::bit_width(s.d)]++;
    }
    auto cl = code_lengths(cf), pl = code_lengths(pf);
    auto cc = canonical(cl), pc = canonical(pl);
    w.put((uint32_t)syms.size(), 16);
    // t code: all 19 symbols 5 bits.
    w.put(19, 5);
    for (int i = 0; i < 19; i++) {
        w.len(5);
        if (i == 2)
            w.put(0, 2);
    }
    int n = 510;
    while (n > 0 && cl[n - 1] == 0)
        n--;
    w.put(n, 9);
    for (int i = 0; i < n; i++)
        w.put(cl[i] ? cl[i] + 2 : 0, 5);
    w.put(np, pbit);
    for (int i = 0; i < np; i++)
        w.len(pl[i]);
    for (const Symbol &s : syms) {
        w.put(cc[s.c], cl[s.c]);
        if (s.c >= 256) {
            unsigned p = s.d < 2 ? s.d : (unsigned)std::bit_width(s.d);
            w.put(pc[p], pl[p]);
            if (p >= 2)
                w.put(s.d - (1u << (p - 1)), p - 1);
        }
    }
}

// Greedy LZ77 with hash chains.
Bytes pack(const Bytes &in, int method)
{
    const int wbits = method == 5 ? 13 : method == 6 ? 15 : 16;
    const size_t wsize = (size_t)1 << wbits;
    const int np = method == 5 ? 14 : method == 6 ? 16 : 17, pbit = method == 5 ? 4 : 5;
    std::vector<int64_t> head(1 << 16, -1), prev(in.size(), -1);
    auto hash = [&](size_t i) { return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & 0xFFFF; };
    auto insert = [&](size_t i) {
        if (i + 2 < in.size()) {
            unsigned h = hash(i);
            prev[i] = head[h];
            head[h] = (int64_t)i;
        }
    };
    BitOut w;
    std::vector<Symbol> block;
    size_t i = 0;
    while (i < in.size()) {
        size_t best = 0, bestd = 0;
        if (i + 2 < in.size()) {
            int64_t cand = head[hash(i)];
            for (int probes = 0; cand >= 0 && probes < 32; probes++, cand = prev[cand]) {
                size_t d = i - (size_t)cand;
                if (d > wsize - 1)
                    break;
                size_t l = 0, maxl = std::min<size_t>(256, in.size() - i);
                while (l < maxl && in[cand + l] == in[i + l])
                    l++;
                if (l > best) {
                    best = l;
                    bestd = d;
                    if (l == maxl)
                        break;
                }
            }
        }
        if (best >= 3) {
            block.push_back({(uint16_t)(best + 253), (uint16_t)(bestd - 1)});
            for (size_t k = 0; k < best; k++)
                insert(i + k);
            i += best;
        } else {
            block.push_back({in[i], 0});
            insert(i);
            i++;
        }
        if (block.size() == 16384) {
            write_block(w, block, np, pbit);
            block.clear();
        }
    }
    if (!block.empty())
        write_block(w, block, np, pbit);
    w.finish();
    return w.bytes;
}

Bytes read_all(const std::string &path)
{
    Bytes b;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return b;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        b.insert(b.end(), buf, buf + n);
    fclose(f);
    return b;
}

// Processor time of this process, and of its finished children: the machine
// may be shared, and waiting for a processor should count for neither side.
double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

double children_cpu()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           ru.ru_stime.tv_usec / 1e6;
}

struct Entry {
    FILE *arc;
    EntryHeader h;
};

// The packed data in a file, as t reads an archive. Data that does not
// shrink is stored, as the archiver does.
Entry make_entry(const Bytes &orig, int method)
{
    Bytes packed = pack(orig, method);
    Entry e{tmpfile(), EntryHeader{}};
    e.h.method = method;
    if (packed.size() >= orig.size()) {
        packed = orig;
        e.h.method = 0;
    }
    fwrite(packed.data(), 1, packed.size(), e.arc);
    e.h.comp_size = packed.size();
    e.h.orig_size = orig.size();
    return e;
}

double time_extract(Entry &e, uint16_t crc, bool *ok)
{
    rewind(e.arc);
    double t0 = now();
    int rc = tmb_extract(e.arc, nullptr, &e.h);
    double t = now() - t0;
    if (rc != 0 || g_extract_crc != crc)
        *ok = false;
    return t;
}

double time_command(const std::string &cmd)
{
    double t0 = children_cpu();
    if (system(cmd.c_str()) != 0)
        return 1e9;
    return children_cpu() - t0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR [FILE...]\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    std::vector<std::string> files;
    for (int i = 2; i < argc; i++)
        files.push_back(argv[i]);
    if (files.empty())
        files = {"text.txt", "source.tar", "binary.bin", "random.bin", "runs.bin"};

    printf("%-11s %6s %9s %9s %10s %10s %7s\n", "file", "method", "packed", "gzip -9", "t MB/s", "gzip MB/s",
           "ratio");
    double sum_t[3] = {0, 0, 0}, sum_g = 0, total = 0;
    for (const std::string &name : files) {
        std::string path = dir + "/" + name;
        Bytes orig = read_all(path);
        if (orig.empty()) {
            fprintf(stderr, "cannot read %s\n", path.c_str());
            continue;
        }
        std::string gz = "/tmp/bench_decode_" + std::to_string(getpid()) + ".gz";
        if (system(("gzip -9 -c '" + path + "' > " + gz).c_str()) != 0)
            return 1;
        Bytes gzbytes = read_all(gz);
        Entry entries[3] = {make_entry(orig, 5), make_entry(orig, 6), make_entry(orig, 7)};
        uint16_t crc = tmb_crc16(orig.data(), orig.size(), 0);
        // Interleaved best of 5, so that a busy machine hurts both sides alike.
        double tg = 1e9, tt[3] = {1e9, 1e9, 1e9};
        bool ok = true;
        for (int r = 0; r < 5; r++) {
            tg = std::min(tg, time_command("gzip -dc " + gz + " > /dev/null"));
            for (int m = 0; m < 3; m++)
                tt[m] = std::min(tt[m], time_extract(entries[m], crc, &ok));
        }
        remove(gz.c_str());
        double mb = orig.size() / 1e6;
        total += mb;
        sum_g += tg;
        for (int m = 0; m < 3; m++) {
            sum_t[m] += tt[m];
            printf("%-11s  -lh%d- %9llu %9zu %10.1f %10.1f %6.2fx%s%s\n", name.c_str(), m + 5,
                   (unsigned long long)entries[m].h.comp_size, gzbytes.size(), mb / tt[m], mb / tg, tg / tt[m],
                   entries[m].h.method == 0 ? " (stored)" : "", ok ? "" : "  CRC MISMATCH");
            fclose(entries[m].arc);
        }
    }
    for (int m = 0; m < 3; m++)
        printf("all          -lh%d- %31.1f %10.1f %6.2fx\n", m + 5, total / sum_t[m], total / sum_g,
               sum_g / sum_t[m]);
    return 0;
}
