// The state of one encoder: everything that packing a file changes.
//
// The wrapper (tmb_enc_wrap.cpp) binds one file at a time to a context. The
// dictionary encoder (slide_opt.cpp), or the -9 encoder (tmb_opt_parse.cpp),
// reads the input through read_input (crcio.cpp) and turns it into tokens;
// the block coders (huf.cpp, tmb_opt_block.cpp) give them Huffman codes; the
// bit writer (bitio.cpp) packs the codes into bytes and hands them to the
// output buffer below. Two contexts share nothing, so two threads may pack
// at once, each with its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "tmb_codec.h"

namespace enc {
struct EncodeSet;
}
namespace tmbopt {
struct OptEncoder;
}

struct EncoderCtx {
    // The file being packed, set by the wrapper before each file.
    FILE *infile;
    FILE *outfile;
    int64_t origsize;        // input bytes to pack: the cap for packed output too
    int64_t compsize;        // packed bytes accepted so far
    int unpackable;          // 1 once a packed byte was refused at the cap
    int64_t bytes_read;      // input bytes read so far, never more than origsize
    unsigned crc;            // CRC-16 of those bytes
    lzh::Progress prog;      // told of every read

    // Output buffer: packed bytes reach outfile 64 KB at a time; the wrapper
    // writes what is left at the end, or drops it when packing is abandoned.
    static constexpr size_t ENCIO_BUFSIZE = 65536;
    unsigned char encio_buf[ENCIO_BUFSIZE];
    size_t encio_n;
    int encio_error;         // a write of the buffer fell short (disk full)

    // Bit writer: codes fill one byte from its top bit down.
    unsigned subbitbuf;      // the partly filled byte
    unsigned bitcount;       // free positions left in it, 1 to 8 (8: none pending)

    // Dictionary encoder (slide_opt.cpp). The buffers are sized for the
    // largest window and serve every method.
    int dicbit;              // window bits of the method: 13, 15 or 16
    unsigned dicsiz;         // the window
    unsigned txtsiz;         // part of text in use: 2 * dicsiz + maxmatch
    unsigned maxmatch;
    const enc::EncodeSet *encode_set;   // where the tokens go
    unsigned char *text;     // the window and the look-ahead
    void *hash_pos;          // newest position of each hash of three bytes
    void *prev;              // older positions of the same hash: per position, the distances
                             // to the next few along its chain (16-bit entries)
    unsigned char *hash_too; // chains once found crowded: those holding too_mark
    unsigned char too_mark;
    uint32_t remainder;      // bytes from the current position to the end read

    // Block coder (huf.cpp): tokens buffered with their symbol counts until
    // the block is sent. The frequency tables have room above the symbols
    // for the inner nodes of their Huffman trees.
    static constexpr int NPT = lzh::NT > lzh::NPMAX ? lzh::NT : lzh::NPMAX;
    int np;                  // p symbols of the method
    int pbit;                // width of the p list's count
    unsigned char *buf;      // the block buffer: flag bytes and tokens
    unsigned bufsiz;
    uint16_t output_pos;     // next free byte of buf
    uint16_t output_mask;    // flag bit of the current token in its group
    uint16_t cpos;           // the current group's flag byte
    uint16_t c_freq[2 * lzh::NC - 1];
    uint16_t p_freq[2 * lzh::NPMAX - 1];
    uint16_t t_freq[2 * lzh::NT - 1];
    uint8_t c_len[lzh::NC];
    uint16_t c_code[lzh::NC];
    uint8_t pt_len[NPT];     // the t code while the c lengths are written, then the p code
    uint16_t pt_code[NPT];

    // The -9 encoder: allocated on its first use, kept for the next file.
    tmbopt::OptEncoder *opt;
    int opt_fell_back;       // the last file asked for -9 and got the default
                             // encoder: -9's buffers could not be had

    size_t mem;              // bytes of the buffers above (those of -9 aside)
};

namespace enc {

// Bytes the context holds: itself, its buffers and those of -9.
size_t ctx_bytes(const EncoderCtx *ctx);

// Writes the whole output buffer to outfile and empties it.
void encio_flush(EncoderCtx *ctx);

// One packed byte into the output buffer. A full buffer is written only
// when the next byte arrives, so exactly 64 KB may stay held until the
// wrapper's final write.
inline void encio_put_byte(EncoderCtx *ctx, unsigned char b)
{
    if (ctx->encio_n == EncoderCtx::ENCIO_BUFSIZE)
        encio_flush(ctx);
    ctx->encio_buf[ctx->encio_n++] = b;
}

} // namespace enc
