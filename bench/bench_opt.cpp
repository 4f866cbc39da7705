// Runs the optimal encoder (-9) alone with chosen knobs, for tuning:
//   bench_opt METHOD INPUT [region=N] [depth=N] [nice=N] [rpass=N] [bpass=N]
//         [rounds=N]
// Prints the packed size, the processor time and the encoder's memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "tmb_opt_parse.h"

namespace {

struct Mem {
    const std::vector<uint8_t> *in;
    size_t pos;
    uint64_t out;
};

size_t rd(void *u, uint8_t *dst, size_t n)
{
    Mem *m = static_cast<Mem *>(u);
    n = std::min(n, m->in->size() - m->pos);
    memcpy(dst, m->in->data() + m->pos, n);
    m->pos += n;
    return n;
}

bool wr(void *u, const uint8_t *, size_t n)
{
    static_cast<Mem *>(u)->out += n;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s METHOD INPUT [knob=value...]\n", argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[2], "rb");
    if (!f) {
        perror(argv[2]);
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    fclose(f);

    tmbopt::OptParams prm;
    for (int i = 3; i < argc; i++) {
        unsigned v = (unsigned)atoi(strchr(argv[i], '=') ? strchr(argv[i], '=') + 1 : "0");
        if (!strncmp(argv[i], "region=", 7)) prm.region = v;
        else if (!strncmp(argv[i], "depth=", 6)) prm.depth = v;
        else if (!strncmp(argv[i], "nice=", 5)) prm.nice = v;
        else if (!strncmp(argv[i], "rpass=", 6)) prm.region_passes = v;
        else if (!strncmp(argv[i], "bpass=", 6)) prm.block_passes = v;
        else if (!strncmp(argv[i], "rounds=", 7)) prm.split_rounds = v;
        else {
            fprintf(stderr, "unknown knob %s\n", argv[i]);
            return 2;
        }
    }
    auto enc = std::make_unique<tmbopt::OptEncoder>();
    if (!tmbopt::opt_init(enc.get(), atoi(argv[1]), prm)) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    Mem m = {&data, 0, 0};
    uint64_t packed = 0;
    clock_t t0 = clock();
    tmbopt::OptResult r = tmbopt::opt_encode(enc.get(), {&m, rd, wr}, ~0ull, &packed);
    double secs = (double)(clock() - t0) / CLOCKS_PER_SEC;
    printf("%s %llu %.3f s %.2f MB/s mem %zu KB%s\n", argv[2], (unsigned long long)packed, secs,
           data.size() / secs / 1048576.0, enc->mem / 1024, r == tmbopt::OPT_PACKED ? "" : " (failed)");
    tmbopt::opt_free(enc.get());
    return 0;
}
