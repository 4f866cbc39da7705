// Decoding speed of tmb_extract against `gzip -dc`, side by side.
//
//   bench_decode CORPUS_DIR [FILE...]
//
// Each corpus file is packed with -lh5-, -lh6- and -lh7- by the archiver's
// encoder (tmb_compress), then decoded in-process with no output stream, as
// the t command does. The same file is compressed with
// `gzip -9` and timed with `gzip -dc >/dev/null`. Best of 5 interleaved
// runs each, in processor time (user + system; for gzip that of the child
// processes); the CRC of every decode is checked against the original.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tmb_header.h"
#include "tmb_compress.h"
#include "tmb_method.h"

namespace {

using Bytes = std::vector<uint8_t>;

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
double now() { return (double)clock() / CLOCKS_PER_SEC; }

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

// The file packed by the archiver's encoder into a temporary file, as t
// reads an archive. Data that does not shrink is stored.
Entry make_entry(const std::string &path, int method)
{
    Entry e{tmpfile(), EntryHeader{}};
    e.h.method = method;
    FILE *in = fopen(path.c_str(), "rb");
    EncoderCtx *ctx = tmb_encoder_new();
    if (!in || !ctx || !tmb_compress(ctx, in, e.arc, &e.h, method, false, {})) {
        fprintf(stderr, "cannot pack %s\n", path.c_str());
        exit(1);
    }
    tmb_encoder_free(ctx);
    fclose(in);
    return e;
}

// One unpacking context for the whole run, with the default limits.
ExtractCtx *bench_ctx()
{
    // The buffer limits of a run without -b.
    static ExtractCtx *ctx = tmb_extract_new(23488101, 4194304);
    return ctx;
}

double time_extract(Entry &e, uint16_t crc, bool *ok)
{
    rewind(e.arc);
    double t0 = now();
    uint16_t got = 0;
    int rc = tmb_extract(bench_ctx(), e.arc, nullptr, &e.h, &got);
    double t = now() - t0;
    if (rc != 0 || got != crc)
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

// Many small files: every file of DIR packed as one entry of a single
// archive file, all entries tested in a row; gzip decompresses the same
// files, each gzipped on its own, in one process per batch of names.
void bench_tree(const std::string &dir, double *sum_t, double *sum_g, double *total)
{
    std::vector<std::string> paths;
    for (const auto &de : std::filesystem::recursive_directory_iterator(dir))
        if (de.is_regular_file())
            paths.push_back(de.path().string());
    std::sort(paths.begin(), paths.end());
    std::string gzdir = "/tmp/bench_decode_tree_" + std::to_string(getpid());
    std::filesystem::create_directories(gzdir);
    uint64_t bytes = 0;
    size_t gzbytes = 0;
    for (size_t i = 0; i < paths.size(); i++) {
        std::string gz = gzdir + "/" + std::to_string(i) + ".gz";
        if (system(("gzip -9 -c '" + paths[i] + "' > " + gz).c_str()) != 0)
            exit(1);
        gzbytes += (size_t)std::filesystem::file_size(gz);
        bytes += std::filesystem::file_size(paths[i]);
    }
    struct Packed {
        FILE *arc;
        std::vector<std::pair<EntryHeader, long>> entries;
        std::vector<uint16_t> crcs;
    } packs[3];
    for (int m = 0; m < 3; m++) {
        packs[m].arc = tmpfile();
        for (const std::string &path : paths) {
            Entry e = make_entry(path, m + 5);
            Bytes data = read_all(path);
            long pos = ftell(packs[m].arc);
            rewind(e.arc);
            Bytes packed(e.h.comp_size);
            if (fread(packed.data(), 1, packed.size(), e.arc) != packed.size())
                exit(1);
            fwrite(packed.data(), 1, packed.size(), packs[m].arc);
            fclose(e.arc);
            packs[m].entries.push_back({e.h, pos});
            packs[m].crcs.push_back(tmb_crc16(data.data(), data.size(), 0));
        }
    }
    double tg = 1e9, tt[3] = {1e9, 1e9, 1e9};
    bool ok = true;
    for (int r = 0; r < 5; r++) {
        tg = std::min(tg, time_command("find " + gzdir + " -name '*.gz' -exec gzip -dc {} + > /dev/null"));
        for (int m = 0; m < 3; m++) {
            double t0 = now();
            for (size_t i = 0; i < packs[m].entries.size(); i++) {
                auto &[h, pos] = packs[m].entries[i];
                fseek(packs[m].arc, pos, SEEK_SET);
                uint16_t got = 0;
                if (tmb_extract(bench_ctx(), packs[m].arc, nullptr, &h, &got) != 0 || got != packs[m].crcs[i])
                    ok = false;
            }
            tt[m] = std::min(tt[m], now() - t0);
        }
    }
    std::filesystem::remove_all(gzdir);
    double mb = bytes / 1e6;
    *total += mb;
    *sum_g += tg;
    for (int m = 0; m < 3; m++) {
        uint64_t comp = 0;
        for (auto &e : packs[m].entries)
            comp += e.first.comp_size;
        sum_t[m] += tt[m];
        printf("%-11s  -lh%d- %9llu %9zu %10.1f %10.1f %6.2fx  (%zu files)%s\n", "tree/", m + 5,
               (unsigned long long)comp, gzbytes, mb / tt[m], mb / tg, tg / tt[m], paths.size(),
               ok ? "" : "  CRC MISMATCH");
        fclose(packs[m].arc);
    }
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
        Entry entries[3] = {make_entry(path, 5), make_entry(path, 6), make_entry(path, 7)};
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
    if (argc == 2 && std::filesystem::is_directory(dir + "/tree"))
        bench_tree(dir + "/tree", sum_t, &sum_g, &total);
    for (int m = 0; m < 3; m++)
        printf("all          -lh%d- %31.1f %10.1f %6.2fx\n", m + 5, total / sum_t[m], total / sum_g,
               sum_g / sum_t[m]);
    return 0;
}
