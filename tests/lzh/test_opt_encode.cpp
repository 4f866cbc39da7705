// The optimal encoder (-9): its streams decode to the input through the
// archiver's decoder, through an independent reader that also checks the
// format's limits block by block, and through the self-extractor; output
// that does not shrink is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "os_host.h"
#include "sfx.h"
#include "pack_kit.h"
#include "testkit.h"
#include "tmb_codec.h"
#include "tmb_enc_ctx.h"
#include "tmb_enc_wrap.h"
#include "tmb_header.h"
#include "tmb_opt_parse.h"
#include "tmb_sfx.h"
#include "tmb_sfx_image.h"

namespace {

using testkit::Bytes;
using testkit::Packed;
using testkit::extract;

// -9 unless said otherwise.
Packed pack(const Bytes &input, int method, bool optimal = true)
{
    return testkit::pack(input, method, optimal);
}

// ------------------------------------------------------------- inputs

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 16);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

enum Kind { TEXT, BINARY, RANDOM, RUNS, FEW_LETTERS };

// TEXT: words and line breaks; BINARY: slowly rising little-endian numbers
// between small fields; RANDOM: incompressible; RUNS: long runs, short
// repeats and noise; FEW_LETTERS: random letters from a 40-letter alphabet,
// which parse to long stretches of literals (many tokens per byte).
Bytes make(Kind kind, size_t n, uint64_t seed)
{
    static const char *words[] = {"the", "archive", "of", "window", "a", "match", "block",
                                  "code", "length", "and", "to", "Huffman", "tree", "{", "}",
                                  "return", "int", "static", "=", "0;"};
    Rng r(seed);
    Bytes b;
    b.reserve(n + 4096);
    while (b.size() < n) {
        switch (kind) {
        case TEXT: {
            const char *w = words[r.below(sizeof words / sizeof *words)];
            b.insert(b.end(), w, w + strlen(w));
            b.push_back(r.below(9) == 0 ? '\n' : ' ');
            break;
        }
        case BINARY: {
            uint32_t v = 0x1000 + (uint32_t)b.size() / 3 + r.below(40);
            for (int k = 0; k < 4; k++)
                b.push_back((uint8_t)(v >> (8 * k)));
            b.push_back((uint8_t)r.below(4));
            b.push_back(0);
            break;
        }
        case RANDOM:
            b.push_back((uint8_t)r.next());
            break;
        case RUNS:
            switch (r.below(3)) {
            case 0: b.insert(b.end(), 1 + r.below(3000), (uint8_t)r.next()); break;
            case 1: for (uint32_t k = r.below(500); k > 0; k--) { b.push_back('x'); b.push_back((uint8_t)k); } break;
            default: for (uint32_t k = 1 + r.below(40); k > 0; k--) b.push_back((uint8_t)r.next());
            }
            break;
        case FEW_LETTERS:
            b.push_back((uint8_t)('0' + r.below(40)));
            break;
        }
    }
    b.resize(n);
    return b;
}

unsigned window_of(int method) { return 1u << lzh::params_of(method)->dicbit; }

// ------------------------------------------------------ encoding paths

// Straight through the encoder, with chosen knobs and no cap on the packed
// size: the stream, whatever its size.
Bytes encode(const Bytes &input, int method, const tmbopt::OptParams &prm = {})
{
    EncoderCtx *ctx = testkit::shared_encoder();
    FILE *in = testkit::tmpfile_with(input);
    FILE *out = tmpfile();
    encode_bind(ctx, in, out, (int64_t)1 << 40, {});
    EXPECT_TRUE(tmbopt::opt_prepare(ctx, method, prm));
    tmbopt::opt_encode(ctx);
    EXPECT_EQ(ctx->unpackable, 0);
    EXPECT_EQ(ctx->bytes_read, (int64_t)input.size());
    Bytes b = testkit::whole_stream(out);
    b.insert(b.end(), ctx->encio_buf, ctx->encio_buf + ctx->encio_n);
    EXPECT_EQ(b.size(), (size_t)ctx->compsize);
    ctx->encio_n = 0;
    fclose(in);
    fclose(out);
    return b;
}

// ------------------------------------- independent reader of the blocks

class BitReader {
public:
    explicit BitReader(const Bytes &b) : b_(b) {}
    unsigned get(int n)
    {
        unsigned v = 0;
        for (int i = 0; i < n; i++, pos_++)
            v = v << 1 | (pos_ / 8 < b_.size() ? (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1 : 0);
        return v;
    }
    size_t bits() const { return pos_; }

private:
    const Bytes &b_;
    size_t pos_ = 0;
};

// A canonical code from its lengths, or a single symbol that takes no bits.
struct Code {
    int single = -1;
    std::vector<int> len;
    std::vector<int> by_len[24];

    // The limits every code must keep: lengths 1..16, and a complete code
    // (Kraft sum exactly 1) so that no bit pattern is left undefined.
    void check(const char *what)
    {
        if (single >= 0)
            return;
        uint64_t kraft = 0;
        int used = 0;
        for (size_t s = 0; s < len.size(); s++) {
            if (len[s] == 0)
                continue;
            EXPECT_LE(len[s], 16) << what << " symbol " << s;
            if (len[s] > 16)
                continue;
            kraft += 1ull << (16 - len[s]);
            by_len[len[s]].push_back((int)s);
            used++;
        }
        EXPECT_GE(used, 2) << what;
        EXPECT_EQ(kraft, 1ull << 16) << what << ": code not complete";
    }

    int decode(BitReader &br) const
    {
        if (single >= 0)
            return single;
        unsigned code = 0, first = 0;
        for (int l = 1; l <= 16; l++) {
            code = code << 1 | br.get(1);
            if (code - first < by_len[l].size())
                return by_len[l][code - first];
            first = (first + (unsigned)by_len[l].size()) << 1;
        }
        ADD_FAILURE() << "invalid code";
        return 0;
    }
};

Code read_len_list(BitReader &br, int nsym, int nbit, int special)
{
    Code code;
    int n = (int)br.get(nbit);
    if (n == 0) {
        code.single = (int)br.get(nbit);
        EXPECT_LT(code.single, nsym);
        return code;
    }
    EXPECT_LE(n, nsym);
    code.len.assign((size_t)nsym, 0);
    for (int i = 0; i < n;) {
        int l = (int)br.get(3);
        if (l == 7)
            while (br.get(1) == 1 && l < 23)
                l++;
        if (i < nsym)
            code.len[(size_t)i] = l;
        if (++i == special)
            i += (int)br.get(2);
    }
    return code;
}

struct StreamFacts {
    Bytes out;
    std::vector<unsigned> block_tokens;
    unsigned max_dist = 0;   // largest match distance
    // Tokens of each kind (0 literal, 1 match) after each kind.
    size_t follow[2][2] = {};
    // Tokens of the kind that less often follows the kind before them.
    size_t surprises() const
    {
        return std::min(follow[0][0], follow[0][1]) + std::min(follow[1][0], follow[1][1]);
    }
};

// Decodes a whole stream, checking every block against the format's
// limits on the way. Matches may not reach before the first byte.
StreamFacts read_stream(const Bytes &packed, int method, size_t orig)
{
    const lzh::Params m = *lzh::params_of(method);
    BitReader br(packed);
    StreamFacts f;
    unsigned kind = 0;
    while (f.out.size() < orig && !testing::Test::HasFailure()) {
        unsigned count = br.get(16);
        EXPECT_GE(count, 1u) << "empty block";
        f.block_tokens.push_back(count);
        Code t = read_len_list(br, 19, 5, 3);
        t.check("t code");
        Code c;
        int n = (int)br.get(9);
        if (n == 0) {
            c.single = (int)br.get(9);
            EXPECT_LT(c.single, 510);
        } else {
            EXPECT_LE(n, 510);
            c.len.assign(510, 0);
            for (int i = 0; i < n;) {
                int sym = t.decode(br);
                if (sym >= 3)
                    c.len[(size_t)i++] = sym - 2;
                else
                    i += sym == 0 ? 1 : sym == 1 ? (int)br.get(4) + 3 : (int)br.get(9) + 20;
            }
        }
        c.check("c code");
        Code p = read_len_list(br, (int)m.np, (int)m.pbit, -1);
        p.check("p code");
        for (unsigned k = 0; k < count && f.out.size() < orig; k++) {
            int sym = c.decode(br);
            f.follow[kind][sym >= 256]++;
            kind = sym >= 256;
            if (sym < 256) {
                f.out.push_back((uint8_t)sym);
                continue;
            }
            unsigned len = (unsigned)sym - 253;
            int pc = p.decode(br);
            unsigned d = pc <= 1 ? (unsigned)pc : (1u << (pc - 1)) + br.get(pc - 1);
            EXPECT_LT(d + 1, window_of(method)) << "distance beyond the window";
            EXPECT_LT(d, f.out.size()) << "match reaching before the first byte";
            EXPECT_LE(f.out.size() + len, orig) << "match running past the end";
            if (d >= f.out.size() || f.out.size() + len > orig)
                return f;
            f.max_dist = std::max(f.max_dist, d + 1);
            for (unsigned j = 0; j < len; j++)
                f.out.push_back(f.out[f.out.size() - d - 1]);
        }
    }
    EXPECT_EQ((br.bits() + 7) / 8, packed.size()) << "bytes after the last block";
    return f;
}

// ---------------------------------------------------------------- tests

class Opt : public testing::TestWithParam<int> {};

TEST_P(Opt, RoundTripsThroughTheDecoder)
{
    const int method = GetParam();
    const size_t w = window_of(method);
    struct Case {
        Kind kind;
        size_t size;
    } cases[] = {
        {TEXT, 1},          {TEXT, 2},          {TEXT, 3},          {RUNS, 4},
        {TEXT, 1000},       {TEXT, w - 1},      {TEXT, w},          {BINARY, w + 1},
        {RUNS, 2 * w + 7},  {BINARY, 150000},   {TEXT, 300000},     {RUNS, 300000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", " + std::to_string(c.size) + " bytes");
        Bytes input = make(c.kind, c.size, c.size);
        Packed p = pack(input, method);
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(p.h.orig_size, input.size());
        EXPECT_EQ(p.h.comp_size, p.data.size());
        if (c.size >= 1000) {
            EXPECT_EQ(p.h.method, method);
        }
        EXPECT_TRUE(extract(p) == input);
    }
}

// Every block within the limits of the format, whatever the data; the
// regions are made small here so that many region ends and the history
// carried across them are crossed.
TEST_P(Opt, BlocksKeepTheFormatLimits)
{
    const int method = GetParam();
    struct Case {
        Kind kind;
        size_t size;
        uint32_t region;
    } cases[] = {
        {TEXT, 200000, 1u << 20},  {BINARY, 200000, 5000},  {RUNS, 400000, 1u << 20},
        {TEXT, 120000, 4096},      {FEW_LETTERS, 500000, 1u << 20},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + ", region " + std::to_string(c.region));
        Bytes input = make(c.kind, c.size, 7);
        tmbopt::OptParams prm;
        prm.region = c.region;
        Bytes stream = encode(input, method, prm);
        StreamFacts f = read_stream(stream, method, input.size());
        EXPECT_TRUE(f.out == input);
        // A block of more than 65,535 tokens has no 16-bit count: the
        // stream would not decode. Here the limit, not the data, must cut.
        if (c.kind == FEW_LETTERS) {
            size_t tokens = 0;
            for (unsigned n : f.block_tokens)
                tokens += n;
            EXPECT_GT(tokens, 3 * 65535u);
        }
        if (c.kind == TEXT && c.region > c.size) { // the window is used
            EXPECT_GT(f.max_dist, window_of(method) / 2);
        }
    }
}

// Text and binary data: the inputs the cost-based choice is for. (On long
// runs both encoders take the same 256-byte matches and either may win by
// a few bytes.)
TEST_P(Opt, SmallerThanTheDefaultEncoder)
{
    const int method = GetParam();
    for (Kind kind : {TEXT, BINARY}) {
        Bytes input = make(kind, 200000, 3);
        Packed best = pack(input, method, true);
        Packed plain = pack(input, method, false);
        EXPECT_LT(best.h.comp_size, plain.h.comp_size) << "kind " << kind;
    }
}

// The parse prices a token of the kind (literal or match) that seldom
// follows the kind before it, as the decoder guesses such a token wrong;
// the price depends on the token before, so the parse keeps its cost for
// either. Priced high, such tokens must become clearly fewer, and the
// stream still decode.
TEST_P(Opt, SurprisingTokensArePriced)
{
    const int method = GetParam();
    // Text: literals and matches mixed (binary, runs and few letters have
    // next to no surprising tokens to begin with).
    for (uint64_t seed : {5, 6}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Bytes input = make(TEXT, 100000, seed);
        tmbopt::OptParams free_turns, dear_turns;
        free_turns.surprise_literal = free_turns.surprise_match = 0;
        dear_turns.surprise_literal = dear_turns.surprise_match = 8 * 16;
        StreamFacts a = read_stream(encode(input, method, free_turns), method, input.size());
        StreamFacts b = read_stream(encode(input, method, dear_turns), method, input.size());
        EXPECT_TRUE(a.out == input);
        EXPECT_TRUE(b.out == input);
        EXPECT_LT(b.surprises(), a.surprises() * 8 / 10)
            << a.surprises() << " surprising tokens when free, " << b.surprises() << " when priced";
    }
}

// ----------------------------------------- the parse against every parse

// The cheapest parse of tiny inputs by exhaustive search: at every position
// a literal or any match the data allows (every distance back to the start,
// every length from 3 to the end of the data, overlapping the position
// itself too), with no match finder involved. The price of a token depends
// on the kind of the one before, so the least sum over all the parses from
// a position on is kept for each kind before; the first token comes after
// a literal.
uint32_t cheapest_parse(const Bytes &d, const tmbopt::Costs &c)
{
    const size_t n = d.size();
    std::vector<uint32_t> best(2 * (n + 1), 0);
    for (size_t i = n; i-- > 0;) {
        for (unsigned before = 0; before < 2; before++) {
            uint32_t least = c.lit[d[i]] + c.turn[before][0] + best[2 * (i + 1)];
            for (size_t dist = 1; dist <= i; dist++) {
                size_t same = 0;
                while (i + same < n && same < tmbopt::MAX_MATCH && d[i + same] == d[i - dist + same])
                    same++;
                for (size_t l = tmbopt::MIN_MATCH; l <= same; l++)
                    least = std::min(least, c.len[l] + c.pos[std::bit_width(dist - 1)] + c.turn[before][1] +
                                                best[2 * (i + l) + 1]);
            }
            best[2 * i + before] = least;
        }
    }
    return best[0];
}

// What tokens cost under the same prices; fails the test when they are not
// a parse of `d` (a match that copies other bytes, reaches before the start
// or past the end, or tokens that do not cover the data).
uint32_t price_of(const Bytes &d, const uint32_t *tokens, size_t nt, const tmbopt::Costs &c)
{
    uint32_t sum = 0;
    size_t at = 0;
    unsigned before = 0;
    for (size_t t = 0; t < nt; t++) {
        unsigned len = tmbopt::tok_len(tokens[t]), v = tmbopt::tok_value(tokens[t]);
        if (len == 1) {
            EXPECT_LT(at, d.size());
            EXPECT_EQ(v, at < d.size() ? d[at] : ~0u) << "literal at " << at;
            sum += c.lit[v & 0xFF] + c.turn[before][0];
        } else {
            size_t dist = (size_t)v + 1;
            EXPECT_GE(len, tmbopt::MIN_MATCH);
            EXPECT_LE(at + len, d.size());
            EXPECT_LE(dist, at) << "match at " << at << " reaches before the start";
            for (size_t k = 0; k < len && dist <= at && at + k < d.size(); k++)
                EXPECT_EQ(d[at + k], d[at + k - dist]) << "match at " << at << " copies another byte";
            sum += c.len[len] + c.pos[std::bit_width((size_t)v)] + c.turn[before][1];
        }
        before = len > 1;
        at += len;
    }
    EXPECT_EQ(at, d.size());
    return sum;
}

// Prices for the search: anything for literals, lengths and turns (a
// longer match may cost less or more than a shorter one), and positions
// that cost more the further back they reach, as their extra bits grow:
// then the nearest of the matches of one length is the cheapest, which is
// the one the match finder reports.
tmbopt::Costs random_prices(Rng &r)
{
    tmbopt::Costs c{};
    for (uint32_t &p : c.lit)
        p = 16 + r.below(200);
    for (unsigned l = tmbopt::MIN_MATCH; l <= tmbopt::MAX_MATCH; l++)
        c.len[l] = 16 + r.below(300);
    uint32_t up = r.below(64);
    for (uint32_t &p : c.pos) {
        p = up;
        up += r.below(48);
    }
    for (auto &row : c.turn)
        for (uint32_t &p : row)
            p = r.below(80);
    return c;
}

// On inputs of 1 to 40 bytes, the parse costs exactly as little as the
// best of all parses under the same prices: never more (a length or a
// match it did not weigh, a turn priced wrongly) and never less (then its
// tokens would not be a parse of the input).
TEST_P(Opt, ParseIsTheCheapestOfAllParsesOfTinyInputs)
{
    const int method = GetParam();
    EncoderCtx *ctx = testkit::shared_encoder();
    ASSERT_TRUE(tmbopt::opt_prepare(ctx, method));
    Rng r(900 + (uint64_t)method);
    size_t matches = 0, cut_short = 0;
    for (int round = 0; round < 1500; round++) {
        const size_t n = 1 + r.below(40);
        // Two or three letters make matches everywhere, of many lengths and
        // distances; now and then any byte.
        const unsigned letters = round % 10 == 0 ? 256 : 2 + r.below(2);
        Bytes d(n);
        for (uint8_t &b : d)
            b = (uint8_t)('a' + r.below(letters));
        const tmbopt::Costs c = random_prices(r);
        std::vector<uint32_t> tokens(n);
        size_t nt = tmbopt::opt_parse_fixed(ctx, d.data(), (uint32_t)n, c, tokens.data());
        ASSERT_LE(nt, n);
        const uint32_t got = price_of(d, tokens.data(), nt, c), least = cheapest_parse(d, c);
        ASSERT_EQ(got, least) << "round " << round << ", " << n << " bytes: "
                              << std::string(d.begin(), d.end());
        for (size_t t = 0; t < nt; t++) {
            unsigned len = tmbopt::tok_len(tokens[t]);
            matches += len > 1;
            cut_short += len > 1 && len < n; // not simply the whole rest
        }
    }
    // The inputs gave the parse something to choose from.
    EXPECT_GT(matches, 1000u);
    EXPECT_GT(cut_short, 500u);
}

INSTANTIATE_TEST_SUITE_P(Methods, Opt, testing::Values(5, 6, 7));

// Packed data may be exactly as long as the input, never longer; what
// does not shrink is stored. Random bytes pack to a little more than they
// are; a run of k equal bytes in front packs to almost nothing, so each
// further byte of it lowers the excess by about one, and some k make the
// packed data exactly as long as the input, others one byte longer.
TEST(OptNoGrowth, TheLimitIsKeptToTheByte)
{
    const Bytes tail = make(RANDOM, 3000, 9);
    bool equal = false, longer = false;
    for (size_t k = 0; k < 400 && !(equal && longer); k++) {
        Bytes input(k, 'a');
        input.insert(input.end(), tail.begin(), tail.end());
        tmbopt::OptParams prm;
        prm.region = (uint32_t)input.size();   // as for a file of this size
        Bytes free_run = encode(input, 6, prm);
        int64_t excess = (int64_t)free_run.size() - (int64_t)input.size();
        if (excess == 0 && !equal) {
            equal = true;
            Packed p = pack(input, 6);
            EXPECT_EQ(p.h.method, 6) << "exactly as long as the input is kept";
            EXPECT_TRUE(p.data == free_run);
        } else if (excess == 1 && !longer) {
            longer = true;
            Packed p = pack(input, 6);
            EXPECT_EQ(p.h.method, 0) << "one byte longer is stored";
            EXPECT_TRUE(p.data == input);
        }
    }
    EXPECT_TRUE(equal && longer) << "boundary not met; retune the input";
}

TEST(OptNoGrowth, IncompressibleInputIsStored)
{
    Bytes input = make(RANDOM, 70000, 5);
    for (int method : {5, 7}) {
        Packed p = pack(input, method);
        ASSERT_EQ(p.ok, 1);
        EXPECT_EQ(p.h.method, 0);
        EXPECT_EQ(p.h.comp_size, input.size());
        EXPECT_TRUE(p.data == input);
        EXPECT_EQ(p.h.crc, tmb_crc16(input.data(), input.size(), 0));
    }
}

// The command line end to end: `a -9` and `-sfx -9` archives, read back by
// the test command and by the self-extractor's own decoder (built for this
// machine).
TEST(OptCommand, ArchivesAndSelfExtractorsUnpack)
{
    testkit::TempDir dir;
    Bytes text = make(TEXT, 180000, 11), bin = make(BINARY, 90000, 12);
    testkit::write_file(dir / "a.txt", text);
    testkit::write_file(dir / "b.bin", bin);
    testkit::RunOptions in_dir;
    in_dir.cwd = dir.path();

    auto plain = testkit::run_tambrix({"a", "-q", "-lh7", "plain.tmb", "a.txt", "b.bin"}, in_dir);
    auto best = testkit::run_tambrix({"a", "-q", "-lh7", "-9", "best.tmb", "a.txt", "b.bin"}, in_dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(best.status, 0) << best.err;
    EXPECT_LT(testkit::read_file(dir / "best.tmb").size(), testkit::read_file(dir / "plain.tmb").size());
    auto t = testkit::run_tambrix({"t", "-q", "best.tmb"}, in_dir);
    EXPECT_EQ(t.status, 0) << t.out << t.err;

    auto sfx = testkit::run_tambrix({"a", "-q", "-sfx", "-lh7", "-9", "game.tmb", "a.txt", "b.bin"}, in_dir);
    ASSERT_EQ(sfx.status, 0) << sfx.err;
    SfxPlan plan{};
    ASSERT_EQ(sfx_find_data_hunk(tmb_stub, tmb_stub_len, &plan), 1);
    const uint32_t at = (uint32_t)plan.insert_at;
    const uint8_t offset[4] = {(uint8_t)(at >> 24), (uint8_t)(at >> 16), (uint8_t)(at >> 8), (uint8_t)at};
    memcpy(sfx_data.arc_offset, offset, 4);
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    rename((dir / "game.run").c_str(), (dir / "out/game.run").c_str());
    host_reset((dir / "out").c_str(), "game.run");
    int rc = sfx_main();
    size_t len = 0;
    std::string said(host_output(&len), len);
    EXPECT_EQ(rc, 0) << said;
    EXPECT_EQ(said.find("CRC ERROR"), std::string::npos) << said;
    EXPECT_TRUE(testkit::read_file(dir / "out/a.txt") == text);
    EXPECT_TRUE(testkit::read_file(dir / "out/b.bin") == bin);
}

// -9 without the memory for its buffers packs with the default parse, says
// so once on standard error (under -q too) and still succeeds; with the
// memory it says nothing.
TEST(OptCommand, ShortOfMemoryFallsBackAndSaysSo)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
    testkit::TempDir dir;
    testkit::write_file(dir / "a.txt", make(TEXT, 180000, 21));
    testkit::write_file(dir / "b.bin", make(BINARY, 90000, 22));
    testkit::RunOptions in_dir;
    in_dir.cwd = dir.path();
    in_dir.close_stdin = true;
    // 12 MB of address space: plenty for the default encoder, far too
    // little for -9's tens of megabytes.
    auto low = testkit::run_program({"/bin/sh", "-c",
                                     std::string("ulimit -v 12288 && exec ") + TAMBRIX_BIN +
                                         " a -q -lh7 -9 low.tmb a.txt b.bin"},
                                    in_dir);
    EXPECT_EQ(low.status, 0) << low.err;
    EXPECT_EQ(low.err, "  Not enough memory for -9: packing with the default parse instead\n");
    auto plain = testkit::run_tambrix({"a", "-q", "-lh7", "plain.tmb", "a.txt", "b.bin"}, in_dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_TRUE(testkit::read_file(dir / "low.tmb") == testkit::read_file(dir / "plain.tmb"));

    auto best = testkit::run_tambrix({"a", "-q", "-lh7", "-9", "best.tmb", "a.txt", "b.bin"}, in_dir);
    EXPECT_EQ(best.status, 0);
    EXPECT_EQ(best.err, "");
    EXPECT_LT(testkit::read_file(dir / "best.tmb").size(), testkit::read_file(dir / "low.tmb").size());
}

} // namespace
