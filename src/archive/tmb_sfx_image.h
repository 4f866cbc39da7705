// Placing an LZH archive inside an AmigaOS hunk executable: the hunk walk,
// the size and offset patches and the output layout of a self-extracting
// file. Kept apart from the command so it can be used on any image.
#pragma once
#include "tmb_log.h"
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Archives up to this size go into the data hunk, which the loader brings
// into memory whole; a larger one goes into a debug block that the loader
// skips (a 1 MB Amiga 500 has no free block for a data hunk of 500 KB).
constexpr size_t SFX_DATA_HUNK_MAX = 256 * 1024;

// Where the archive goes into an image, found by sfx_find_data_hunk and
// completed by sfx_patch_image.
struct SfxPlan {
    int found;            // 1: inside the first data hunk; 0: appended to the image
    size_t data_pos;      // byte offset of the data hunk's type word
    uint32_t data_longs;  // its size in longwords, memory flags masked off
    int hunk_index;       // its number among the image's hunks
    size_t insert_at;     // file offset of the archive data
    size_t fill;          // zero bytes after the archive data
    int in_debug;         // 1: in a HUNK_DEBUG block before the data hunk's end block
    size_t debug_at;      // byte offset of that end block in the image
};

// Walks the hunks of `img` from the header's end to the first data hunk.
// Only code hunks, relocation blocks and end blocks may come before it.
// Returns 1 and fills data_pos, data_longs, hunk_index and insert_at (the end
// of the data hunk's contents) when found; 0 otherwise (plan->found 0).
int sfx_find_data_hunk(const unsigned char *img, size_t len, SfxPlan *plan);

// Patches `img` (a copy of the extractor image, `len` bytes) for an archive
// of `n` bytes: the data hunk's size in the header and in the hunk, and the
// first DE AD BE EF placeholder, which receives the archive's file offset.
// An archive above SFX_DATA_HUNK_MAX goes into a debug block at the end of
// the data hunk instead (the sizes stay), when the hunk has its end block.
// Without a data hunk only the placeholder is set (to `len`: the archive is
// appended). Returns 1, or 0 when the archive is too large to be addressed.
int sfx_patch_image(unsigned char *img, size_t len, size_t n, SfxPlan *plan, const LogSink &log = {});

// Writes the patched image and the archive data to `out` as planned.
// Returns 1 when every write succeeded.
int sfx_write_image(FILE *out, const unsigned char *img, size_t len, const SfxPlan *plan,
                    const unsigned char *data, size_t n);
