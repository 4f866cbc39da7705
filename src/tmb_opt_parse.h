// The optimal encoder behind -9: ordinary "-lh5-", "-lh6-" or "-lh7-" data
// whose tokens and block boundaries are chosen by their cost in bits.
//
// The input is taken in regions of up to `region` bytes. For each region:
//  1. the binary-tree match finder lists, for every position, the matches
//     of every length it can reach within the method's window;
//  2. a shortest-path parse over the region, costs from a first greedy
//     parse, then from its own result (the Huffman code lengths the tokens
//     would get), iterated;
//  3. the tokens are cut into blocks where that saves bits (a dynamic
//     program over chunks of tokens, costing each candidate block by the
//     entropy of its symbols plus its code-length lists);
//  4. each block is parsed again with its own code lengths a few times,
//     keeping the cheapest result, and written.
// All state lives in OptEncoder; nothing here is global or reads options.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tmb_opt_block.h"
#include "tmb_opt_match.h"

namespace tmbopt {

// Knobs; the defaults are what -9 uses.
struct OptParams {
    uint32_t region = 1u << 20;    // input bytes parsed together at most
    unsigned depth = 256;          // tree nodes visited per position
    unsigned nice = MAX_MATCH;     // a match this long ends the search
    unsigned region_passes = 2;    // parses of a whole region
    unsigned block_passes = 2;     // parses of each block with its own codes
    unsigned split_rounds = 1;     // block cuts, each followed by block parses
    uint32_t max_block = MAX_BLOCK_TOKENS;   // tokens per block at most
};

// Where the input comes from and the packed bytes go. read returns the
// number of bytes read, 0 at the end; write returns false on failure.
struct OptIo {
    void *user;
    size_t (*read)(void *user, uint8_t *dst, size_t n);
    bool (*write)(void *user, const uint8_t *src, size_t n);
};

struct OptEncoder {
    Method m;
    OptParams prm;
    MatchFinder mf;
    uint8_t *buf;          // window of history, the region, the look-ahead
    size_t buf_size;
    Match *cache;          // matches of the region's positions
    size_t cache_cap;
    uint32_t *mstart;      // region + 1 offsets into cache
    uint32_t *cost;        // region + 1: bits to the end of the range (x 16)
    uint32_t *choice;      // region: token chosen at each position
    uint32_t *tokens;      // region: the parse of the whole region
    uint32_t *btokens;     // region: a block's best parse so far
    uint32_t *btry;        // region: a block's parse being tried
    float *flogf;          // f * log2(f) for the block splitter
    uint32_t *cut;         // block boundaries (token indices) of a region
    uint8_t *outbuf;
    BitSink sink;
    BlockCode bc;
    uint64_t bytes_in;     // input bytes read so far
    size_t mem;            // bytes allocated
};

// Sets up an encoder for method 5, 6 or 7. false when memory is short
// (nothing is left allocated).
bool opt_init(OptEncoder *e, int method, const OptParams &prm = OptParams());
void opt_free(OptEncoder *e);

enum OptResult { OPT_PACKED, OPT_NO_GAIN, OPT_WRITE_FAILED };

// Packs everything `io` reads. Packed data longer than `limit` bytes is
// abandoned (OPT_NO_GAIN) as soon as it would pass the limit; exactly
// `limit` bytes are kept. *packed receives the packed size; e->bytes_in
// the input bytes read. May be called again for another stream.
OptResult opt_encode(OptEncoder *e, const OptIo &io, uint64_t limit, uint64_t *packed);

} // namespace tmbopt
