// Decompression internals shared by the block decoder (tmb_decode.cpp) and
// the extraction driver (tmb_method.cpp). Nothing outside these two files
// needs this header; the public entry point is tmb_extract (tmb_method.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------
// Packed-byte source (tmb_decode.cpp)
//
// One entry at a time. Memory mode holds the whole packed data when it fits
// within g_inbuf_max and can be read in one go; otherwise the bytes are
// streamed from the archive, never more than comp_size of them.

// Prepares the source for an entry whose packed data starts at the current
// position of `fp`. Also clears the bit buffer.
void in_open(FILE *fp, uint64_t comp_size);
// Releases the in-memory copy (if any). Safe to call more than once.
// In stream mode, first moves the archive past the entry's packed bytes
// not read yet, so the stream always ends at the entry's end.
void in_close();
// 1 when the current entry is read from memory.
int in_memory_mode();
// Next packed byte (0..255), or -1 when the entry's data is exhausted.
int in_getbyte();
// Memory mode only: points *p at up to n unread bytes and consumes them;
// returns how many there were.
size_t in_view(const uint8_t **p, size_t n);
// Copies up to n unread bytes into dst; returns how many were copied.
size_t in_read(uint8_t *dst, size_t n);

// ---------------------------------------------------------------------------
// Block decoder of "-lh4-" to "-lh7-" (tmb_decode.cpp)

// Decodes until n bytes have been produced into the output window.
// 0 on success (damaged data still yields n bytes, for the CRC to judge),
// -1 when handing the bytes on failed (a write error on the output stream),
// -2 when decoding ran past the packed bytes (the entry is cut off).
int decode_lhX(uint64_t n, int np);

// Clears every code table and tree node. The tables normally carry over
// from entry to entry (damaged data can reach old tree nodes); tests use
// this to start from a known state.
void decode_tables_reset();

// ---------------------------------------------------------------------------
// Output side (tmb_method.cpp)
//
// The output buffer and the sliding window share one allocation: bytes are
// produced at a moving position with at least one window of history right
// before it, so a match is a plain copy from earlier in the same buffer.
// The region [pos, limit) may be written without a flush; a flush hands the
// bytes produced since the previous one on (CRC-16, progress, write) and may
// slide the last window of bytes back to the front.

// Fills the `size` bytes before the first output position with spaces.
// 1 when ready, 0 when there is no buffer. `size` is a power of two <= 65536.
int dwin_init(uint64_t size);
// Window size - 1 of the current entry.
size_t dwin_mask();
// Returns the first output position and the limit up to which the decoder
// may write without calling out_flush.
uint8_t *out_begin(uint8_t **limit);
// Called when fewer than `need` bytes (1 for a literal, the length of a
// match) remain before the limit. Flushes when the output buffer cannot
// take `need` more bytes; returns the next position and its limit, at least
// `need` bytes on, or nullptr when writing to the output stream failed.
uint8_t *out_flush(uint8_t *pos, size_t need, uint8_t **limit);
// Flushes everything up to `pos` at the end of an entry. 0, or -1 when
// writing failed.
int out_finish(uint8_t *pos);

// Frees the output buffer so that the next tmb_extract obtains a new one
// sized by the current g_outbuf_max (normally it is kept for the process).
void tmb_extract_release_buffers();
