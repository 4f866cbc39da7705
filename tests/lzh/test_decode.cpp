// The block decoder and the extraction driver, fed with small hand-assembled
// bit streams.
//
// Most streams use "flat" codes that are easy to write by hand: every t
// symbol takes 5 bits (its own number), every c symbol 9 bits, every p
// symbol 4 bits (5 for -lh7-). Other codes are spelled out where a rule
// needs them. A straightforward model decoder, written bit by bit from the
// format description, checks the fast decoder on damaged and random input.
#include <gtest/gtest.h>

#include <bit>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "pack_kit.h"
#include "tmb_compress.h"
#include "tmb_decode.h"
#include "tmb_header.h"
#include "tmb_method.h"
#include "tmb_progress.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Bit writer and block builders

struct BitWriter {
    Bytes bytes;
    int used = 8; // bits used in the last byte

    void put(uint32_t v, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            if ((v >> i) & 1)
                bytes.back() |= (uint8_t)(0x80 >> used);
            used++;
        }
    }
    // A code length: 3 bits, 7 and up as 7 + a run of ones ended by 0.
    void len(unsigned l)
    {
        if (l < 7) {
            put(l, 3);
            return;
        }
        put(7, 3);
        for (unsigned k = 7; k < l; k++)
            put(1, 1);
        if (l < 23)
            put(0, 1);
    }
};

int np_of(int method) { return method == 7 ? 17 : method == 6 ? 16 : 14; }
int pbit_of(int method) { return method >= 6 ? 5 : 4; }
int pwidth(int method) { return method == 7 ? 5 : 4; } // flat p code
uint64_t window_of(int method) { return method == 4 ? 4096u : 1u << (method == 5 ? 13 : method == 6 ? 15 : 16); }

// t list of 19 lengths of 5: t symbol s is coded as the 5-bit number s.
void flat_t(BitWriter &w)
{
    w.put(19, 5);
    for (int i = 0; i < 19; i++) {
        w.len(5);
        if (i == 2)
            w.put(0, 2);
    }
}

// c list of 510 lengths of 9 through the flat t code (t symbol 11 = length 9).
void flat_c(BitWriter &w)
{
    w.put(510, 9);
    for (int i = 0; i < 510; i++)
        w.put(11, 5);
}

void flat_p(BitWriter &w, int method)
{
    w.put(np_of(method), pbit_of(method));
    for (int i = 0; i < np_of(method); i++)
        w.len(pwidth(method));
}

void flat_head(BitWriter &w, int method, unsigned block_size)
{
    w.put(block_size, 16);
    flat_t(w);
    flat_c(w);
    flat_p(w, method);
}

// A symbol sequence for the flat codes: a literal, or a match.
struct Sym {
    unsigned len; // 0: literal
    unsigned value;  // literal byte, or distance value d (copy from d + 1 back)
};

void put_syms(BitWriter &w, int method, const std::vector<Sym> &syms)
{
    for (const Sym &s : syms) {
        if (s.len == 0) {
            w.put(s.value, 9);
            continue;
        }
        w.put(s.len + 253, 9);
        unsigned p = s.value < 2 ? s.value : (unsigned)std::bit_width(s.value);
        w.put(p, pwidth(method));
        if (p >= 2)
            w.put(s.value - (1u << (p - 1)), p - 1);
    }
}

// The meaning of a symbol sequence, byte by byte: a window of spaces before
// the start, matches cut at n bytes.
Bytes expand(const std::vector<Sym> &syms, uint64_t n, uint64_t window)
{
    Bytes out;
    auto at = [&](int64_t i) -> uint8_t { return i < 0 ? ' ' : out[(size_t)i]; };
    for (const Sym &s : syms) {
        if (out.size() >= n)
            break;
        if (s.len == 0) {
            out.push_back((uint8_t)s.value);
            continue;
        }
        uint64_t d = s.value & (window - 1);
        for (unsigned k = 0; k < s.len && out.size() < n; k++)
            out.push_back(at((int64_t)out.size() - 1 - (int64_t)d));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Running the driver

struct Outcome {
    int rc;
    Bytes out;
    uint16_t crc; // the CRC tmb_extract gave (0xBEEF when it gave none)
    std::string err;
};

uint16_t crc_of(const Bytes &b) { return tmb_crc16(b.data(), b.size(), 0); }

// The progress bar the extractions of these tests report to (off unless a
// test arms it).
ProgressBar s_bar;

// The unpacking context of these tests, made with the limits BufferLimits
// sets (those of a default run otherwise).
uint64_t s_in_max = 23488101, s_out_max = 4194304;
ExtractCtx *s_ctx;

ExtractCtx *ctx()
{
    if (!s_ctx)
        s_ctx = tmb_extract_new(s_in_max, s_out_max);
    return s_ctx;
}

// Extracts one entry whose packed data is `packed`, read from a temporary
// file (a regular file, like an archive) placed after some other bytes.
// The same entry is then unpacked again with pread from the descriptor,
// as parallel runs do, which must give the same result.
Outcome extract(int method, const Bytes &packed, uint64_t orig, int64_t comp = -1)
{
    EntryHeader h{};
    h.method = method;
    h.orig_size = orig;
    h.comp_size = comp < 0 ? packed.size() : (uint64_t)comp;
    FILE *arc = tmpfile();
    fputs("head", arc);
    if (!packed.empty())
        fwrite(packed.data(), 1, packed.size(), arc);
    fputs("tail-bytes", arc); // must never be taken as packed data
    fflush(arc);
    fseek(arc, 4, SEEK_SET);
    h.data_pos = 4;

    char *mem = nullptr;
    size_t memlen = 0;
    FILE *out = open_memstream(&mem, &memlen);
    testing::internal::CaptureStderr();
    Outcome r;
    r.crc = 0xBEEF;
    r.rc = tmb_extract(ctx(), arc, out, &h, &r.crc, tmb_prog_sink(s_bar));
    r.err = testing::internal::GetCapturedStderr();
    fclose(out);
    r.out.assign(mem, mem + memlen);
    free(mem);
    // The stream stands at the entry's end, whatever happened.
    if (h.comp_size <= packed.size() + 10) {
        EXPECT_EQ(ftell(arc), (long)(4 + h.comp_size));
    }

    mem = nullptr;
    memlen = 0;
    out = open_memstream(&mem, &memlen);
    testing::internal::CaptureStderr();
    uint16_t crc2 = 0xBEEF;
    int rc2 = tmb_extract_at(ctx(), fileno(arc), 4, out, &h, &crc2);
    testing::internal::GetCapturedStderr();
    fclose(out);
    EXPECT_EQ(rc2, r.rc);
    EXPECT_EQ(crc2, r.crc);
    EXPECT_TRUE(Bytes(mem, mem + memlen) == r.out);
    free(mem);
    fclose(arc);
    return r;
}

// Unpacks and only computes the CRC, as t does; 0xBEEF when none is given.
int test_only(FILE *arc, const EntryHeader &h, uint16_t *crc)
{
    *crc = 0xBEEF;
    return tmb_extract(ctx(), arc, nullptr, &h, crc);
}

struct BufferLimits {
    uint64_t in, out;
    BufferLimits(uint64_t in_max, uint64_t out_max) : in(s_in_max), out(s_out_max)
    {
        s_in_max = in_max;
        s_out_max = out_max;
        tmb_extract_free(s_ctx);
        s_ctx = nullptr;
    }
    ~BufferLimits()
    {
        s_in_max = in;
        s_out_max = out;
        tmb_extract_free(s_ctx);
        s_ctx = nullptr;
    }
};

Bytes str(const std::string &s) { return Bytes(s.begin(), s.end()); }

// ---------------------------------------------------------------------------
// Model decoder: the format read one bit at a time, no fast paths.

namespace model {

uint8_t c_len[510], p_len[19];
uint16_t c_table[4096], p_table[256], lft[4096], rgt[4096];

struct Reader {
    const Bytes &in;
    uint64_t pos = 0;
    unsigned bit()
    {
        uint64_t i = pos >> 3;
        unsigned v = i < in.size() ? (in[i] >> (7 - (pos & 7))) & 1 : 0;
        pos++;
        return v;
    }
    unsigned get(unsigned n)
    {
        unsigned v = 0;
        while (n--)
            v = v << 1 | bit();
        return v;
    }
    unsigned peek(unsigned n)
    {
        uint64_t save = pos;
        unsigned v = get(n);
        pos = save;
        return v;
    }
};

void reset()
{
    memset(c_len, 0, sizeof c_len);
    memset(p_len, 0, sizeof p_len);
    memset(c_table, 0, sizeof c_table);
    memset(p_table, 0, sizeof p_table);
    memset(lft, 0, sizeof lft);
    memset(rgt, 0, sizeof rgt);
}

void make_table(unsigned n, const uint8_t *len, unsigned w, uint16_t *table)
{
    unsigned next[18] = {};
    for (unsigned l = 1; l <= 16; l++) {
        unsigned cnt = 0;
        for (unsigned j = 0; j < n; j++)
            cnt += len[j] == l;
        next[l + 1] = (next[l] + (cnt << (16 - l))) & 0xFFFF;
    }
    for (unsigned i = 0; i < (1u << w); i++)
        table[i] = 0;
    unsigned avail = n;
    for (unsigned j = 0; j < n; j++) {
        unsigned l = len[j];
        if (l == 0 || l > 16)
            continue;
        unsigned code = next[l];
        next[l] = (code + (1u << (16 - l))) & 0xFFFF;
        if (l <= w) {
            for (unsigned k = 0; k < (1u << (w - l)); k++)
                if ((code >> (16 - w)) + k < (1u << w))
                    table[(code >> (16 - w)) + k] = (uint16_t)j;
            continue;
        }
        uint16_t *slot = &table[code >> (16 - w)];
        bool stored = false;
        for (unsigned b = 0; b < l - w; b++) {
            if (*slot == 0) {
                if (avail > 4094) {
                    *slot = (uint16_t)j;
                    stored = true;
                    break;
                }
                lft[avail] = rgt[avail] = 0;
                *slot = (uint16_t)avail++;
            }
            slot = (code >> (15 - w - b)) & 1 ? &rgt[*slot] : &lft[*slot];
        }
        if (!stored)
            *slot = (uint16_t)j;
    }
}

unsigned lookup(Reader &r, const uint16_t *table, unsigned w, unsigned n, const uint8_t *len)
{
    unsigned e = table[r.peek(w)];
    if (e < n) {
        r.get(len[e]);
        return e;
    }
    r.get(w);
    for (int step = 1; step <= 32; step++) {
        unsigned b = r.bit();
        if (step == 32)
            return 0;
        e = b ? rgt[e] : lft[e];
        if (e < n)
            return e;
    }
    return 0;
}

unsigned read_len(Reader &r)
{
    unsigned l = r.get(3);
    if (l == 7) {
        int ones = 0;
        while (ones < 16 && r.bit())
            ones++;
        if (ones == 16)
            r.bit();
        l += ones;
    }
    return l;
}

void read_pt(Reader &r, unsigned n_sym, unsigned nbit, int zero_run_at)
{
    unsigned n = r.get(nbit);
    if (n == 0) {
        unsigned s = r.get(nbit);
        for (unsigned i = 0; i < n_sym; i++)
            p_len[i] = 0;
        for (auto &e : p_table)
            e = (uint16_t)s;
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned l = read_len(r);
        if (i < n_sym)
            p_len[i] = (uint8_t)l;
        i++;
        if ((int)i == zero_run_at)
            for (unsigned z = r.get(2); z > 0 && i < n; z--, i++)
                if (i < n_sym)
                    p_len[i] = 0;
    }
    for (; i < n_sym; i++)
        p_len[i] = 0;
    make_table(n_sym, p_len, 8, p_table);
}

void read_c(Reader &r)
{
    unsigned n = r.get(9);
    if (n == 0) {
        unsigned s = r.get(9);
        memset(c_len, 0, sizeof c_len);
        for (auto &e : c_table)
            e = (uint16_t)s;
        return;
    }
    unsigned i = 0;
    while (i < n) {
        unsigned t = lookup(r, p_table, 8, 19, p_len);
        if (t >= 3) {
            if (i < 510)
                c_len[i] = (uint8_t)(t - 2);
            i++;
            continue;
        }
        unsigned run = t == 0 ? 1 : t == 1 ? r.get(4) + 3 : r.get(9) + 20;
        if (i == 510)
            break;
        for (; run > 0 && i < n && i < 510; run--)
            c_len[i++] = 0;
    }
    for (; i < 510; i++)
        c_len[i] = 0;
    make_table(510, c_len, 12, c_table);
}

Bytes decode(int method, const Bytes &in, uint64_t n)
{
    Reader r{in};
    unsigned np = np_of(method);
    uint64_t wsize = window_of(method);
    std::vector<uint8_t> win(wsize, ' ');
    Bytes out;
    uint32_t left = 0;
    while (out.size() < n) {
        if (left == 0) {
            left = r.get(16);
            read_pt(r, 19, 5, 3);
            read_c(r);
            read_pt(r, np, pbit_of(method), -1);
        }
        left--;
        unsigned c = lookup(r, c_table, 12, 510, c_len);
        if (c < 256) {
            win[out.size() & (wsize - 1)] = (uint8_t)c;
            out.push_back((uint8_t)c);
            continue;
        }
        unsigned p = lookup(r, p_table, 8, np, p_len);
        uint64_t d = p < 2 ? p : (1u << (p - 1)) + r.get(p - 1);
        uint64_t len = std::min<uint64_t>(c - 253, n - out.size());
        uint64_t at = out.size();
        for (uint64_t k = 0; k < len; k++) {
            uint8_t b = win[(at - 1 - d + k) & (wsize - 1)];
            win[(at + k) & (wsize - 1)] = b;
            out.push_back(b);
        }
    }
    return out;
}

} // namespace model

// ---------------------------------------------------------------------------

// Literals, repeats of the last byte, overlapping and distant matches,
// matches reaching before the start (spaces) and a match cut at the end,
// for every method.
TEST(DecodeBlocks, LiteralsAndMatchesForEveryMethod)
{
    for (int method : {4, 5, 6, 7}) {
        SCOPED_TRACE(method);
        std::vector<Sym> syms = {
            {4, 2},                                   // before the start: spaces
            {0, 'a'}, {0, 'b'}, {0, 'c'}, {5, 0},     // repeat 'c'
            {7, 2},                                   // overlapping: "cccc..." pattern
            {0, 'x'}, {3, 11}, {10, 1},               // back into "abc"
        };
        for (int i = 0; i < 300; i++)
            syms.push_back({0, (unsigned)(i * 7 % 256)});
        syms.push_back({200, 290});                   // far back, d >= 256
        syms.push_back({256, 3});                     // longest match
        syms.push_back({256, 0});                     // cut at the end
        BitWriter w;
        flat_head(w, method, (unsigned)syms.size());
        put_syms(w, method, syms);
        uint64_t n = expand(syms, ~0ull, window_of(method)).size() - 100;
        Bytes want = expand(syms, n, window_of(method));
        ASSERT_EQ(want.size(), n);
        ASSERT_EQ(Bytes(want.begin(), want.begin() + 4), str("    "));

        Outcome r = extract(method, w.bytes, n);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.crc, crc_of(want));
    }
}

// Every short distance (patterns of 1 to 17 bytes, copied by different
// paths) with lengths around the copy widths, inside a stream long enough
// for the decoder's fast loop.
TEST(DecodeBlocks, ShortDistancesRepeatTheirPattern)
{
    for (int method : {5, 7}) {
        SCOPED_TRACE(method);
        std::vector<Sym> syms;
        for (int i = 0; i < 40; i++)
            syms.push_back({0, (unsigned)(i * 37 % 256)});
        for (unsigned d = 1; d <= 17; d++)
            for (unsigned len : {3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 40u, 256u}) {
                syms.push_back({len, d - 1});
                syms.push_back({0, (d * 11 + len) % 256});
            }
        BitWriter w;
        flat_head(w, method, (unsigned)syms.size());
        put_syms(w, method, syms);
        Bytes want = expand(syms, ~0ull, window_of(method));
        Outcome r = extract(method, w.bytes, want.size());
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(r.out == want);
        EXPECT_EQ(r.crc, crc_of(want));
    }
}

// A distance beyond the 4 KB window of -lh4- wraps within the window.
TEST(DecodeBlocks, Lh4DistanceWrapsInItsWindow)
{
    std::vector<Sym> syms;
    for (int i = 0; i < 5000; i++)
        syms.push_back({0, (unsigned)((i * 13 + i / 256) % 256)});
    syms.push_back({50, 4096 + 99}); // same as distance value 99
    BitWriter w;
    flat_head(w, 4, (unsigned)syms.size());
    put_syms(w, 4, syms);
    Bytes want = expand(syms, 5050, 4096);
    Bytes same(want.end() - 50, want.end());
    Bytes from(want.end() - 50 - 100, want.end() - 100);
    EXPECT_EQ(same, from);
    Outcome r = extract(4, w.bytes, 5050);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, want);
}

// Counts of 0: a code of one symbol that reads no bits. The t code of one
// symbol (11 = length 9) makes the flat c code without any bits per length;
// a c code of one match symbol with a p code of one symbol (distance 0)
// repeats the space before the start.
TEST(DecodeBlocks, SingleSymbolCodes)
{
    struct Case {
        const char *what;
        unsigned c_symbol; // 0xFFFF: flat c list through a single-symbol t code
        std::string want;
    };
    const Case cases[] = {
        {"literal", 'A', "AAAAA"},
        {"match from before the start, cut", 258, "            "},
        {"t code of one symbol", 0xFFFF, "hello"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        w.put((unsigned)c.want.size(), 16);
        if (c.c_symbol == 0xFFFF) {
            w.put(0, 5);
            w.put(11, 5); // t: single symbol 11, c lengths of 9
            w.put(510, 9);
        } else {
            w.put(0, 5);
            w.put(0, 5);
            w.put(0, 9);
            w.put(c.c_symbol, 9);
        }
        w.put(0, 4);
        w.put(0, 4); // p: single symbol 0
        if (c.c_symbol == 0xFFFF)
            for (char ch : c.want)
                w.put((uint8_t)ch, 9);
        Outcome r = extract(5, w.bytes, c.want.size());
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, str(c.want));
    }
}

// Zero runs of every kind in the c list, the t list's zero-run field, and a
// run that would pass the end of the list.
TEST(DecodeBlocks, ZeroRunsInTheLengthLists)
{
    BitWriter w;
    w.put(4, 16);
    // t list: lengths 5 for indices 0..2, the zero-run field 2 clears
    // indices 3 and 4, then lengths 5 for 5..18. Codes: t symbols 0, 1, 2
    // are 0, 1, 2; symbol s >= 5 is s - 2.
    w.put(19, 5);
    for (int i = 0; i < 3; i++)
        w.len(5);
    w.put(2, 2);
    for (int i = 5; i < 19; i++)
        w.len(5);
    // c list: 'A' (65) and 'E' (69) get length 5 (t symbol 7, code 5).
    w.put(300, 9);
    w.put(0, 5);            // 1 zero: index 0
    w.put(1, 5), w.put(0, 4);  // 3 zeros: 1..3
    w.put(1, 5), w.put(15, 4); // 18 zeros: 4..21
    w.put(0, 5);            // with the one before, 19 zeros: 22
    w.put(2, 5), w.put(0, 9);  // 20 zeros: 23..42
    w.put(2, 5), w.put(2, 9);  // 22 zeros: 43..64
    w.put(5, 5);            // 'A' = length 5
    w.put(1, 5), w.put(0, 4);  // 66..68
    w.put(5, 5);            // 'E' = length 5
    w.put(2, 5), w.put(511, 9); // 531 zeros, stops at index 299: list ends
    w.put(0, 4), w.put(0, 4);   // p: single symbol
    for (int bit : {0, 1, 1, 0})
        w.put(bit, 5);      // 'A' = 00000, 'E' = 00001
    Outcome r = extract(5, w.bytes, 4);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, str("AEEA"));
}

// c codes of 13 and 14 bits and p codes of 9 bits go beyond the first-level
// tables and are found by walking the tree.
// A block head whose c code has codes of 1 to 14 bits ('A' to 'O' and a
// match of length 4, c symbol 257) and whose p code has symbols 0 to 9 of
// 1 to 9 bits; returns the c codes (symbol -> code, length).
std::map<unsigned, std::pair<unsigned, unsigned>> long_codes_head(BitWriter &w, unsigned block_size)
{
    w.put(block_size, 16);
    flat_t(w);
    // c: 'A'..'M' lengths 1..13, 'N' and 'O' 14, match length 4 (c 257) 14:
    // over by one code of 14 bits, so 'A' is dropped to length 2 to fit.
    w.put(258, 9);
    w.put(2, 5), w.put(44, 9); // 64 zeros
    w.put(0, 5);               // 65th zero: index 64
    const unsigned lens[] = {2, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 14};
    for (unsigned l : lens)
        w.put(l + 2, 5);       // indices 65..79 = 'A'..'O'
    w.put(2, 5), w.put(156, 9); // 176 zeros: 80..255
    w.put(0, 5);               // 256
    w.put(14 + 2, 5);          // 257: match of length 4, 14 bits
    // p: symbols 0..8 lengths 1..9, symbol 9 length 9.
    w.put(10, 4);
    for (unsigned l : {1, 2, 3, 4, 5, 6, 7, 8, 9, 9})
        w.len(l);
    // Canonical codes, in order of length then symbol.
    std::vector<std::pair<unsigned, unsigned>> sym_len;
    for (unsigned i = 0; i < 15; i++)
        sym_len.push_back({'A' + i, lens[i]});
    sym_len.push_back({257, 14});
    std::map<unsigned, std::pair<unsigned, unsigned>> code; // symbol -> code, length
    unsigned next = 0;
    for (unsigned l = 1; l <= 16; l++) {
        for (auto [s, sl] : sym_len)
            if (sl == l)
                code[s] = {next++, l};
        next <<= 1;
    }
    return code;
}

TEST(DecodeBlocks, LongCodesWalkTheTree)
{
    BitWriter w;
    auto code = long_codes_head(w, 17);
    std::string text = "ONMLKJIHGFEDCBA";
    for (char ch : text)
        w.put(code[(unsigned)ch].first, code[(unsigned)ch].second);
    // Match of 4 with p symbol 9 (code 111111111), d = 256 + e: wraps to spaces.
    w.put(code[257].first, code[257].second);
    w.put(0x1FF, 9);
    w.put(3, 8); // d = 259: before the start
    // Match of 4 with p symbol 8 (code 111111110): d = 128 + 0, also spaces.
    w.put(code[257].first, code[257].second);
    w.put(0x1FE, 9);
    w.put(0, 7);
    Outcome r = extract(5, w.bytes, 23);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, str(text + "        "));
}

// Matches whose p code is too long for the table (symbol 9 of 9 bits)
// behind short c codes: the p tree is walked inside the fast loop, and the
// loop goes on after it.
TEST(DecodeBlocks, LongPCodesInTheFastLoop)
{
    std::vector<Sym> syms;
    for (unsigned i = 0; i < 600; i++)
        syms.push_back(i % 4 == 3 && i > 300 ? Sym{10, 256 + i % 200} : Sym{0, i * 29 % 256});
    BitWriter w;
    w.put((unsigned)syms.size(), 16);
    flat_t(w);
    flat_c(w);
    // p: symbols 0..8 lengths 1..9, symbol 9 length 9 (code 111111111).
    w.put(10, 4);
    for (unsigned l : {1, 2, 3, 4, 5, 6, 7, 8, 9, 9})
        w.len(l);
    for (const Sym &y : syms) {
        if (y.len == 0) {
            w.put(y.value, 9);
            continue;
        }
        w.put(y.len + 253, 9);
        w.put(0x1FF, 9);
        w.put(y.value - 256, 8);
    }
    Bytes want = expand(syms, ~0ull, window_of(5));
    Outcome r = extract(5, w.bytes, want.size());
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.out == want);
}

// A block size of 0 keeps the block's codes for 2^32 symbols: no new block
// head is read however many symbols follow.
TEST(DecodeBlocks, BlockSizeZeroKeepsTheCodes)
{
    BitWriter w;
    w.put(0, 16);
    w.put(0, 5), w.put(0, 5);
    w.put(0, 9), w.put('Q', 9);
    w.put(0, 4), w.put(0, 4);
    Outcome r = extract(6, w.bytes, 100000);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, Bytes(100000, 'Q'));
}

// The same in a stream long enough for the decoder's fast loop, whose
// first symbol has a code too long for the lookup table: a size of 0 means
// 2^32 symbols there too, not an empty block.
TEST(DecodeBlocks, BlockSizeZeroIsOneLongBlock)
{
    BitWriter w;
    auto code = long_codes_head(w, 0);
    std::string text;
    for (int i = 0; i < 60; i++)
        text += "ONMLKJIHGFEDCBA";
    for (char ch : text)
        w.put(code[(unsigned)ch].first, code[(unsigned)ch].second);
    Outcome r = extract(5, w.bytes, text.size());
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, str(text));
}

// Block size 1, a t code of the single symbol 0 (one zero length, no bits),
// a c count of 511: the zero run at index 510 ends the list instead of
// looping for ever. All c lengths are 0, so the one symbol is 0.
TEST(DecodeBlocks, CountOf511EndsTheList)
{
    BitWriter w;
    w.put(1, 16);
    w.put(0, 5), w.put(0, 5);
    w.put(511, 9);
    w.put(0, 21);
    ASSERT_EQ(w.bytes.size(), 7u);
    alarm(20); // a hang fails the test instead of stalling the suite
    Outcome r = extract(5, w.bytes, 1);
    alarm(0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, Bytes(1, 0));
}

// Damaged code lengths still decode the way the format defines.
TEST(DecodeBlocks, DamagedCodes)
{
    struct Case {
        const char *what;
        unsigned zero_len;            // c length of symbol 0
        std::vector<unsigned> c_lens; // c lengths of 'a', 'b', 'c'
        std::vector<std::pair<unsigned, int>> bits;
        std::string want;
    };
    const Case cases[] = {
        // a = 0, b = 1, c wraps round to 0 and overwrites a.
        {"over-full: later symbols win", 0, {1, 1, 1}, {{0, 1}, {1, 1}}, "cb"},
        // a = 00, b = 01; codes 1x reach no symbol: symbol 0 (a NUL byte),
        // taking as many bits as symbol 0's length, here none.
        {"uncovered entries give symbol 0", 0, {2, 2, 0}, {{0, 2}, {2, 2}}, std::string("a\0\0", 3)},
        // Symbol 0 has a 14-bit code 10000000000000; 11... is uncovered
        // and takes 14 bits.
        {"symbol 0 takes its own length", 14, {2, 2, 0}, {{0, 2}, {0x3000, 14}, {1, 2}},
         std::string("a\0b", 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        BitWriter w;
        w.put((unsigned)c.want.size(), 16);
        flat_t(w);
        w.put(100, 9);
        w.put(c.zero_len ? c.zero_len + 2 : 0, 5); // index 0
        w.put(2, 5), w.put(76, 9);                 // 96 zeros: 1..96
        for (unsigned l : c.c_lens)
            w.put(l ? l + 2 : 0, 5);               // 97..99
        w.put(0, 4), w.put(0, 4);
        for (auto [v, n] : c.bits)
            w.put(v, n);
        Outcome r = extract(5, w.bytes, c.want.size());
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, str(c.want));
    }
}

// The length escape counts at most sixteen 1 bits (length 23) and then
// takes one more bit whatever it is. A length above 16 gives no code.
TEST(DecodeBlocks, LengthEscapeStopsAfterSixteenOnes)
{
    BitWriter w;
    w.put(5, 16);
    flat_t(w);
    flat_c(w);
    w.put(3, 4);
    w.len(23);
    w.put(1, 1); // ends the run although it is a 1
    w.len(1);    // p symbol 1: code 0
    w.len(1);    // p symbol 2: code 1
    put_syms(w, 5, {{0, 'x'}, {0, 'y'}, {0, 'z'}});
    w.put(256, 9), w.put(0, 1);         // length 3, p 1: d = 1
    w.put(256, 9), w.put(1, 1), w.put(0, 1); // length 3, p 2, e 0: d = 2
    Outcome r = extract(5, w.bytes, 9);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out, str("xyzyzyyzy"));
}

// Packed data that ends early: the last byte's padding and a few bytes of
// slack read as zero bits (an encoder may leave out a last byte of zero
// bits), so a stream cut by one byte still decodes as if zero-padded.
// Needing more than that is damage: the entry fails at once instead of
// making up its whole declared size from nothing. The bytes after
// comp_size in the archive are never read.
TEST(DecodeBlocks, TruncatedDataIsDamage)
{
    std::vector<Sym> syms;
    for (int i = 0; i < 2000; i++)
        syms.push_back(i % 5 ? Sym{0, (unsigned)(i * 31 % 256)} : Sym{9, (unsigned)(i % 700)});
    BitWriter w;
    flat_head(w, 6, (unsigned)syms.size());
    put_syms(w, 6, syms);
    uint64_t n = expand(syms, ~0ull, 32768).size();
    for (size_t cut : {w.bytes.size() - 1, w.bytes.size() / 2, (size_t)700, (size_t)3, (size_t)0}) {
        SCOPED_TRACE(cut);
        Bytes part(w.bytes.begin(), w.bytes.begin() + cut);
        Bytes padded = part;
        padded.resize(part.size() + 4000, 0);
        Outcome padr = extract(6, padded, n);
        for (uint64_t in_max : {(uint64_t)64 << 20, (uint64_t)1 << 10}) {
            BufferLimits bl(in_max, 0);
            Outcome shortr = extract(6, part, n);
            if (cut == w.bytes.size() - 1) {
                EXPECT_EQ(shortr.rc, 0);
                EXPECT_EQ(shortr.out, padr.out);
                EXPECT_EQ(shortr.crc, crc_of(shortr.out));
            } else {
                EXPECT_EQ(shortr.rc, TMB_EXTRACT_DAMAGED);
                EXPECT_LT(shortr.out.size(), n);
            }
        }
    }
    // A comp_size far beyond the archive reads what is there and then zero
    // bits, in either mode (the trailing bytes of the archive file are
    // real data then, as in any damaged archive).
    Outcome whole = extract(6, w.bytes, n);
    for (uint64_t in_max : {(uint64_t)64 << 20, (uint64_t)1 << 10}) {
        BufferLimits bl(in_max, 0);
        Outcome huge = extract(6, w.bytes, n, (int64_t)1 << 40);
        EXPECT_EQ(huge.rc, 0);
        EXPECT_TRUE(huge.out == whole.out);
    }
}

// The unpacking fuzz target's seeds and findings, read as it reads them
// (byte 0: method and buffer sizes, bytes 1-3: the size, then packed data):
// memory mode with one output buffer size and stream mode with another give
// one verdict and, on success, one CRC. Whether the decoder ran past the
// end of the data must depend only on the symbols read, not on how the
// input was read or where the fast loop could run.
TEST(DecodeBlocks, FuzzSeedsGiveOneVerdictForAllBufferSizes)
{
    const int methods[8] = {0, 1, 4, 5, 6, 7, 9, -1};
    const uint64_t outbufs[8] = {256, 1000, 4096, 65536, 300, 8192, 32768, 1 << 20};
    std::string dir = std::string(TMB_SOURCE_DIR) + "/fuzz/corpus/extract";
    int files = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        FILE *f = fopen(e.path().c_str(), "rb");
        ASSERT_NE(f, nullptr);
        Bytes d;
        for (int c; (c = fgetc(f)) != EOF;)
            d.push_back((uint8_t)c);
        fclose(f);
        if (d.size() < 4)
            continue;
        SCOPED_TRACE(e.path().filename().string());
        files++;
        int method = methods[d[0] & 7];
        uint64_t n = (d[1] | d[2] << 8 | d[3] << 16) & (d[0] & 0x40 ? 0xFFFFF : 0xFFFF);
        Bytes packed(d.begin() + 4, d.end());
        Outcome a, b;
        {
            BufferLimits bl(1 << 24, outbufs[(d[0] >> 3) & 7]);
            tmb_extract_reset_tables(ctx());
            a = extract(method, packed, n);
        }
        {
            BufferLimits bl(0, outbufs[((d[0] >> 3) + 3) & 7]);
            tmb_extract_reset_tables(ctx());
            b = extract(method, packed, n);
        }
        EXPECT_EQ(a.rc, b.rc);
        if (a.rc == 0) {
            EXPECT_EQ(a.crc, b.crc);
            EXPECT_EQ(a.out.size(), n);
        }
    }
    EXPECT_GT(files, 0);
}

// Memory mode (the whole packed data read at once), stream mode (comp_size
// above the in-memory limit) and small output buffers all give the same bytes.
TEST(DecodeBlocks, MemoryAndStreamModesAgree)
{
    std::mt19937 rng(7);
    std::vector<Sym> syms;
    for (int i = 0; i < 60000; i++) {
        if (rng() % 3)
            syms.push_back({0, (unsigned)(rng() % 40 + 'A')});
        else
            syms.push_back({3 + (unsigned)(rng() % 254), (unsigned)(rng() % 65536)});
    }
    BitWriter w;
    flat_head(w, 7, (unsigned)syms.size());
    put_syms(w, 7, syms);
    uint64_t n = expand(syms, ~0ull, 65536).size();
    Bytes want = expand(syms, n, 65536);
    const uint64_t size = w.bytes.size();
    const struct {
        uint64_t in_max, out_max;
    } limits[] = {{size, 0}, {size - 1, 0}, {1, 1024}, {size, 1024}, {size - 1, 4096}};
    for (auto l : limits) {
        SCOPED_TRACE(testing::Message() << l.in_max << " " << l.out_max);
        BufferLimits bl(l.in_max, l.out_max);
        Outcome r = extract(7, w.bytes, n);
        EXPECT_EQ(r.rc, 0);
        EXPECT_TRUE(r.out == want);
        EXPECT_EQ(r.crc, crc_of(want));
        // The next entry starts from spaces again, whatever the last left.
        for (int method : {4, 7}) {
            BitWriter s;
            s.put(0, 16), s.put(0, 10), s.put(0, 9), s.put(258, 9), s.put(0, 10);
            EXPECT_EQ(extract(method, s.bytes, 70000).out, Bytes(70000, ' '));
        }
    }
}

// On random and damaged streams the decoder agrees byte for byte with the
// model decoder, and never fails, crashes or hangs.
TEST(DecodeBlocks, AgreesWithTheModelOnDamagedData)
{
    std::mt19937 rng(12345);
    tmb_extract_reset_tables(ctx());
    model::reset();
    int damaged = 0;
    for (int round = 0; round < 300; round++) {
        int method = 4 + round % 4;
        Bytes in;
        if (round % 3 == 0) {
            // Random bytes: damaged lists, over-full codes, long walks.
            in.resize(rng() % 3000);
            for (auto &b : in)
                b = (uint8_t)rng();
        } else {
            // A valid flat stream with some bytes flipped.
            std::vector<Sym> syms;
            for (int i = 0; i < 3000; i++)
                syms.push_back(rng() % 2 ? Sym{0, (unsigned)(rng() % 256)}
                                         : Sym{3 + (unsigned)(rng() % 254), (unsigned)(rng() % 9000)});
            BitWriter w;
            flat_head(w, method, round % 2 ? 1000 : 3000);
            put_syms(w, method, syms);
            in = w.bytes;
            for (int k = 0; k < 3; k++)
                in[rng() % in.size()] ^= (uint8_t)(1u << (rng() % 8));
        }
        uint64_t n = rng() % 200000;
        SCOPED_TRACE(testing::Message() << "round " << round);
        Bytes want = model::decode(method, in, n);
        Outcome r = extract(method, in, n);
        if (r.rc == TMB_EXTRACT_DAMAGED) {
            // Cut off where the data ran out: what went out is the start
            // of the model's bytes.
            ASSERT_LE(r.out.size(), want.size());
            ASSERT_TRUE(std::equal(r.out.begin(), r.out.end(), want.begin()));
            damaged++;
        } else {
            ASSERT_EQ(r.rc, 0);
            ASSERT_TRUE(r.out == want);
        }
    }
    // Both outcomes are exercised.
    EXPECT_GT(damaged, 0);
    EXPECT_LT(damaged, 300);
}

// ---------------------------------------------------------------------------
// The driver

TEST(Extract, StoredEntriesAreCopied)
{
    const Bytes data = str("stored bytes, copied as they are");
    struct Case {
        int method;
        uint64_t in_max;
        int64_t comp;
        uint64_t orig;
        int rc;
    };
    const Case cases[] = {
        {0, 1 << 20, -1, data.size(), 0},          // memory mode
        {9, 1 << 20, -1, data.size(), 0},          // "-lz4-"
        {0, 4, -1, data.size(), 0},                // stream mode
        {0, 1 << 20, -1, 10, 0},                   // comp_size above orig_size: first 10 bytes
        {0, 1 << 20, 20, data.size(), TMB_EXTRACT_DAMAGED},         // data ends early (memory)
        {9, 4, 20, data.size(), TMB_EXTRACT_DAMAGED},               // data ends early (stream)
        {0, 1 << 20, 1000, data.size(), 0},        // comp_size past the end of the archive
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.method << " " << c.in_max << " " << c.comp << " " << c.orig);
        BufferLimits bl(c.in_max, 0);
        Outcome r = extract(c.method, data, c.orig, c.comp);
        EXPECT_EQ(r.rc, c.rc);
        if (c.rc == 0) {
            Bytes want(data.begin(), data.begin() + (long)c.orig);
            EXPECT_EQ(r.out, want);
            EXPECT_EQ(r.crc, crc_of(want));
        } else {
            EXPECT_EQ(r.crc, 0xBEEF); // kept on failure
        }
    }
}

// A stored entry larger than the output buffer is written in full buffers;
// a short one fails without writing the partial last buffer.
TEST(Extract, StoredEntriesGoOutInFullBuffers)
{
    BufferLimits bl(1 << 20, 1024);
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 7);
    Outcome ok = extract(0, data, 5000);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.out, data);
    Outcome cut = extract(0, Bytes(data.begin(), data.begin() + 3000), 5000);
    EXPECT_EQ(cut.rc, TMB_EXTRACT_DAMAGED);
    EXPECT_EQ(cut.out, Bytes(data.begin(), data.begin() + 2048));
}

TEST(Extract, EmptyEntriesSucceedWithCrcZero)
{
    for (int method : {0, 1, 4, 5, 6, 7, 9}) {
        SCOPED_TRACE(method);
        Outcome r = extract(method, str("xyz"), 0);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.crc, 0);
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(r.err, "");
        EntryHeader h{};
        h.method = method;
        EXPECT_TRUE(tmb_extract_supported(&h));
    }
}

// Methods that cannot be unpacked fail, and the caller's message names
// them by tmb_method_name (the driver itself prints nothing). A non-empty
// "-lh1-" entry is one of them: producing nothing and calling it done
// would pass whenever its stored CRC happens to be 0.
TEST(Extract, UnsupportedMethodsAreNamed)
{
    const struct {
        int method;
        const char *msg;
    } cases[] = {
        {1, "Unsupported method: -lh1-\n"},  {2, "Unsupported method: -lh2-\n"},
        {3, "Unsupported method: -lh3-\n"},  {8, "Unsupported method: -lzs-\n"},
        {10, "Unsupported method: -lz5-\n"}, {-1, "Unsupported method: -----\n"},
        {11, "Unsupported method: -----\n"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.method);
        Outcome r = extract(c.method, str("abc"), 3);
        EXPECT_EQ(r.rc, TMB_EXTRACT_UNSUPPORTED);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ("Unsupported method: " + std::string(tmb_method_name(c.method)) + "\n", c.msg);
        EntryHeader h{};
        h.method = c.method;
        h.orig_size = 3;
        EXPECT_FALSE(tmb_extract_supported(&h));
        EXPECT_EQ(r.crc, 0xBEEF);
        EXPECT_TRUE(r.out.empty());
    }
}

// A failed write to the output stream is a failure, stored or decoded.
TEST(Extract, WriteFailureIsReported)
{
    FILE *full = fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    BitWriter w;
    w.put(0, 16), w.put(0, 5), w.put(0, 5), w.put(0, 9), w.put('Z', 9), w.put(0, 8);
    const struct {
        int method;
        Bytes packed;
        uint64_t orig;
    } cases[] = {{0, str("some stored bytes"), 17}, {5, w.bytes, 300000}, {5, w.bytes, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.orig);
        EntryHeader h{};
        h.method = c.method;
        h.orig_size = c.orig;
        h.comp_size = c.packed.size();
        FILE *arc = tmpfile();
        fwrite(c.packed.data(), 1, c.packed.size(), arc);
        rewind(arc);
        uint16_t crc;
        EXPECT_EQ(tmb_extract(ctx(), arc, full, &h, &crc), -1);
        clearerr(full);
        fclose(arc);
    }
    fclose(full);
}

// Testing (no output stream) computes the same CRC as extracting.
TEST(Extract, TestingComputesTheSameCrc)
{
    std::vector<Sym> syms = {{0, 'q'}, {20, 0}, {0, 'r'}, {30, 5}};
    BitWriter w;
    flat_head(w, 5, 4);
    put_syms(w, 5, syms);
    Outcome r = extract(5, w.bytes, 52);
    EntryHeader h{};
    h.method = 5;
    h.orig_size = 52;
    h.comp_size = w.bytes.size();
    FILE *arc = tmpfile();
    fwrite(w.bytes.data(), 1, w.bytes.size(), arc);
    rewind(arc);
    uint16_t crc;
    EXPECT_EQ(test_only(arc, h, &crc), 0);
    EXPECT_EQ(crc, r.crc);
    EXPECT_EQ(r.crc, crc_of(expand(syms, 52, 8192)));
    fclose(arc);
}

} // namespace

// Every byte produced is reported to the progress bar exactly once, in
// flushes of at most one output buffer, stored or decoded.
TEST(Extract, ProgressCountsEveryByte)
{
    BufferLimits bl(1 << 20, 1024);
    s_bar.clock = []() -> clock_t { return 0; }; // never a timed redraw
    std::vector<Sym> syms;
    for (int i = 0; i < 3000; i++)
        syms.push_back(i % 3 ? Sym{0, (unsigned)i % 256} : Sym{200, (unsigned)i % 5000});
    BitWriter w;
    flat_head(w, 6, (unsigned)syms.size());
    put_syms(w, 6, syms);
    const uint64_t n = 100000;
    Bytes stored(n, 'S');
    const struct {
        int method;
        const Bytes *packed;
    } cases[] = {{6, &w.bytes}, {0, &stored}};
    for (auto c : cases) {
        SCOPED_TRACE(c.method);
        s_bar.prog_on = 1;
        s_bar.prog_total = (uint64_t)1 << 62; // no 5 % step is ever crossed
        s_bar.prog_done = 0;
        s_bar.prog_last = 0;
        s_bar.prog_calls = 0;
        Outcome r = extract(c.method, *c.packed, n);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(s_bar.prog_done, n);
        EXPECT_GE((uint64_t)s_bar.prog_calls * 1024, n);
        s_bar.prog_on = 0;
    }
    s_bar = ProgressBar{};
}

// ---------------------------------------------------------------------------
// Round trips through the encoder

namespace {

Bytes varied_data(int kind, size_t n)
{
    std::mt19937 rng((unsigned)(kind * 1000 + n));
    Bytes b(n);
    static const char *words[] = {"the ", "archive ", "of ", "Amiga ", "floppy ", "disk ", "\n", "lzh ", "window "};
    size_t i = 0;
    switch (kind) {
    case 0: // text-like
        while (i < n)
            for (const char *w = words[rng() % 9]; *w && i < n; w++)
                b[i++] = (uint8_t)*w;
        break;
    case 1: // random: stored
        for (auto &x : b)
            x = (uint8_t)rng();
        break;
    case 2: // long runs and far repeats beyond every window
        for (; i < n; i++)
            b[i] = (i / 70000) % 2 ? (uint8_t)(i % 251) : (uint8_t)((i / 300) & 0xFF);
        break;
    default: // small alphabet, short matches
        for (auto &x : b)
            x = (uint8_t)("ab\0\xff"[rng() % 4]);
        break;
    }
    return b;
}

TEST(RoundTrip, EncoderOutputDecodesToTheInput)
{
    const size_t sizes[] = {0, 1, 2, 3, 255, 4096, 70000, 300000};
    for (int method : {5, 6, 7})
        for (int kind = 0; kind < 4; kind++)
            for (size_t n : sizes) {
                SCOPED_TRACE(testing::Message() << "method " << method << " kind " << kind << " size " << n);
                Bytes data = varied_data(kind, n);
                FILE *in = tmpfile(), *packed = tmpfile();
                if (!data.empty())
                    fwrite(data.data(), 1, data.size(), in);
                rewind(in);
                EntryHeader h{};
                h.method = method;
                ASSERT_EQ(tmb_compress(testkit::shared_encoder(), in, packed, &h, method, false, {}), 1);
                ASSERT_EQ(h.orig_size, n);
                fclose(in);
                Bytes p(h.comp_size);
                rewind(packed);
                ASSERT_EQ(fread(p.data(), 1, p.size(), packed), p.size());
                fclose(packed);
                for (uint64_t in_max : {(uint64_t)1 << 30, (uint64_t)1024}) {
                    BufferLimits bl(in_max, 0);
                    Outcome r = extract(h.method, p, n);
                    ASSERT_EQ(r.rc, 0);
                    ASSERT_TRUE(r.out == data);
                    ASSERT_EQ(r.crc, h.crc);
                    // Testing only (no output stream) gets the same CRC.
                    FILE *arc = tmpfile();
                    if (!p.empty())
                        fwrite(p.data(), 1, p.size(), arc);
                    rewind(arc);
                    uint16_t crc;
                    ASSERT_EQ(test_only(arc, h, &crc), 0);
                    ASSERT_EQ(crc, h.crc);
                    fclose(arc);
                }
            }
}

} // namespace
