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
#include <bit>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "tambrix.h"

namespace {

constexpr unsigned NC = 510;       // c alphabet: 256 literals + 254 match lengths
constexpr unsigned NT = 19;        // t alphabet: lengths of the c code
constexpr unsigned CTBITS = 12;    // width of the c lookup table
constexpr unsigned PTBITS = 8;     // width of the t/p lookup table
constexpr unsigned MAXNODE = 4094; // highest tree node number
constexpr unsigned MAXWALK = 32;   // a tree walk gives up after this many bits

// Largest packed entry ever held in memory, whatever -b says; bigger ones
// are streamed, which decodes to the same bytes.
constexpr uint64_t MEM_HARD_CAP = 256u << 20;
constexpr size_t STREAM_CHUNK = 65536;

// Bits a decoder may take past the entry's packed bytes before the entry
// counts as cut off. The padding of the last byte lies inside the packed
// bytes; the slack lets an encoder that trims a last byte of zero bits
// still be read. Beyond it the "bits" are zeros we made up, and decoding on
// would turn a few bytes into whatever size the header claims.
constexpr uint64_t OVERRUN_SLACK_BITS = 4 * 8;

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

// Packed-byte source.
FILE *s_infp;
uint64_t s_inbytes_left; // stream mode: bytes still to read from s_infp
uint8_t *s_inbuf;        // memory mode: the entry's whole packed data
uint64_t s_inbuf_size;
bool s_memory;
uint8_t s_chunk[STREAM_CHUNK]; // stream mode: the bytes read so far
Bits s_b;
uint64_t s_zeros;  // zero bytes supplied after the packed data ran out
bool s_overrun;    // more than the slack of them has been consumed

// Code tables. They keep their contents between blocks and entries: damaged
// data may make one code's tree walk through another's old nodes, and the
// result must not depend on anything but the input.
uint8_t c_len[NC];
uint16_t c_table[1u << CTBITS];
uint8_t p_len[NT];
uint16_t p_table[1u << PTBITS];
uint16_t left[4096];
uint16_t right[4096];
int np_max;
uint32_t s_blocksize;

// Fast forms of c_table and p_table, built along with them: either a
// symbol with the number of bits it takes (bits 0-7: length, 8-19: symbol),
// or WALK with the tree node to walk from. The walk itself always reads the
// live left/right arrays.
constexpr uint32_t WALK = 1u << 31;
uint32_t s_cfast[1u << CTBITS];
uint32_t s_pfast[1u << PTBITS];

// ---------------------------------------------------------------------------
// Packed bytes

// Stream mode: keeps the unread tail of the chunk and reads more behind it.
void span_refill()
{
    size_t keep = (size_t)(s_b.iend - s_b.ip);
    memmove(s_chunk, s_b.ip, keep);
    size_t want = (size_t)std::min<uint64_t>(STREAM_CHUNK - keep, s_inbytes_left);
    size_t got = want ? fread(s_chunk + keep, 1, want, s_infp) : 0;
    s_inbytes_left = got < want ? 0 : s_inbytes_left - got;
    s_b.ip = s_chunk;
    s_b.iend = s_chunk + keep + got;
}

bool more_to_stream() { return !s_memory && s_inbytes_left != 0; }

// True unless the archive is a regular file with fewer than `n` bytes left,
// so a damaged size never makes us allocate for data that is not there.
bool file_has(FILE *fp, uint64_t n)
{
    int fd = fileno(fp);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    off_t pos = ftello(fp);
    if (pos < 0 || pos > st.st_size)
        return true;
    return (uint64_t)(st.st_size - pos) >= n;
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

// Tops up to at least 56 valid bits byte by byte; past the end of the packed
// data zero bits are supplied and the count still grows.
[[gnu::noinline]] Bits refill_slow(Bits b)
{
    if (more_to_stream()) {
        s_b.ip = b.ip;
        s_b.iend = b.iend;
        span_refill();
        b.ip = s_b.ip;
        b.iend = s_b.iend;
    }
    while (b.cnt < 56) {
        unsigned byte = 0;
        if (b.ip < b.iend)
            byte = *b.ip++;
        else
            s_zeros++;
        b.buf |= (uint64_t)byte << (56 - b.cnt);
        b.cnt += 8;
    }
    // The made-up bytes sit behind the real ones in the buffer, so what has
    // been taken of them is their bits less the bits still held.
    if (s_zeros * 8 > b.cnt + OVERRUN_SLACK_BITS)
        s_overrun = true;
    return b;
}

// Tops up to at least 56 valid bits, a whole word at a time when 8 bytes are
// at hand.
inline void refill(Bits &b)
{
    if (b.iend - b.ip >= 8) [[likely]] {
        b.buf |= load_be64(b.ip) >> b.cnt;
        b.ip += (63 - b.cnt) >> 3;
        b.cnt |= 56;
    } else {
        b = refill_slow(b);
    }
}

// The same on s_b, for the decoder loop's locals.
[[gnu::noinline]] void refill_slow_s() { s_b = refill_slow(s_b); }

inline unsigned peek(const Bits &b, unsigned n) { return (unsigned)(b.buf >> (64 - n)); }

inline void drop(Bits &b, unsigned n)
{
    b.buf <<= n;
    b.cnt -= n;
}

// Takes n bits, 1 <= n <= 16.
inline unsigned getbits(Bits &b, unsigned n)
{
    if (b.cnt < n)
        refill(b);
    unsigned v = peek(b, n);
    drop(b, n);
    return v;
}

// ---------------------------------------------------------------------------
// Tables

// Fast-table entries.
inline uint32_t fast_symbol(unsigned sym, unsigned len) { return (uint32_t)(sym << 8 | len); }
inline uint32_t fast_entry(unsigned v, unsigned nsym, const uint8_t *len)
{
    return v < nsym ? fast_symbol(v, len[v]) : (WALK | (uint32_t)v << 8);
}

// Builds the lookup table of a canonical code: codes of up to `w` bits fill
// 2^(w-L) table entries; longer codes hang below their first w bits in a
// binary tree of nodes numbered from `nsym` up, children in left/right.
// `fast` receives the same table in the decoder's form.
//
// The lengths are not checked. An over-full set makes later symbols
// overwrite earlier ones; entries no code reaches stay 0 (symbol 0).
// Lengths above 16 (only damaged data has them) give the symbol no code.
void make_table(unsigned nsym, const uint8_t *len, unsigned w, uint16_t *table, uint32_t *fast)
{
    unsigned count[17] = {};
    unsigned nextcode[17];
    for (unsigned j = 0; j < nsym; j++)
        if (len[j] >= 1 && len[j] <= 16)
            count[len[j]]++;
    // Codes are 16-bit left-aligned values; each length starts where the
    // previous one ended (wrapping in 16 bits when the set is over-full).
    nextcode[1] = 0;
    for (unsigned l = 1; l < 16; l++)
        nextcode[l + 1] = (nextcode[l] + (count[l] << (16 - l))) & 0xFFFF;

    unsigned tsize = 1u << w;
    std::fill(table, table + tsize, 0);
    std::fill(fast, fast + tsize, fast_symbol(0, len[0]));
    unsigned avail = nsym;
    for (unsigned j = 0; j < nsym; j++) {
        unsigned l = len[j];
        if (l == 0 || l > 16)
            continue;
        unsigned code = nextcode[l];
        nextcode[l] = (code + (1u << (16 - l))) & 0xFFFF;
        unsigned start = code >> (16 - w);
        if (l <= w) {
            unsigned end = std::min(start + (1u << (w - l)), tsize);
            std::fill(table + start, table + end, (uint16_t)j);
            std::fill(fast + start, fast + end, fast_symbol(j, l));
            continue;
        }
        // The code bits after the first w select left (0) or right (1)
        // children, creating nodes where the path does not exist yet. A
        // slot that holds a symbol from an over-full set is followed as if
        // it were a node; all values stay below 4096, so that stays inside
        // the arrays.
        uint16_t *slot = &table[start];
        for (int bit = 15 - (int)w; bit > 15 - (int)l; bit--) {
            if (*slot == 0) {
                if (avail > MAXNODE)
                    break;
                left[avail] = right[avail] = 0;
                *slot = (uint16_t)avail++;
            }
            slot = (code >> bit) & 1 ? &right[*slot] : &left[*slot];
        }
        *slot = (uint16_t)j;
        // The table entry is either the root of the walk or, when no node
        // was left for it, the symbol itself.
        fast[start] = fast_entry(table[start], nsym, len);
    }
}

// A code of one symbol: every table entry holds it, and it takes no bits.
void single_table(unsigned s, unsigned nsym, unsigned w, uint16_t *table, uint32_t *fast)
{
    std::fill(table, table + (1u << w), (uint16_t)s);
    std::fill(fast, fast + (1u << w), s < nsym ? fast_symbol(s, 0) : (WALK | (uint32_t)s << 8));
}

// Walks the tree from `node`, one bit per step, until a value below `nsym`
// (a symbol). After 32 steps without one the walk ends with symbol 0. Only
// damaged data makes walks longer than the bits at hand; the walk then
// simply reads on in the stream.
[[gnu::noinline]] unsigned walk_tree(unsigned node, unsigned nsym)
{
    for (unsigned step = 1;; step++) {
        if (s_b.cnt == 0)
            refill(s_b);
        unsigned bit = (unsigned)(s_b.buf >> 63);
        drop(s_b, 1);
        if (step == MAXWALK)
            return 0;
        node = bit ? right[node] : left[node];
        if (node < nsym)
            return node;
    }
}

// One symbol of the t code (p_table holds the t table while the c lengths
// are read).
unsigned read_t_symbol()
{
    if (s_b.cnt < 32)
        refill(s_b);
    unsigned e = p_table[peek(s_b, PTBITS)];
    if (e < NT) {
        drop(s_b, p_len[e]);
        return e;
    }
    drop(s_b, PTBITS);
    return walk_tree(e, NT);
}

// One code length: 3 bits, and 7 escapes to 7 + a run of 1 bits ended by a
// 0 bit. At most 16 ones are counted; the bit after the sixteenth ends the
// run whatever it is (length 23, damaged data only).
unsigned read_length()
{
    unsigned l = getbits(s_b, 3);
    if (l == 7) {
        unsigned ones = 0;
        while (ones < 16 && getbits(s_b, 1))
            ones++;
        if (ones == 16)
            getbits(s_b, 1);
        l += ones;
    }
    return l;
}

// Reads the t list (nsym 19, count width 5, zero-run field after the third
// length) or the p list (no zero-run field: zero_run_at = -1) into p_len and
// builds p_table.
void read_pt_len(unsigned nsym, unsigned nbit, int zero_run_at)
{
    unsigned n = getbits(s_b, nbit);
    if (n == 0) {
        unsigned s = getbits(s_b, nbit);
        std::fill(p_len, p_len + nsym, 0);
        single_table(s, nsym, PTBITS, p_table, s_pfast);
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned l = read_length();
        if (i < nsym)
            p_len[i] = (uint8_t)l;
        i++;
        if ((int)i == zero_run_at) {
            // 2-bit count of further zero lengths, present even when the
            // list ends here.
            unsigned z = getbits(s_b, 2);
            while (z-- > 0 && i < n) {
                if (i < nsym)
                    p_len[i] = 0;
                i++;
            }
        }
    }
    while (i < nsym)
        p_len[i++] = 0;
    make_table(nsym, p_len, PTBITS, p_table, s_pfast);
}

// Reads the c lengths through the t code and builds c_table. t symbols 0, 1
// and 2 are runs of 1, 3..18 and 20..531 zero lengths; 3..18 are lengths
// 1..16. A count of 511 covers index 510 too: a length read there is
// discarded, and a zero run there ends the list (it could write nothing, so
// going on would never get past it).
void read_c_len()
{
    unsigned n = getbits(s_b, 9);
    if (n == 0) {
        unsigned s = getbits(s_b, 9);
        std::fill(c_len, c_len + NC, 0);
        single_table(s, NC, CTBITS, c_table, s_cfast);
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned t = read_t_symbol();
        if (t >= 3) {
            if (i < NC)
                c_len[i] = (uint8_t)(t - 2);
            i++;
            continue;
        }
        unsigned run = t == 0 ? 1 : t == 1 ? getbits(s_b, 4) + 3 : getbits(s_b, 9) + 20;
        if (i >= NC)
            break;
        while (run-- > 0 && i < n && i < NC)
            c_len[i++] = 0;
    }
    while (i < NC)
        c_len[i++] = 0;
    make_table(NC, c_len, CTBITS, c_table, s_cfast);
}

// Block head: size, t list, c list, p list.
[[gnu::noinline]] void read_block_head(unsigned np, unsigned pbit)
{
    s_blocksize = getbits(s_b, 16);
    read_pt_len(NT, 5, 3);
    read_c_len();
    read_pt_len(np, pbit, -1);
}

// Copies a match of `len` bytes starting `dist` bytes back. The bytes are
// defined as copied one at a time, so a short distance repeats a pattern;
// with dist >= 8 (or 16) whole words give the same result because every
// word read lies before the word being written. May write up to 15 bytes
// past the end, which the output buffer leaves room for.
inline void copy_match(uint8_t *out, size_t dist, unsigned len)
{
    const uint8_t *src = out - dist;
    uint8_t *end = out + len;
    if (dist >= 16) {
        do {
            memcpy(out, src, 16);
            out += 16;
            src += 16;
        } while (out < end);
    } else if (dist >= 8) {
        do {
            memcpy(out, src, 8);
            out += 8;
            src += 8;
        } while (out < end);
    } else if (dist == 1) {
        memset(out, out[-1], len);
    } else {
        for (unsigned k = 0; k < len; k++)
            out[k] = src[k];
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Packed-byte source

void in_open(FILE *fp, uint64_t comp_size)
{
    s_inbytes_left = 0; // an earlier stream is not ours to move any more
    in_close();
    s_infp = fp;
    s_inbytes_left = comp_size;
    s_memory = false;
    s_b = Bits{0, 0, s_chunk, s_chunk};
    s_zeros = 0;
    s_overrun = false;
    uint64_t max = std::min<uint64_t>(g_inbuf_max, MEM_HARD_CAP);
    // A small entry costs at most a small allocation, so only a large one
    // is held to what the file really has left (an fstat per entry).
    if (comp_size == 0 || comp_size > max || (comp_size > STREAM_CHUNK && !file_has(fp, comp_size)))
        return;
    auto *buf = static_cast<uint8_t *>(malloc((size_t)comp_size));
    if (!buf)
        return;
    size_t got = fread(buf, 1, (size_t)comp_size, fp);
    if (got != comp_size) {
        // Short: stream the same bytes instead.
        free(buf);
        if (got)
            fseeko(fp, -(off_t)got, SEEK_CUR);
        return;
    }
    s_inbuf = buf;
    s_inbuf_size = comp_size;
    s_inbytes_left = 0;
    s_memory = true;
    s_b.ip = buf;
    s_b.iend = buf + comp_size;
}

void in_close()
{
    if (!s_memory && s_inbytes_left != 0 && s_infp)
        fseeko(s_infp, (off_t)s_inbytes_left, SEEK_CUR);
    s_inbytes_left = 0;
    free(s_inbuf);
    s_inbuf = nullptr;
    s_inbuf_size = 0;
    s_memory = false;
    s_b = Bits{0, 0, s_chunk, s_chunk};
    s_zeros = 0;
    s_overrun = false;
}

int in_memory_mode() { return s_memory ? 1 : 0; }

int in_getbyte()
{
    if (s_b.ip == s_b.iend && more_to_stream())
        span_refill();
    if (s_b.ip < s_b.iend)
        return *s_b.ip++;
    return -1;
}

size_t in_view(const uint8_t **p, size_t n)
{
    size_t k = std::min<size_t>(n, (size_t)(s_b.iend - s_b.ip));
    *p = s_b.ip;
    s_b.ip += k;
    return k;
}

size_t in_read(uint8_t *dst, size_t n)
{
    size_t done = std::min<size_t>(n, (size_t)(s_b.iend - s_b.ip));
    memcpy(dst, s_b.ip, done);
    s_b.ip += done;
    if (done < n && more_to_stream()) {
        size_t want = (size_t)std::min<uint64_t>(n - done, s_inbytes_left);
        size_t got = fread(dst + done, 1, want, s_infp);
        s_inbytes_left = got < want ? 0 : s_inbytes_left - got;
        done += got;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Block decoder

void decode_tables_reset()
{
    memset(c_len, 0, sizeof c_len);
    memset(c_table, 0, sizeof c_table);
    memset(p_len, 0, sizeof p_len);
    memset(p_table, 0, sizeof p_table);
    memset(left, 0, sizeof left);
    memset(right, 0, sizeof right);
    memset(s_cfast, 0, sizeof s_cfast);
    memset(s_pfast, 0, sizeof s_pfast);
}

int decode_lhX(uint64_t n, int np)
{
    np_max = np;
    uint8_t *limit;
    uint8_t *out = out_begin(&limit);
    if (n == 0)
        return out_finish(out);

    const unsigned nsym_p = (unsigned)np;
    const unsigned pbit = np == 14 ? 4 : 5;
    // A distance reaching further back than the window wraps within it.
    const size_t wmask = dwin_mask();
    uint32_t r = 0; // symbols left in the block; a size of 0 means 2^32
    uint64_t todo = n;

    // The bit reader lives in locals here so that it stays in registers;
    // the rare slow paths work on s_b and the locals are reloaded after.
    uint64_t bitbuf = s_b.buf;
    unsigned bitcnt = s_b.cnt;
    const uint8_t *ip = s_b.ip;
    const uint8_t *iend = s_b.iend;
#define SAVE_BITS() (s_b.buf = bitbuf, s_b.cnt = bitcnt, s_b.ip = ip, s_b.iend = iend)
#define LOAD_BITS() (bitbuf = s_b.buf, bitcnt = s_b.cnt, ip = s_b.ip, iend = s_b.iend)
#define REFILL()                                                                                   \
    do {                                                                                           \
        if (iend - ip >= 8) [[likely]] {                                                           \
            bitbuf |= load_be64(ip) >> bitcnt;                                                     \
            ip += (63 - bitcnt) >> 3;                                                              \
            bitcnt |= 56;                                                                          \
        } else {                                                                                   \
            SAVE_BITS();                                                                           \
            refill_slow_s();                                                                       \
            if (s_overrun)                                                                         \
                return -2;                                                                         \
            LOAD_BITS();                                                                           \
        }                                                                                          \
    } while (0)
#define DROP(k) (bitbuf <<= (k), bitcnt -= (k))

    while (todo != 0) {
        if (r == 0) {
            SAVE_BITS();
            read_block_head(nsym_p, pbit);
            if (s_overrun)
                return -2;
            LOAD_BITS();
            r = s_blocksize;
        }
        r--;

        REFILL();
        uint32_t e = s_cfast[bitbuf >> (64 - CTBITS)];
        unsigned c;
        if (!(e & WALK)) [[likely]] {
            DROP(e & 0xFF);
            c = e >> 8;
        } else {
            DROP(CTBITS);
            SAVE_BITS();
            c = walk_tree(e >> 8 & 0xFFF, NC);
            if (s_overrun)
                return -2;
            LOAD_BITS();
        }

        if (c < 256) {
            // Literals come in runs: take more while the bits at hand
            // surely hold a whole code (at most 23 bits) of the same block.
            for (;;) {
                if (out == limit) [[unlikely]] {
                    out = out_flush(out, 1, &limit);
                    if (!out)
                        return -1;
                }
                *out++ = (uint8_t)c;
                if (--todo == 0 || r == 0 || bitcnt < 23)
                    break;
                e = s_cfast[bitbuf >> (64 - CTBITS)];
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
        e = s_pfast[bitbuf >> (64 - PTBITS)];
        unsigned p;
        if (!(e & WALK)) [[likely]] {
            DROP(e & 0xFF);
            p = e >> 8;
        } else {
            DROP(PTBITS);
            SAVE_BITS();
            p = walk_tree(e >> 8 & 0xFFF, nsym_p);
            if (s_overrun)
                return -2;
            LOAD_BITS();
        }
        size_t d = p;
        if (p >= 2) {
            unsigned k = p - 1;
            if (bitcnt < k)
                REFILL();
            d = ((size_t)1 << k) + (size_t)(bitbuf >> (64 - k));
            DROP(k);
        }
        d &= wmask;

        if (len > todo)
            len = (unsigned)todo;
        if ((size_t)(limit - out) < len) [[unlikely]] {
            out = out_flush(out, len, &limit);
            if (!out)
                return -1;
        }
        copy_match(out, d + 1, len);
        out += len;
        todo -= len;
    }
    SAVE_BITS();
#undef SAVE_BITS
#undef LOAD_BITS
#undef REFILL
#undef DROP
    return out_finish(out);
}
