// Binary-tree match finder for the optimal encoder (-9).
//
// One binary tree per hash of the next three bytes. Every position is
// inserted as the new root of its tree; the older nodes are split into the
// ones whose following bytes compare lower and higher, so one descent both
// inserts the position and meets, in order, the candidates that share ever
// longer prefixes with it. Each strictly longer match met on the way is
// reported: the result is the list of (length, distance) pairs with
// increasing lengths that the parser needs to consider every length.
//
// Positions are indices into the caller's buffer. The tree links live in a
// ring of 2 x window entries; a node further back than the window is cut
// off together with everything below it (paths run from newer to older).
#pragma once
#include <cstddef>
#include <cstdint>

#include "tmb_codec.h"

namespace tmbopt {

constexpr unsigned MF_HASH_BITS = 16;
constexpr int32_t MF_NONE = -1;   // no position (also: before the buffer)

struct MatchFinder {
    int32_t *head;       // 2^MF_HASH_BITS tree roots
    int32_t *child;      // 2 x MF_MAX_WINDOW: lower and higher subtree of each node
    uint32_t window;     // power of two, at most MF_MAX_WINDOW
    uint32_t max_dist;   // largest distance reported (below the window)
    unsigned depth;      // nodes visited per descent at most
    uint32_t base;       // stream offset of buffer index 0 (ring slots)
};

// The largest window: the tables are sized for it and serve every method.
constexpr uint32_t MF_MAX_WINDOW = 1u << lzh::params_of(7)->dicbit;

// A match as the parser reads it: length 3..256 and distance 1..max_dist.
struct Match {
    uint16_t len;
    uint16_t dist_m1;    // distance - 1, the format's position value
};

// Allocates the tables. false when memory is short. Bytes allocated go to
// *bytes.
bool mf_init(MatchFinder *mf, size_t *bytes);
void mf_free(MatchFinder *mf);

// Forgets every position (a new stream) and sets the window (a power of
// two up to MF_MAX_WINDOW) and the nodes visited per descent.
void mf_reset(MatchFinder *mf, uint32_t window, unsigned depth);

// The buffer moved down by `shift` bytes: positions follow it, and those
// that fell off the front are forgotten.
void mf_rebase(MatchFinder *mf, int32_t shift);

// Inserts position `pos` of `buf` and writes the matches found to `out`
// (room for max_len - 2 entries at most). `max_len` (<= 256) is how many
// bytes from pos may be compared; at least 3. Searching stops at a match of
// `nice` bytes, or max_len if smaller. Returns the number of matches.
unsigned mf_find(MatchFinder *mf, const uint8_t *buf, int32_t pos, unsigned max_len,
                 unsigned nice, Match *out);

// Inserts position `pos` without collecting matches (inside a long match).
void mf_skip(MatchFinder *mf, const uint8_t *buf, int32_t pos, unsigned max_len, unsigned nice);

} // namespace tmbopt
