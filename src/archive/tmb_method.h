// Unpacking entries: the extraction driver and its contexts.
#pragma once
#include <cstdint>
#include <cstdio>
#include "tmb_codec.h"
#include "tmb_header.h"

// Results of tmb_extract.
enum : int {
    TMB_EXTRACT_OK = 0,
    TMB_EXTRACT_FAILED = -1,      // no memory, or writing the output failed
    TMB_EXTRACT_DAMAGED = -2,     // the packed data ends before the entry does
    TMB_EXTRACT_UNSUPPORTED = -3, // a method this program cannot unpack
    TMB_EXTRACT_PIECE = 1,        // tmb_extract_next: a piece of the bytes
};

// What unpacking needs between entries: the decoder (its tables, window
// and output buffer, obtained on first use) and the buffer limits. One per
// thread; contexts share nothing.
struct ExtractCtx;

// `inbuf_max`: the largest packed entry read into memory whole (larger ones
// are streamed, to the same bytes). `outbuf_max`: bytes handed to the
// output per write (0: 64 KB). They are capped at 256 KB and 64 KB.
// nullptr when memory is short.
ExtractCtx *tmb_extract_new(uint64_t inbuf_max, uint64_t outbuf_max);
void tmb_extract_free(ExtractCtx *ctx);

// Unpacks the entry whose packed data starts at the current position of
// `arc` into `out` (nullptr: decode and compute the CRC only). One of the
// results above; *crc (the CRC-16 of the bytes produced) is only set, and
// only worth comparing, after TMB_EXTRACT_OK. Bytes produced are reported
// to `prog`. Afterwards `arc` stands at the end of the entry's packed data,
// unless reading the archive failed. Nothing is printed: the caller names
// the entry and says why (tmb_extract_out_of_memory tells a lack of memory
// from a failed write).
int tmb_extract(ExtractCtx *ctx, FILE *arc, FILE *out, const EntryHeader *h, uint16_t *crc,
                const lzh::Progress &prog = {});

// The same for an entry whose packed data starts at `offset` of the file
// `fd`, read with pread: the descriptor's own position is not used, so
// several threads may unpack entries of one archive at once, each with its
// own context.
int tmb_extract_at(ExtractCtx *ctx, int fd, int64_t offset, FILE *out, const EntryHeader *h,
                   uint16_t *crc, const lzh::Progress &prog = {});

// The same, pulled by the caller a piece at a time. tmb_extract_begin
// starts on the entry whose packed data starts at the current position of
// `arc`: TMB_EXTRACT_OK, or a result as tmb_extract's with nothing started
// (and `arc` past the entry). tmb_extract_next then gives the next piece
// (TMB_EXTRACT_PIECE: *p and *n, at most 64 KB, valid until the next call
// on `ctx`), or how the entry ended: TMB_EXTRACT_OK with *crc set, or
// TMB_EXTRACT_DAMAGED; `arc` then stands past the entry. Until the end the
// entry owns `arc` and `ctx`: a caller that gives up early repositions
// `arc` itself.
int tmb_extract_begin(ExtractCtx *ctx, FILE *arc, const EntryHeader *h);
int tmb_extract_next(ExtractCtx *ctx, const uint8_t **p, size_t *n, uint16_t *crc);

// True when the last tmb_extract or tmb_extract_at on `ctx` failed
// (TMB_EXTRACT_FAILED) because the decoder's memory could not be had.
bool tmb_extract_out_of_memory(const ExtractCtx *ctx);

// Clears the decoder's code tables (they carry over between entries), so
// that a test or fuzz run starts from a known state.
void tmb_extract_reset_tables(ExtractCtx *ctx);

// True when tmb_extract can unpack the entry: its method is known and
// supported (an empty "-lh1-" entry needs no decoder).
bool tmb_extract_supported(const EntryHeader *h);
