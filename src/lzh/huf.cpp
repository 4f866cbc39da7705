// Block coder of "-lh5-", "-lh6-" and "-lh7-".
//
// Tokens are buffered in groups of up to eight behind one flag byte (bit 7
// for the group's first token, a set bit marks a match). A literal takes one
// byte; a match three: length - 3, then the position value high and low.
// When a new group would start within 24 bytes of the end, the block is
// coded with Huffman codes built for exactly its tokens.
#include "huf.h"

#include <cstdlib>

#include "maketree.h"
#include "tmb_enc_ctx.h"

namespace enc {

using lzh::NC;
using lzh::NT;

namespace {

// The bit writer as the head writers of tmb_enc_block.h call it.
struct Bits {
    EncoderCtx *ctx;
    void operator()(unsigned n, unsigned x) const { putbits(ctx, n, x); }
};

void count_t_freq(EncoderCtx *ctx)
{
    for (int i = 0; i < NT; i++)
        ctx->t_freq[i] = 0;
    walk_c_len(ctx->c_len, [ctx](int sym, int, int) { ctx->t_freq[sym]++; });
}

void clear_freq(EncoderCtx *ctx)
{
    for (int i = 0; i < NC; i++)
        ctx->c_freq[i] = 0;
    for (int i = 0; i < ctx->np; i++)
        ctx->p_freq[i] = 0;
}

} // namespace

void write_pt_len(EncoderCtx *ctx, int n, int nbit, int special)
{
    enc::write_pt_len(ctx->pt_len, n, nbit, special, Bits{ctx});
}

bool alloc_buf(EncoderCtx *ctx)
{
    // Ask for 32 KB; when that fails, 10 % less each time down to 4 KB.
    // (A smaller buffer makes smaller blocks, so it changes the packed
    // bytes, never their meaning.)
    unsigned size = 32768;
    unsigned char *p;
    while ((p = static_cast<unsigned char *>(malloc(size))) == nullptr) {
        size = (size / 10) * 9;
        if (size <= 4095)
            return false;
    }
    ctx->buf = p;
    ctx->bufsiz = size;
    return true;
}

void encode_start_st1(EncoderCtx *ctx)
{
    clear_freq(ctx);
    ctx->output_pos = 0;
    ctx->output_mask = 0;
    init_putbits(ctx);
}

void send_block(EncoderCtx *ctx)
{
    const Bits bits{ctx};
    int root = make_tree(NC, ctx->c_freq, ctx->c_len, ctx->c_code);
    unsigned size = ctx->c_freq[root];
    const CodeRef c = {ctx->c_len, ctx->c_code, root < NC ? root : -1};
    // The t code lives in pt_len until the c lengths are written, then the
    // p code takes its place.
    int troot = 0;
    if (c.single < 0) {
        count_t_freq(ctx);
        troot = make_tree(NT, ctx->t_freq, ctx->pt_len, ctx->pt_code);
    }
    write_c_head(size, c, {ctx->pt_len, ctx->pt_code, troot < NT ? troot : -1}, bits);

    root = make_tree(ctx->np, ctx->p_freq, ctx->pt_len, ctx->pt_code);
    write_p_head({ctx->pt_len, ctx->pt_code, root < ctx->np ? root : -1}, ctx->np, ctx->pbit, bits);

    const unsigned char *buf = ctx->buf;
    const uint8_t *c_len = ctx->c_len, *p_len = ctx->pt_len;
    const uint16_t *c_code = ctx->c_code, *p_code = ctx->pt_code;
    unsigned pos = 0;
    unsigned flags = 0;
    BitRun w = bitrun_begin(ctx);
    for (unsigned i = 0; i < size; i++) {
        if (i % 8 == 0)
            flags = buf[pos++];
        else
            flags <<= 1;
        if (flags & 0x80) {
            unsigned c = buf[pos] + 256u;
            bitrun_code(w, c_len[c], c_code[c]);
            encode_p(w, p_len, p_code, ((unsigned)buf[pos + 1] << 8) | buf[pos + 2]);
            pos += 3;
        } else {
            unsigned c = buf[pos++];
            bitrun_code(w, c_len[c], c_code[c]);
        }
        // Past the cap nothing more is written: the driver stores the file.
        if (ctx->unpackable)
            break;
    }
    bitrun_end(w);
    if (ctx->unpackable)
        return;
    clear_freq(ctx);
}

void encode_end_st1(EncoderCtx *ctx)
{
    if (!ctx->unpackable) {
        send_block(ctx);
        // Seven zero bits complete a pending partial byte.
        putbits(ctx, 7, 0);
    }
}

} // namespace enc
