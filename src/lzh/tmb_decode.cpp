// Block decoder for the methods "-lh4-" to "-lh7-": the packed-byte source,
// the bit reader, the code-length lists, the lookup tables and the loop that
// turns symbols back into bytes.
//
// The compressed format in brief. The packed data is one bit stream, most
// significant bit of each byte first, with no header and no end marker;
// decoding stops when the entry's size has been produced. It is a sequence of
// blocks:
//
//   16 bits   block size: the number of c symbols in the block
//   t list    code lengths of the 19-symbol t code (5-bit count)
//   c list    code lengths of the 510-symbol c code (9-bit count), each
//             length or run of zero lengths coded with the t code
//   p list    code lengths of the np-symbol p code (4- or 5-bit count)
//   symbols   c < 256 is a literal byte; c >= 256 is a match of length
//             c - 253, followed by a p symbol and p - 1 extra bits giving the
//             distance back
//
// All three codes are canonical Huffman codes. A count of 0 means a code of
// one symbol that takes no bits at all.
//
// Damaged data is decoded too, deterministically: missing bytes read as zero
// bits, bad lengths give bad tables, and a lookup that finds nothing gives
// symbol 0. The damage then shows up as a CRC mismatch in the caller. Every
// loop here is bounded and every table write is range-checked, so no input
// can hang the decoder or make it touch memory it does not own.
#include "tmb_decode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "tmb_codec.h"
#include "tmb_crc.h"

namespace lzh {

namespace {

constexpr unsigned CTBITS = 12;    // width of the c lookup table
constexpr unsigned PTBITS = 8;     // width of the t/p lookup table
constexpr unsigned MAXNODE = 4094; // highest tree node number
constexpr unsigned MAXWALK = 32;   // a tree walk gives up after this many bits
constexpr size_t STREAM_CHUNK = 65536;

// Bits a decoder may take past the entry's packed bytes before the entry
// counts as cut off. The padding of the last byte lies inside the packed
// bytes; the slack lets an encoder that trims a last byte of zero bits
// still be read. Beyond it the "bits" are zeros we made up, and decoding on
// would turn a few bytes into whatever size the header claims.
constexpr uint64_t OVERRUN_SLACK_BITS = 4 * 8;

// The output buffer doubles as the sliding window: a history area of the
// largest window comes before the output area. The decoder writes at a
// moving position and copies matches straight from the bytes before it;
// when the output area runs full, the last window of bytes slides back into
// the history area. So a byte is written once, not once to the window and
// again to the output.
constexpr size_t HIST = 65536;           // history area: the largest window
constexpr size_t SLACK = 64;             // room for word-wise copies running over
constexpr size_t FAST_OUT = 264;         // a longest match and a literal, and then some
constexpr ptrdiff_t FAST_IN = 16;        // two refills of at most 8 bytes
constexpr size_t MIN_AREA = 128 * 1024;  // output area when the flush size is small
constexpr uint64_t MIN_CAP = 256;        // a longest match must fit after a flush
constexpr size_t CRC_STEP = 32768;       // CRC the output in steps of this
constexpr size_t TEST_AREA = 64 * 1024;  // output area used when only testing

// The bit reader. `buf` holds the next bits left-aligned (the next bit is
// bit 63) and `cnt` of them are valid. Below the valid bits there may be
// copies of the bits that follow in the stream (the word-wise refill loads
// whole words), never anything else, so OR-ing those bytes in again later is
// harmless. `ip`..`iend` are the packed bytes not yet loaded.
struct Bits {
    uint64_t buf;
    unsigned cnt;
    const uint8_t *ip;
    const uint8_t *iend;
};

// Fast forms of c_table and p_table, built along with them: either a
// symbol with the number of bits it takes (bits 0-7: length, 8-19: symbol),
// or WALK with the tree node to walk from. The walk itself always reads the
// live left/right arrays.
constexpr uint32_t WALK = 1u << 31;

enum class Job { Done, Decode, Stored }; // Done first: a fresh decoder runs nothing
enum class Held { None, Literal, Match };

} // namespace

struct Decoder {
    // Packed-byte source of the current entry.
    Source src;
    bool memory;        // all packed bytes are in src.mem
    bool stream_ended;  // src.read returned short
    Bits b;
    uint64_t zeros;     // zero bytes supplied after the packed data ran out
    bool overrun;       // more than the slack of them has been consumed
    uint8_t *chunk;     // stream mode: the bytes read so far (STREAM_CHUNK)

    // Code tables. They keep their contents between blocks and entries:
    // damaged data may make one code's tree walk through another's old
    // nodes, and the result must not depend on anything but the input.
    uint8_t c_len[NC];
    uint16_t c_table[1u << CTBITS];
    uint8_t p_len[NT];
    uint16_t p_table[1u << PTBITS];
    uint16_t left[4096];
    uint16_t right[4096];
    int np_max;
    uint32_t blocksize;
    uint32_t cfast[1u << CTBITS];
    uint32_t pfast[1u << PTBITS];

    // Output window and buffer.
    uint8_t *outbuf;       // history area + output area + slack
    uint64_t outbuf_cap;   // bytes per piece given out
    size_t area;           // size of the output area (>= outbuf_cap)
    uint8_t *pending;      // first byte produced but not yet flushed
    uint8_t *crc_done;     // first byte not yet in outcrc
    uint64_t pend;         // bytes produced since the last flush
    uint64_t dwinmask;     // window size - 1 of the current entry
    size_t spaces;         // bytes right before the output area known to be spaces
    bool keep;             // the caller wants the bytes, not only their count
    uint16_t outcrc;

    // The run in progress between two calls of decode_next. A run stops
    // whenever a piece is due and goes on where it stopped: the symbols
    // left in the block, the bytes left to produce, the output position,
    // and the one symbol that found no room before the piece went out.
    Job job;
    int result;            // the run's end, once job is Job::Done
    const Params *mp;
    uint64_t todo;
    uint32_t r;
    uint8_t *out;
    uint8_t *limit;
    bool handed;           // a piece went out: the area moves on first
    Held held;
    unsigned held_len;     // a match's length, or the literal itself
    size_t held_dist;      // a match's distance - 1
};

namespace {

// ---------------------------------------------------------------------------
// Packed bytes

// Stream mode: keeps the unread tail of the chunk and reads more behind it.
void span_refill(Decoder *d)
{
    size_t keep = (size_t)(d->b.iend - d->b.ip);
    memmove(d->chunk, d->b.ip, keep);
    size_t want = STREAM_CHUNK - keep;
    size_t got = d->src.read(d->src.user, d->chunk + keep, want);
    if (got < want)
        d->stream_ended = true;
    d->b.ip = d->chunk;
    d->b.iend = d->chunk + keep + got;
}

bool more_to_stream(const Decoder *d) { return !d->memory && !d->stream_ended; }

void source_open(Decoder *d, const Source &src)
{
    d->src = src;
    d->memory = src.read == nullptr;
    d->stream_ended = src.read == nullptr;
    if (d->memory)
        d->b = Bits{0, 0, src.mem, src.mem + src.mem_size};
    else
        d->b = Bits{0, 0, d->chunk, d->chunk};
    d->zeros = 0;
    d->overrun = false;
}

// Copies up to n unread bytes into dst; returns how many were copied.
size_t source_read(Decoder *d, uint8_t *dst, size_t n)
{
    size_t done = std::min<size_t>(n, (size_t)(d->b.iend - d->b.ip));
    memcpy(dst, d->b.ip, done);
    d->b.ip += done;
    if (done < n && more_to_stream(d)) {
        size_t want = n - done;
        size_t got = d->src.read(d->src.user, dst + done, want);
        if (got < want)
            d->stream_ended = true;
        done += got;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Bits

inline uint64_t load_be64(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

// The made-up bytes sit behind the real ones in the buffer, so what has been
// taken of them is their bits less the `cnt` bits still held.
inline uint64_t made_up_bits_taken(const Decoder *d, unsigned cnt)
{
    return d->zeros * 8 > cnt ? d->zeros * 8 - cnt : 0;
}

// Tops up to at least 56 valid bits byte by byte; past the end of the packed
// data zero bits are supplied and the count still grows.
[[gnu::noinline]] Bits refill_slow(Decoder *d, Bits b)
{
    if (more_to_stream(d)) {
        d->b.ip = b.ip;
        d->b.iend = b.iend;
        span_refill(d);
        b.ip = d->b.ip;
        b.iend = d->b.iend;
    }
    while (b.cnt < 56) {
        unsigned byte = 0;
        if (b.ip < b.iend)
            byte = *b.ip++;
        else
            d->zeros++;
        b.buf |= (uint64_t)byte << (56 - b.cnt);
        b.cnt += 8;
    }
    if (made_up_bits_taken(d, b.cnt) > OVERRUN_SLACK_BITS)
        d->overrun = true;
    return b;
}

// Tops up to at least 56 valid bits, a whole word at a time when 8 bytes are
// at hand.
inline void refill(Decoder *d, Bits &b)
{
    if (b.iend - b.ip >= 8) [[likely]] {
        b.buf |= load_be64(b.ip) >> b.cnt;
        b.ip += (63 - b.cnt) >> 3;
        b.cnt |= 56;
    } else {
        b = refill_slow(d, b);
    }
}

// The same on d->b, for the decoder loop's locals.
[[gnu::noinline]] void refill_slow_s(Decoder *d) { d->b = refill_slow(d, d->b); }

inline unsigned peek(const Bits &b, unsigned n) { return (unsigned)(b.buf >> (64 - n)); }

inline void drop(Bits &b, unsigned n)
{
    b.buf <<= n;
    b.cnt -= n;
}

// Takes n bits, 1 <= n <= 16.
inline unsigned getbits(Decoder *d, unsigned n)
{
    Bits &b = d->b;
    if (b.cnt < n)
        refill(d, b);
    unsigned v = peek(b, n);
    drop(b, n);
    return v;
}

// ---------------------------------------------------------------------------
// Tables

// Fast-table entries. A c entry holds the symbol with its code length
// (bits 0-7: length, 8-19: symbol).
//
// A p entry holds what a position class means instead. Class 0 and 1 stand
// for distance - 1 = the class itself; class p >= 2 for 2^(p-1) plus p - 1
// extra bits. The entry holds the bits that the code and its extra bits take
// together (bits 0-7) and what to add to those bits, read as one number, to
// get distance - 1 (bits 8-30: the base less the code's own bits shifted
// past the extra bits, modulo 2^23). So the decoder needs no branch on the
// class, no mask and one shift to move the buffer on, which shortens the
// chain from one symbol's lookup to the next.
inline uint32_t fast_symbol(unsigned sym, unsigned len) { return (uint32_t)(sym << 8 | len); }
inline uint32_t walk_entry(unsigned node) { return WALK | (uint32_t)node << 8; }

inline uint32_t fast_position(unsigned sym, unsigned len, unsigned code)
{
    unsigned extra = sym >= 2 ? sym - 1 : 0;
    unsigned base = sym >= 2 ? 1u << extra : sym;
    uint32_t add = (base - (code << extra)) & 0x7FFFFF;
    return add << 8 | (len + extra);
}

// Distance - 1 from a p entry and the bits at the top of the buffer (its
// code and extra bits, not yet dropped). Exact modulo 2^23, which is more
// than every window mask keeps.
inline size_t position_value(uint32_t pe, uint64_t bitbuf)
{
    return (size_t)(bitbuf >> 1 >> (63 - (pe & 0xFF))) + (pe >> 8);
}

// Stores v in p[0..n). Most runs are a power of two of 8 or more entries,
// which go a block at a time; a generic fill's set-up per run would cost
// more than the few stores it makes.
template <class T> inline void fill_run(T *p, unsigned n, T v)
{
    if (n % 8 == 0) {
        T block[8];
        std::fill(block, block + 8, v);
        for (unsigned i = 0; i < n; i += 8)
            memcpy(p + i, block, sizeof block);
        return;
    }
    for (unsigned i = 0; i < n; i++)
        p[i] = v;
}

// Hangs the code `code` (16 bits, left-aligned) of symbol j, longer than
// the table's `w` bits, into the tree below its first w bits: the code bits
// after them select left (0) or right (1) children, creating nodes where the
// path does not exist yet. A slot that holds a symbol from an over-full set
// is followed as if it were a node; all values stay below 4096, so that
// stays inside the arrays. Returns the number of the next free node.
unsigned hang_long_code(Decoder *d, unsigned j, unsigned l, unsigned code, unsigned w, uint16_t *table,
                        unsigned avail)
{
    uint16_t *slot = &table[code >> (16 - w)];
    for (int bit = 15 - (int)w; bit > 15 - (int)l; bit--) {
        if (*slot == 0) {
            if (avail > MAXNODE)
                break;
            d->left[avail] = d->right[avail] = 0;
            *slot = (uint16_t)avail++;
        }
        slot = (code >> bit) & 1 ? &d->right[*slot] : &d->left[*slot];
    }
    *slot = (uint16_t)j;
    return avail;
}

// The c entry of a table slot that roots a long code: the root of the walk
// or, when no node was left for it, the symbol itself.
inline uint32_t root_entry(unsigned v, unsigned nsym, const uint8_t *len)
{
    return v < nsym ? fast_symbol(v, len[v]) : walk_entry(v);
}

// Builds the lookup table of a canonical code: codes of up to `w` bits fill
// 2^(w-L) table entries; longer codes hang below their first w bits in a
// binary tree of nodes numbered from `nsym` up, children in left/right.
// `fast`, when given, receives the same table in the c entries' form.
//
// The lengths are not checked. An over-full set makes later symbols
// overwrite earlier ones; entries no code reaches stay 0 (symbol 0).
// Lengths above 16 (only damaged data has them) give the symbol no code.
void make_table(Decoder *d, unsigned nsym, const uint8_t *len, unsigned w, uint16_t *table, uint32_t *fast)
{
    unsigned count[17] = {};
    unsigned nextcode[17];
    for (unsigned j = 0; j < nsym; j++)
        if (len[j] >= 1 && len[j] <= 16)
            count[len[j]]++;
    // Codes are 16-bit left-aligned values; each length starts where the
    // previous one ended (wrapping in 16 bits when the set is over-full).
    nextcode[1] = 0;
    uint32_t space = count[1] << 15; // the code space the lengths use up
    for (unsigned l = 1; l < 16; l++) {
        nextcode[l + 1] = (nextcode[l] + (count[l] << (16 - l))) & 0xFFFF;
        space += count[l + 1] << (15 - l);
    }
    unsigned tsize = 1u << w;
    unsigned avail = nsym;

    if (space <= 0x10000) {
        // No two codes overlap, which every encoder's codes satisfy. Then
        // the codes of up to w bits fill the table from its start in order
        // of length, then of symbol: one run length per code length keeps
        // the stores regular, which matters because a block's head is read
        // every few thousand symbols.
        uint16_t order[NC];
        unsigned first[18];
        first[1] = 0;
        for (unsigned l = 1; l <= 16; l++)
            first[l + 1] = first[l] + count[l];
        for (unsigned j = 0; j < nsym; j++)
            if (len[j] >= 1 && len[j] <= w)
                order[first[len[j]]++] = (uint16_t)j;
        // With a fast table, `table` serves only to hang the longer codes,
        // and only their slots are read.
        unsigned at = 0, k = 0;
        for (unsigned l = 1; l <= w; l++) {
            unsigned run = 1u << (w - l);
            for (unsigned end = k + count[l]; k < end; k++, at += run) {
                if (fast)
                    fill_run(fast + at, run, fast_symbol(order[k], l));
                else
                    fill_run(table + at, run, order[k]);
            }
        }
        // The slots the longer codes start in (empty until they are hung
        // in), then the slots no code reaches.
        unsigned long_end = (unsigned)((space + (1u << (16 - w)) - 1) >> (16 - w));
        fill_run(table + at, long_end - at, (uint16_t)0);
        for (unsigned j = 0; j < nsym; j++) {
            unsigned l = len[j];
            if (l <= w || l > 16)
                continue;
            unsigned code = nextcode[l];
            nextcode[l] = code + (1u << (16 - l));
            avail = hang_long_code(d, j, l, code, w, table, avail);
            if (fast)
                fast[code >> (16 - w)] = root_entry(table[code >> (16 - w)], nsym, len);
        }
        if (fast)
            fill_run(fast + long_end, tsize - long_end, fast_symbol(0, len[0]));
        else
            fill_run(table + long_end, tsize - long_end, (uint16_t)0);
        return;
    }

    // Over-full: the codes are placed in symbol order, later ones over
    // earlier ones.
    fill_run(table, tsize, (uint16_t)0);
    if (fast)
        fill_run(fast, tsize, fast_symbol(0, len[0]));
    for (unsigned j = 0; j < nsym; j++) {
        unsigned l = len[j];
        if (l == 0 || l > 16)
            continue;
        unsigned code = nextcode[l];
        nextcode[l] = (code + (1u << (16 - l))) & 0xFFFF;
        unsigned start = code >> (16 - w);
        if (l <= w) {
            unsigned end = std::min(start + (1u << (w - l)), tsize);
            fill_run(table + start, end - start, (uint16_t)j);
            if (fast)
                fill_run(fast + start, end - start, fast_symbol(j, l));
            continue;
        }
        avail = hang_long_code(d, j, l, code, w, table, avail);
        if (fast)
            fast[start] = root_entry(table[start], nsym, len);
    }
}

// A code of one symbol: every table entry holds it, and it takes no bits.
void single_table(unsigned s, unsigned nsym, unsigned w, uint16_t *table, uint32_t *fast)
{
    std::fill(table, table + (1u << w), (uint16_t)s);
    if (fast)
        std::fill(fast, fast + (1u << w), s < nsym ? fast_symbol(s, 0) : walk_entry(s));
}

// The p entries, from the finished p table. A table entry v < np is a
// symbol whose code's first len[v] bits are those of the entry's index
// (the entry lies in the code's range); a longer code's symbol (only an
// over-full set puts one there) and a tree node are WALK entries, and
// long_p_distance reads on from the table's bits.
void make_position_table(Decoder *d, unsigned np)
{
    for (unsigned i = 0; i < (1u << PTBITS); i++) {
        unsigned v = d->p_table[i];
        unsigned l = v < np ? d->p_len[v] : 0;
        if (v < np && l <= PTBITS)
            d->pfast[i] = fast_position(v, l, i >> (PTBITS - l));
        else
            d->pfast[i] = walk_entry(v);
    }
}

// Walks the tree from `node`, one bit per step, until a value below `nsym`
// (a symbol). After 32 steps without one the walk ends with symbol 0. Only
// damaged data makes walks longer than the bits at hand; the walk then
// simply reads on in the stream.
[[gnu::noinline]] unsigned walk_tree(Decoder *d, unsigned node, unsigned nsym)
{
    for (unsigned step = 1;; step++) {
        if (d->b.cnt == 0)
            refill(d, d->b);
        unsigned bit = (unsigned)(d->b.buf >> 63);
        drop(d->b, 1);
        if (step == MAXWALK)
            return 0;
        node = bit ? d->right[node] : d->left[node];
        if (node < nsym)
            return node;
    }
}

// The distance value (distance - 1) of a p code too long for the table:
// the walk from `node` (or, for a symbol, the rest of its code) and the
// class's extra bits, read through d->b. On running out of input
// d->overrun is set and the value means nothing.
unsigned long_p_distance(Decoder *d, unsigned node, unsigned nsym_p)
{
    unsigned p = node;
    if (node >= nsym_p) {
        p = walk_tree(d, node, nsym_p);
    } else {
        // A symbol whose code is longer than the table: the rest of it.
        unsigned rest = d->p_len[p] - PTBITS;
        if (d->b.cnt < rest)
            refill(d, d->b);
        drop(d->b, rest);
    }
    if (p < 2 || d->overrun)
        return p;
    unsigned k = p - 1;
    if (d->b.cnt < k)
        refill(d, d->b);
    unsigned v = (1u << k) + peek(d->b, k);
    drop(d->b, k);
    return v;
}

// One symbol of the t code (p_table holds the t table while the c lengths
// are read).
unsigned read_t_symbol(Decoder *d)
{
    if (d->b.cnt < 32)
        refill(d, d->b);
    unsigned e = d->p_table[peek(d->b, PTBITS)];
    if (e < NT) {
        drop(d->b, d->p_len[e]);
        return e;
    }
    drop(d->b, PTBITS);
    return walk_tree(d, e, NT);
}

// One code length: 3 bits, and 7 escapes to 7 + a run of 1 bits ended by a
// 0 bit. At most 16 ones are counted; the bit after the sixteenth ends the
// run whatever it is (length 23, damaged data only).
unsigned read_length(Decoder *d)
{
    unsigned l = getbits(d, 3);
    if (l == 7) {
        unsigned ones = 0;
        while (ones < 16 && getbits(d, 1))
            ones++;
        if (ones == 16)
            getbits(d, 1);
        l += ones;
    }
    return l;
}

// Reads the t list (nsym 19, count width 5, zero-run field after the third
// length) or the p list (no zero-run field: zero_run_at = -1) into p_len and
// builds p_table.
void read_pt_len(Decoder *d, unsigned nsym, unsigned nbit, int zero_run_at)
{
    unsigned n = getbits(d, nbit);
    if (n == 0) {
        unsigned s = getbits(d, nbit);
        std::fill(d->p_len, d->p_len + nsym, 0);
        single_table(s, nsym, PTBITS, d->p_table, nullptr);
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned l = read_length(d);
        if (i < nsym)
            d->p_len[i] = (uint8_t)l;
        i++;
        if ((int)i == zero_run_at) {
            // 2-bit count of further zero lengths, present even when the
            // list ends here.
            unsigned z = getbits(d, 2);
            while (z-- > 0 && i < n) {
                if (i < nsym)
                    d->p_len[i] = 0;
                i++;
            }
        }
    }
    while (i < nsym)
        d->p_len[i++] = 0;
    make_table(d, nsym, d->p_len, PTBITS, d->p_table, nullptr);
}

// Reads the c lengths through the t code and builds c_table. t symbols 0, 1
// and 2 are runs of 1, 3..18 and 20..531 zero lengths; 3..18 are lengths
// 1..16. A count of 511 covers index 510 too: a length read there is
// discarded, and a zero run there ends the list (it could write nothing, so
// going on would never get past it).
void read_c_len(Decoder *d)
{
    unsigned n = getbits(d, 9);
    if (n == 0) {
        unsigned s = getbits(d, 9);
        std::fill(d->c_len, d->c_len + NC, 0);
        single_table(s, NC, CTBITS, d->c_table, d->cfast);
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned t = read_t_symbol(d);
        if (t >= 3) {
            if (i < NC)
                d->c_len[i] = (uint8_t)(t - 2);
            i++;
            continue;
        }
        unsigned run = t == 0 ? 1 : t == 1 ? getbits(d, 4) + 3 : getbits(d, 9) + 20;
        if (i >= NC)
            break;
        while (run-- > 0 && i < n && i < NC)
            d->c_len[i++] = 0;
    }
    while (i < NC)
        d->c_len[i++] = 0;
    make_table(d, NC, d->c_len, CTBITS, d->c_table, d->cfast);
}

// Block head: size, t list, c list, p list.
[[gnu::noinline]] void read_block_head(Decoder *d, unsigned np, unsigned pbit)
{
    d->blocksize = getbits(d, 16);
    read_pt_len(d, NT, lzh::TBIT, 3);
    read_c_len(d);
    read_pt_len(d, np, pbit, -1);
    make_position_table(d, np);
}

// For a match distance d of 2 to 7: which of the d bytes back each of eight
// output bytes repeats (k mod d), and the largest multiple of d up to 8.
constexpr auto PATTERN_INDEX = [] {
    std::array<std::array<uint8_t, 8>, 8> t{};
    for (unsigned d = 1; d < 8; d++)
        for (unsigned k = 0; k < 8; k++)
            t[d][k] = (uint8_t)(k % d);
    return t;
}();
constexpr auto PATTERN_STEP = [] {
    std::array<uint8_t, 8> t{};
    for (unsigned d = 1; d < 8; d++)
        t[d] = (uint8_t)(d * (8 / d));
    return t;
}();

// Copies a match of `len` bytes starting `dist` bytes back. The bytes are
// defined as copied one at a time, so a short distance repeats a pattern;
// with dist >= 8 (or 16) whole words of 8 (or 16) give the same result
// because every word read lies before the word being written. May write up
// to 31 bytes past the end, which the output buffer leaves room for.
inline void copy_match(uint8_t *out, size_t dist, unsigned len)
{
    const uint8_t *src = out - dist;
    uint8_t *end = out + len;
    if (dist >= 8) {
        // Most matches are short: four words without a test cover them. One
        // test of the distance for all from 8 on, as a second one (16-byte
        // words from 16 on) is guessed wrong often enough to cost more than
        // the two extra words.
        for (unsigned k = 0; k < 32; k += 8) {
            uint64_t w; // one word at a time: a word may read the one before
            memcpy(&w, src + k, 8);
            memcpy(out + k, &w, 8);
        }
        if (len > 32) [[unlikely]] {
            out += 32;
            src += 32;
            if (dist >= 16) {
                do {
                    memcpy(out, src, 16);
                    out += 16;
                    src += 16;
                } while (out < end);
            } else {
                do {
                    memcpy(out, src, 8);
                    out += 8;
                    src += 8;
                } while (out < end);
            }
        }
    } else if (dist == 1) {
        memset(out, out[-1], len);
    } else {
        // A pattern of 2 to 7 bytes: eight bytes of it are put together
        // once, then stored at steps of the largest multiple of dist that
        // fits in eight, so every store starts at the pattern's beginning.
        // (The index table spares a division per byte.)
        uint8_t pat[8];
        for (unsigned k = 0; k < 8; k++)
            pat[k] = src[PATTERN_INDEX[dist][k]];
        const size_t step = PATTERN_STEP[dist];
        do {
            memcpy(out, pat, 8);
            out += step;
        } while (out < end);
    }
}


// ---------------------------------------------------------------------------
// Output window

uint8_t *area_start(Decoder *d) { return d->outbuf + HIST; }

// Fills the `size` bytes before the first output position with spaces (the
// window's start) and sets the window mask; `size` is a power of two.
void dwin_init(Decoder *d, uint64_t size)
{
    // Small entries never slide, so the spaces usually are still there.
    if (d->spaces < size) {
        memset(area_start(d) - size, 0x20, size);
        d->spaces = size;
    }
    d->dwinmask = size - 1;
    d->pending = area_start(d);
}

// The decoder stops at the limit either because a piece is due or to fold
// the bytes produced so far into the CRC while they are still in the cache.
uint8_t *next_limit(Decoder *d, uint8_t *pos)
{
    return pos + std::min<uint64_t>(d->outbuf_cap - d->pend, CRC_STEP);
}

// Moves the last window of bytes before `pos` to the front of the output
// area; returns the new position.
uint8_t *slide(Decoder *d, uint8_t *pos)
{
    size_t w = (size_t)d->dwinmask + 1;
    memmove(area_start(d) - w, pos - w, w);
    d->spaces = 0;
    return area_start(d);
}

// Returns the first output position and the limit up to which the decoder
// may write without calling out_due.
uint8_t *out_begin(Decoder *d, uint8_t **limit)
{
    d->crc_done = d->pending;
    d->pend = 0;
    *limit = next_limit(d, d->pending);
    return d->pending;
}

// The piece that ends at `pos`: its bytes, or nullptr when they are not
// kept (testing slides the area without handing anything on, so only the
// count is right then).
void out_piece(Decoder *d, uint8_t *pos, const uint8_t **p, size_t *n)
{
    *p = d->keep ? pos - d->pend : nullptr;
    *n = (size_t)d->pend;
}

// Called when fewer than `need` bytes (1 for a literal, the length of a
// match) remain before the limit. Folds the bytes since the last call into
// the CRC; true when the piece cannot take `need` more bytes, which then
// goes out (*p, *n) before the decoder writes on. Either way out_resume
// gives the next position.
bool out_due(Decoder *d, uint8_t *pos, size_t need, const uint8_t **p, size_t *n)
{
    d->outcrc = tmb_crc16(d->crc_done, (size_t)(pos - d->crc_done), d->outcrc);
    d->pend += (uint64_t)(pos - d->crc_done);
    d->crc_done = pos;
    if (d->pend + need <= d->outbuf_cap)
        return false;
    out_piece(d, pos, p, n);
    return true;
}

// The next position after out_due (`handed`: it gave out a piece, whose
// bytes the caller is done with now) and its limit, at least the `need`
// bytes asked for on.
uint8_t *out_resume(Decoder *d, uint8_t *pos, bool handed, uint8_t **limit)
{
    if (handed) {
        d->pend = 0;
        if (pos + d->outbuf_cap > area_start(d) + d->area)
            pos = slide(d, pos);
    } else if (!d->keep && pos + CRC_STEP > area_start(d) + std::min(TEST_AREA, d->area)) {
        // Testing keeps no bytes for a piece, only their count: a small
        // area stays in the cache and spares touching the whole buffer.
        pos = slide(d, pos);
    }
    d->crc_done = pos;
    *limit = next_limit(d, pos);
    return pos;
}

// The last piece, up to `pos` at the end of an entry (none when empty).
bool out_finish(Decoder *d, uint8_t *pos, const uint8_t **p, size_t *n)
{
    d->outcrc = tmb_crc16(d->crc_done, (size_t)(pos - d->crc_done), d->outcrc);
    d->pend += (uint64_t)(pos - d->crc_done);
    out_piece(d, pos, p, n);
    d->pend = 0;
    d->pending = d->crc_done = pos;
    return *n != 0;
}

// The decoder's state while it runs: the bit reader, the output position
// and the symbols left in the block.
struct Fast {
    uint64_t buf;
    unsigned cnt;
    const uint8_t *ip;
    const uint8_t *iend;
    uint8_t *out;
    uint32_t r;
};

// The fast loop: while a whole symbol's worth of input and output is surely
// at hand, a symbol costs one refill and no bounds checks. One refill gives
// 56 bits; a c code takes at most 12 of them (16 in a damaged table), a p
// code with its extra bits at most 8 + 15 (longer p codes take the walk),
// and the entry looked up for the next symbol 12 more. The loop
// ends at the block's end, before a longest match could pass `oend` (kept
// FAST_OUT short of the limit and of the entry's end), and before the input
// could run short of a refill. False when a tree walk ran out of input
// (DECODE_CUT).
//
// Whether a symbol is a literal or a match is what the processor guesses
// worst here. So the loop looks up what follows both ways before it
// branches: the next c entry after a literal, and the p entry and the c
// entry after it for a match. A wrong guess then costs the restart of the
// branch, but the lookups the right path needs are already under way.
//
// Rather than testing the input and the block's count at every symbol, the
// loop counts down the symbols it may take: no more than are left in the
// block, and no more than the refills the input allows (each moves on at
// most 7 bytes and loads 8).
inline uint32_t refills_at_hand(const uint8_t *ip, const uint8_t *iend)
{
    return iend - ip >= 8 ? (uint32_t)std::min<ptrdiff_t>((iend - ip - 8) / 7 + 1, UINT32_MAX) : 0;
}

[[gnu::noinline]] bool fast_symbols(Decoder *d, Fast &f, uint8_t *const oend, size_t wmask, unsigned nsym_p)
{
    uint64_t bitbuf = f.buf;
    unsigned bitcnt = f.cnt;
    const uint8_t *ip = f.ip;
    const uint8_t *iend = f.iend;
    uint8_t *out = f.out;
    uint32_t r = f.r;
    const uint32_t *const cfast = d->cfast;
    const uint32_t *const pfast = d->pfast;
    bool ok = true;
    // The next c entry is looked up as soon as the bits of the symbol
    // before are taken, so that what it is is known early: a refill only
    // adds bits below those already valid, and at least 12 are left then.
    bitbuf |= load_be64(ip) >> bitcnt;
    ip += (63 - bitcnt) >> 3;
    bitcnt |= 56;
    uint32_t e = cfast[bitbuf >> (64 - CTBITS)];
    const uint32_t budget = std::min(r, refills_at_hand(ip, iend));
    uint32_t left = budget;
    do {
        bitbuf |= load_be64(ip) >> bitcnt;
        ip += (63 - bitcnt) >> 3;
        bitcnt |= 56;
        if (e & WALK) [[unlikely]]
            break; // the careful loop walks the tree
        unsigned clen = e & 0xFF;
        unsigned c = e >> 8;
        uint64_t after_c = bitbuf << clen;
        uint32_t pe = pfast[after_c >> (64 - PTBITS)];
        uint32_t e_lit = cfast[after_c >> (64 - CTBITS)];
        uint64_t after_p = after_c << (pe & 0xFF);
        uint32_t e_match = cfast[after_p >> (64 - CTBITS)];
        // Keeps the compiler from moving the match's lookups into the
        // match's branch, after the guess.
        asm("" : "+r"(e_match), "+r"(after_p));
        if (c < 256) {
            *out++ = (uint8_t)c;
            bitbuf = after_c;
            bitcnt -= clen;
            e = e_lit;
            continue;
        }
        unsigned len = c - 253;
        size_t dist;
        if (!(pe & WALK)) [[likely]] {
            dist = position_value(pe, after_c);
            bitbuf = after_p;
            bitcnt -= clen + (pe & 0xFF);
            e = e_match;
        } else {
            // A long p code: the walk reads through d->b, which may move on
            // to the next chunk of the stream (iend follows it).
            bitbuf = after_c << PTBITS;
            bitcnt -= clen + PTBITS;
            d->b = Bits{bitbuf, bitcnt, ip, iend};
            dist = long_p_distance(d, pe >> 8 & 0xFFF, nsym_p);
            bitbuf = d->b.buf, bitcnt = d->b.cnt, ip = d->b.ip, iend = d->b.iend;
            if (d->overrun) {
                ok = false;
                break;
            }
            // The entry looked up ahead needs 12 valid bits; without the
            // input for a refill the loop ends after this match anyway.
            if (iend - ip >= FAST_IN) {
                bitbuf |= load_be64(ip) >> bitcnt;
                ip += (63 - bitcnt) >> 3;
                bitcnt |= 56;
            }
            e = cfast[bitbuf >> (64 - CTBITS)];
            left = std::min(left, refills_at_hand(ip, iend) + 1);
        }
        copy_match(out, (dist & wmask) + 1, len);
        out += len;
    } while (--left != 0 && out < oend);
    r -= budget - left;
    f.buf = bitbuf;
    f.cnt = bitcnt;
    f.ip = ip;
    f.iend = iend;
    f.out = out;
    f.r = r;
    return ok;
}

// Decodes on from where the run stands until a piece is due (DECODE_MORE,
// *piece and *piece_n set) or the entry ends or runs out of input.
int decode_blocks(Decoder *d, const uint8_t **piece, size_t *piece_n)
{
    const unsigned nsym_p = (unsigned)d->mp->np;
    const unsigned pbit = (unsigned)d->mp->pbit;
    // A distance reaching further back than the window wraps within it.
    const size_t wmask = (size_t)d->dwinmask;
    uint32_t r = d->r; // symbols left in the block; a size of 0 means 2^32
    uint64_t todo = d->todo;
    uint8_t *out = d->out;
    uint8_t *limit = d->limit;

    // The bit reader lives in locals here so that it stays in registers;
    // the rare slow paths work on d->b and the locals are reloaded after.
    uint64_t bitbuf = d->b.buf;
    unsigned bitcnt = d->b.cnt;
    const uint8_t *ip = d->b.ip;
    const uint8_t *iend = d->b.iend;
#define SAVE_BITS() (d->b.buf = bitbuf, d->b.cnt = bitcnt, d->b.ip = ip, d->b.iend = iend)
#define LOAD_BITS() (bitbuf = d->b.buf, bitcnt = d->b.cnt, ip = d->b.ip, iend = d->b.iend)
#define REFILL()                                                                                   \
    do {                                                                                           \
        if (iend - ip >= 8) [[likely]] {                                                           \
            bitbuf |= load_be64(ip) >> bitcnt;                                                     \
            ip += (63 - bitcnt) >> 3;                                                              \
            bitcnt |= 56;                                                                          \
        } else {                                                                                   \
            SAVE_BITS();                                                                           \
            refill_slow_s(d);                                                                      \
            if (d->overrun)                                                                        \
                return DECODE_CUT;                                                                 \
            LOAD_BITS();                                                                           \
        }                                                                                          \
    } while (0)
#define DROP(k) (bitbuf <<= (k), bitcnt -= (k))
// Keeps where the run stands, with the symbol that waits for room, and
// gives out the piece that is due.
#define HAND_OUT(what, a, b)                                                                       \
    do {                                                                                           \
        SAVE_BITS();                                                                               \
        d->r = r, d->todo = todo, d->out = out, d->limit = limit;                                  \
        d->held = (what), d->held_len = (a), d->held_dist = (b);                                   \
        d->handed = true;                                                                          \
        return DECODE_MORE;                                                                        \
    } while (0)

    if (d->handed) {
        // The piece given out last is done with: write on, the symbol that
        // waited for room first.
        d->handed = false;
        out = out_resume(d, out, true, &limit);
        if (d->held == Held::Literal) {
            *out++ = (uint8_t)d->held_len;
            todo--;
        } else if (d->held == Held::Match) {
            copy_match(out, d->held_dist + 1, d->held_len);
            out += d->held_len;
            todo -= d->held_len;
        }
        d->held = Held::None;
    }

    while (todo != 0) {
        if (r == 0) {
            SAVE_BITS();
            read_block_head(d, nsym_p, pbit);
            if (d->overrun)
                return DECODE_CUT;
            LOAD_BITS();
            r = d->blocksize;
        }

        // The fast loop: see fast_symbols. Right after a head with a block
        // size of 0 (2^32 symbols) r is still 0, and the careful path's
        // decrement must come first, or the loop would end the block at once.
        if (r != 0 && todo > FAST_OUT && (size_t)(limit - out) > FAST_OUT && iend - ip >= FAST_IN) {
            Fast f = {bitbuf, bitcnt, ip, iend, out, r};
            uint8_t *oend = out + std::min<uint64_t>(todo, (uint64_t)(limit - out)) - FAST_OUT;
            if (!fast_symbols(d, f, oend, wmask, nsym_p))
                return DECODE_CUT;
            todo -= (uint64_t)(f.out - out);
            bitbuf = f.buf, bitcnt = f.cnt, ip = f.ip, iend = f.iend, out = f.out, r = f.r;
            if (todo == 0)
                break;
            if (r == 0)
                continue;
        }
        r--;

        REFILL();
        uint32_t e = d->cfast[bitbuf >> (64 - CTBITS)];
        unsigned c;
        if (!(e & WALK)) [[likely]] {
            DROP(e & 0xFF);
            c = e >> 8;
        } else {
            DROP(CTBITS);
            SAVE_BITS();
            c = walk_tree(d, e >> 8 & 0xFFF, NC);
            if (d->overrun)
                return DECODE_CUT;
            LOAD_BITS();
        }

        if (c < 256) {
            // Literals come in runs: take more while the bits at hand
            // surely hold a whole code (at most 23 bits) of the same block.
            for (;;) {
                if (out == limit) [[unlikely]] {
                    if (out_due(d, out, 1, piece, piece_n))
                        HAND_OUT(Held::Literal, c, 0);
                    out = out_resume(d, out, false, &limit);
                }
                *out++ = (uint8_t)c;
                if (--todo == 0 || r == 0 || bitcnt < 23)
                    break;
                e = d->cfast[bitbuf >> (64 - CTBITS)];
                if (e >= 256 << 8) // a match or a tree walk: the main path
                    break;
                r--;
                DROP(e & 0xFF);
                c = e >> 8;
            }
            continue;
        }

        // A match: length from c, distance from the p symbol and its extra
        // bits (p = 0, 1: distance p; else 2^(p-1) + (p-1) bits). After the
        // c symbol at least 33 bits are left; a p code takes at most 23.
        unsigned len = c - 253;
        if (bitcnt < 40)
            REFILL();
        e = d->pfast[bitbuf >> (64 - PTBITS)];
        size_t dist;
        if (!(e & WALK)) [[likely]] {
            // Code and extra bits together take at most 8 + 16 bits.
            dist = position_value(e, bitbuf);
            DROP(e & 0xFF);
        } else {
            DROP(PTBITS);
            SAVE_BITS();
            dist = long_p_distance(d, e >> 8 & 0xFFF, nsym_p);
            if (d->overrun)
                return DECODE_CUT;
            LOAD_BITS();
        }
        dist &= wmask;

        if (len > todo)
            len = (unsigned)todo;
        if ((size_t)(limit - out) < len) [[unlikely]] {
            if (out_due(d, out, len, piece, piece_n))
                HAND_OUT(Held::Match, len, dist);
            out = out_resume(d, out, false, &limit);
        }
        copy_match(out, dist + 1, len);
        out += len;
        todo -= len;
    }
    SAVE_BITS();
#undef SAVE_BITS
#undef LOAD_BITS
#undef REFILL
#undef DROP
#undef HAND_OUT
    // The refills check for an overrun only when they make up bytes, and
    // where they do that depends on how the bits were taken (the fast loop
    // refills differently), so the end looks once more: the made-up bits
    // taken so far depend only on the symbols read, and the verdict must
    // not depend on the buffer sizes.
    if (made_up_bits_taken(d, d->b.cnt) > OVERRUN_SLACK_BITS)
        return DECODE_CUT;
    d->job = Job::Done;
    d->result = DECODE_OK;
    return out_finish(d, out, piece, piece_n) ? DECODE_MORE : DECODE_OK;
}

// The next piece of a stored entry, straight from the packed bytes when
// they are all in memory.
int stored_next(Decoder *d, const uint8_t **piece, size_t *piece_n)
{
    if (d->todo == 0)
        return DECODE_OK;
    size_t k = (size_t)std::min<uint64_t>(d->todo, d->outbuf_cap);
    const uint8_t *p = area_start(d);
    if (d->memory) {
        if ((size_t)(d->b.iend - d->b.ip) < k)
            return DECODE_CUT;
        p = d->b.ip;
        d->b.ip += k;
    } else if (source_read(d, area_start(d), k) < k) {
        return DECODE_CUT;
    }
    d->outcrc = tmb_crc16(p, k, d->outcrc);
    d->todo -= k;
    *piece = d->keep ? p : nullptr;
    *piece_n = k;
    return DECODE_MORE;
}

// Obtains the output buffer: flush_size bytes per flush, or 4096 when that
// much memory cannot be had.
bool outbuf_obtain(Decoder *d, uint64_t want)
{
    want = std::max(want ? want : 65536, MIN_CAP);
    uint64_t caps[2] = {want, 4096};
    for (uint64_t cap : caps) {
        if (cap > want || cap > ((uint64_t)SIZE_MAX >> 2))
            continue;
        size_t areas[2] = {std::max<size_t>((size_t)cap, MIN_AREA), (size_t)cap};
        for (size_t area : areas) {
            auto *buf = static_cast<uint8_t *>(malloc(HIST + area + SLACK));
            if (buf) {
                d->outbuf = buf;
                d->outbuf_cap = cap;
                d->area = area;
                d->pending = area_start(d);
                d->spaces = 0;
                return true;
            }
        }
    }
    return false;
}

void begin_entry(Decoder *d, const Source &src, uint64_t n, bool keep)
{
    source_open(d, src);
    d->keep = keep;
    d->outcrc = 0;
    d->todo = n;
    d->handed = false;
    d->held = Held::None;
}

} // namespace

Decoder *decoder_new(uint64_t flush_size)
{
    auto *d = static_cast<Decoder *>(calloc(1, sizeof(Decoder)));
    if (!d)
        return nullptr;
    // Not cleared: its pages are touched only when an entry is streamed.
    d->chunk = static_cast<uint8_t *>(malloc(STREAM_CHUNK));
    if (!d->chunk || !outbuf_obtain(d, flush_size)) {
        free(d->chunk);
        free(d);
        return nullptr;
    }
    return d;
}

void decoder_free(Decoder *d)
{
    if (!d)
        return;
    free(d->outbuf);
    free(d->chunk);
    free(d);
}

void decode_tables_reset(Decoder *d)
{
    memset(d->c_len, 0, sizeof d->c_len);
    memset(d->c_table, 0, sizeof d->c_table);
    memset(d->p_len, 0, sizeof d->p_len);
    memset(d->p_table, 0, sizeof d->p_table);
    memset(d->left, 0, sizeof d->left);
    memset(d->right, 0, sizeof d->right);
    memset(d->cfast, 0, sizeof d->cfast);
    memset(d->pfast, 0, sizeof d->pfast);
}

int decode_start(Decoder *d, const Source &src, int method, uint64_t n, bool keep)
{
    const Params *mp = params_of(method);
    begin_entry(d, src, n, keep);
    if (!mp) {
        d->job = Job::Done;
        return d->result = DECODE_CUT;
    }
    dwin_init(d, (uint64_t)1 << mp->dicbit);
    d->mp = mp;
    d->np_max = mp->np;
    d->r = 0;
    d->out = out_begin(d, &d->limit);
    d->job = Job::Decode;
    return DECODE_OK;
}

void copy_start(Decoder *d, const Source &src, uint64_t n, bool keep)
{
    begin_entry(d, src, n, keep);
    d->pending = area_start(d);
    d->job = Job::Stored;
}

int decode_next(Decoder *d, const uint8_t **piece, size_t *piece_n)
{
    *piece = nullptr;
    *piece_n = 0;
    int rc;
    switch (d->job) {
    case Job::Decode:
        rc = decode_blocks(d, piece, piece_n);
        break;
    case Job::Stored:
        rc = stored_next(d, piece, piece_n);
        break;
    default:
        return d->result;
    }
    if (rc != DECODE_MORE) {
        d->job = Job::Done;
        d->result = rc;
    }
    return rc;
}

uint16_t decode_crc(const Decoder *d) { return d->outcrc; }

} // namespace lzh
