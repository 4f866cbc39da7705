// The optimal encoder behind -9: ordinary "-lh5-", "-lh6-" or "-lh7-" data
// whose tokens and block boundaries are chosen by their cost in bits.
//
// The input is taken in regions of up to `region` bytes. For each region:
//  1. the binary-tree match finder lists, for every position, the matches
//     of every length it can reach within the method's window;
//  2. a shortest-path parse over the region, costs from a first greedy
//     parse, then from its own result (the Huffman code lengths the tokens
//     would get, and a price for the turns between literals and matches
//     that the decoder does not expect), iterated;
//  3. the tokens are cut into blocks where that saves bits (a dynamic
//     program over chunks of tokens, costing each candidate block by the
//     entropy of its symbols plus its code-length lists);
//  4. each block is parsed again with its own code lengths a few times,
//     keeping the cheapest result, and written.
// Its state lives in an OptEncoder that hangs off the encoder context;
// nothing here is global or reads options.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tmb_opt_block.h"
#include "tmb_opt_match.h"

struct EncoderCtx;

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
    // Prices, in sixteenths of a bit, of a token the decoder does not
    // expect: a literal or a match where the other kind usually follows
    // the kind before it (see turn_prices). BY_METHOD: the method's own.
    static constexpr unsigned BY_METHOD = ~0u;
    unsigned surprise_literal = 12;
    unsigned surprise_match = BY_METHOD;
};

// The price of each symbol in sixteenths of a bit, from the code lengths
// of a block or region, that the parse weighs tokens by.
struct Costs {
    uint32_t lit[256];
    uint32_t len[MAX_MATCH + 1];     // c symbol of each match length
    uint32_t pos[lzh::NPMAX];        // p symbol and extra bits of a class
    uint32_t turn[2][2];             // a literal (0) or match (1) after either
};

// Work space of the block splitter, for every chunk of tokens of a region.
struct SplitSpace {
    uint32_t *ent;         // the chunks' symbol counts, each as symbol << 16 | count
    uint32_t *at;          // chunks + 1: first count of each chunk in ent
    uint32_t *mid;         // first p class count of each chunk
    uint32_t *ntok;        // tokens of each chunk
    uint32_t *nmat;        // matches of each chunk
    uint32_t *from;        // chunks + 1: where the best last block before a chunk starts
    double *best;          // chunks + 1: estimated bits of the best cut before a chunk
    uint32_t freq[lzh::NC + lzh::NPMAX];   // counts of one candidate block
};

struct OptEncoder {
    lzh::Params m;         // the method
    OptParams prm;         // the knobs of the file being packed
    MatchFinder mf;
    uint8_t *buf;          // window of history, the region, the look-ahead
    size_t buf_size;       // bytes of buf in use for this method and region
    Match *cache;          // matches of the region's positions
    size_t cache_cap;      // entries of cache in use for this region
    uint32_t *mstart;      // region + 1 offsets into cache
    uint32_t *cost;        // 2 x (region + 1): bits to the end of the range (x 16),
                           // after a literal and after a match
    uint32_t *choice;      // region: token chosen at each position
    uint32_t *tokens;      // region: the parse of the whole region
    uint32_t *btokens;     // region: a block's best parse so far
    uint32_t *cut;         // block boundaries (token indices) of a region
    SplitSpace split;
    float *flogf;          // f * log2(f) for the block splitter
    uint32_t region_cap;   // the region the buffers above are allocated for
    BlockCode bc;
    size_t mem;            // bytes allocated
};

// Gets the context's -9 encoder ready for method 5, 6 or 7 with the knobs
// `prm`. Its buffers are allocated on first use and grown when a larger
// region needs more; they stay for the next file. false when memory is
// short.
bool opt_prepare(EncoderCtx *ctx, int method, const OptParams &prm = OptParams());

// Packs the input bound to the context (tmb_enc_wrap.h) to its end, like
// enc::encode: compsize, crc, bytes_read and unpackable tell the outcome.
void opt_encode(EncoderCtx *ctx);

// The parse alone, under prices fixed by the caller: the first `n` bytes of
// `data` (at most the region) as one region with no history, their match
// lists and the cheapest tokens for them (to `out`, room for n). No pricing
// passes, no blocks, no output. Returns the token count. Lets the parse be
// held against an exhaustive search.
size_t opt_parse_fixed(EncoderCtx *ctx, const uint8_t *data, uint32_t n, const Costs &c, uint32_t *out);

// Frees the -9 encoder of the context, if it has one.
void opt_free(EncoderCtx *ctx);

} // namespace tmbopt
