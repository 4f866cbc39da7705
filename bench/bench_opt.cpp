// Runs the optimal encoder (-9) alone with chosen knobs, for tuning:
//   bench_opt METHOD INPUT [region=N] [depth=N] [nice=N] [rpass=N] [bpass=N]
//         [rounds=N] [lit=N] [match=N]   (lit, match: surprise prices, 1/16 bit)
// Prints the packed size, the processor time, the memory of the -9 encoder
// and that of the whole context.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tmb_compress.h"
#include "tmb_enc_ctx.h"
#include "tmb_enc_wrap.h"
#include "tmb_opt_parse.h"

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s METHOD INPUT [knob=value...]\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[2], "rb");
    if (!in) {
        perror(argv[2]);
        return 1;
    }
    FILE *out = fopen("/dev/null", "wb");
    if (!out) {
        perror("/dev/null");
        return 1;
    }
    fseek(in, 0, SEEK_END);
    long size = ftell(in);
    rewind(in);

    tmbopt::OptParams prm;
    for (int i = 3; i < argc; i++) {
        unsigned v = (unsigned)atoi(strchr(argv[i], '=') ? strchr(argv[i], '=') + 1 : "0");
        if (!strncmp(argv[i], "region=", 7)) prm.region = v;
        else if (!strncmp(argv[i], "depth=", 6)) prm.depth = v;
        else if (!strncmp(argv[i], "nice=", 5)) prm.nice = v;
        else if (!strncmp(argv[i], "rpass=", 6)) prm.region_passes = v;
        else if (!strncmp(argv[i], "bpass=", 6)) prm.block_passes = v;
        else if (!strncmp(argv[i], "rounds=", 7)) prm.split_rounds = v;
        else if (!strncmp(argv[i], "lit=", 4)) prm.surprise_literal = v;
        else if (!strncmp(argv[i], "match=", 6)) prm.surprise_match = v;
        else {
            fprintf(stderr, "unknown knob %s\n", argv[i]);
            return 2;
        }
    }
    EncoderCtx *ctx = tmb_encoder_new();
    // No cap on the packed size: it is measured whatever it comes to.
    if (ctx)
        encode_bind(ctx, in, out, (int64_t)1 << 40, {});
    if (!ctx || !tmbopt::opt_prepare(ctx, atoi(argv[1]), prm)) {
        fprintf(stderr, "no memory\n");
        return 1;
    }
    clock_t t0 = clock();
    tmbopt::opt_encode(ctx);
    double secs = (double)(clock() - t0) / CLOCKS_PER_SEC;
    printf("%s %lld %.3f s %.2f MB/s mem %zu KB (context %zu KB)\n", argv[2], (long long)ctx->compsize,
           secs, size / secs / 1048576.0, ctx->opt->mem / 1024, enc::ctx_bytes(ctx) / 1024);
    tmb_encoder_free(ctx);
    fclose(in);
    fclose(out);
    return 0;
}
