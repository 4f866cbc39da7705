// What the library's interface costs: each file is packed and unpacked in
// memory twice, once through the codec's own calls (tmb_compress into a
// memory file, tmb_extract testing the entry, the paths bench_pack and
// bench_decode time) and once through the public calls (tambrix_add_memory
// into a memory file, tambrix_read into a buffer), and both speeds are
// reported in MB/s of unpacked data, best of a few runs.
//   bench_api FILE...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "tambrix.h"
#include "tmb_compress.h"
#include "tmb_header.h"
#include "tmb_method.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kRuns = 3;

Bytes read_file(const char *path)
{
    Bytes b;
    FILE *fp = fopen(path, "rb");
    if (!fp)
        return b;
    uint8_t buf[65536];
    size_t k;
    while ((k = fread(buf, 1, sizeof buf, fp)) > 0)
        b.insert(b.end(), buf, buf + k);
    fclose(fp);
    return b;
}

template <class F> double best_seconds(F f)
{
    double best = 1e30;
    for (int i = 0; i < kRuns; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

// A memory file emptied for each run.
FILE *scratch()
{
    int fd = memfd_create("bench", 0);
    return fd < 0 ? nullptr : fdopen(fd, "w+b");
}

void empty(FILE *fp)
{
    fflush(fp);
    rewind(fp);
    if (ftruncate(fileno(fp), 0) != 0)
        abort();
}

Bytes whole(FILE *fp)
{
    fflush(fp);
    Bytes b((size_t)ftello(fp));
    if (pread(fileno(fp), b.data(), b.size(), 0) != (ssize_t)b.size())
        abort();
    return b;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE...\n", argv[0]);
        return 2;
    }
    FILE *out = scratch();
    EncoderCtx *enc = tmb_encoder_new();
    ExtractCtx *ex = tmb_extract_new(256u << 10, 0);
    if (!out || !enc || !ex)
        return 1;
    printf("%-16s %6s %10s %10s %10s %10s %10s\n", "file", "method", "size", "pack", "api pack", "unpack",
           "api unpack");
    for (int i = 1; i < argc; i++) {
        Bytes data = read_file(argv[i]);
        if (data.empty()) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            continue;
        }
        double mb = (double)data.size() / 1e6;
        const char *base = strrchr(argv[i], '/') ? strrchr(argv[i], '/') + 1 : argv[i];
        for (int m : {5, 7}) {
            const char *id = m == 5 ? "-lh5-" : "-lh7-";
            double t_pack = best_seconds([&] {
                FILE *in = fmemopen(data.data(), data.size(), "rb");
                empty(out);
                EntryHeader h = {};
                h.method = m;
                if (!tmb_compress(enc, in, out, &h, m, false, {}))
                    abort();
                fclose(in);
            });
            double t_api_pack = best_seconds([&] {
                empty(out);
                tambrix_writer *w;
                if (tambrix_writer_open_fd(&w, fileno(out)) != TAMBRIX_OK ||
                    tambrix_add_memory(w, "f", data.data(), data.size(), 0, id, 0) != TAMBRIX_OK ||
                    tambrix_writer_finish(w) != TAMBRIX_OK)
                    abort();
                tambrix_writer_free(w);
                fseeko(out, 0, SEEK_END);
            });
            Bytes arc = whole(out);
            double t_unpack = best_seconds([&] {
                FILE *in = fmemopen(arc.data(), arc.size(), "rb");
                EntryHeader h;
                const char *why;
                uint16_t crc;
                if (tmb_walk_next(in, (int64_t)arc.size(), &h, &why) != TMB_WALK_ENTRY ||
                    tmb_extract(ex, in, nullptr, &h, &crc) != TMB_EXTRACT_OK || crc != h.crc)
                    abort();
                fclose(in);
            });
            double t_api_unpack = best_seconds([&] {
                tambrix_reader *r;
                tambrix_entry_info info;
                static uint8_t buf[65536];
                size_t got;
                int rc;
                if (tambrix_reader_open_memory(&r, arc.data(), arc.size()) != TAMBRIX_OK ||
                    tambrix_reader_next(r, &info) != TAMBRIX_OK)
                    abort();
                while ((rc = tambrix_read(r, buf, sizeof buf, &got)) == TAMBRIX_OK && got > 0) {
                }
                if (rc != TAMBRIX_OK)
                    abort();
                tambrix_reader_free(r);
            });
            printf("%-16.16s %6s %10zu %10.1f %10.1f %10.1f %10.1f\n", base, id, data.size(), mb / t_pack,
                   mb / t_api_pack, mb / t_unpack, mb / t_api_unpack);
        }
    }
    tmb_encoder_free(enc);
    tmb_extract_free(ex);
    return 0;
}
