// The compressor: bit writer and output buffer, Huffman construction, the
// bit layout of blocks, the token stream of the match search, the driver
// with its stored fallback, and round trips through an independent decoder
// of the block format.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bitio.h"
#include "crcio.h"
#include "huf.h"
#include "maketree.h"
#include "pack_kit.h"
#include "slide_opt.h"
#include "testkit.h"
#include "tmb_compress.h"
#include "tmb_enc_ctx.h"
#include "tmb_enc_wrap.h"
#include "tmb_header.h"

namespace {

using testkit::Bytes;
using testkit::Packed;
using testkit::extract;
using testkit::pack;

// The context that the helpers below drive the encoder's parts with.
EncoderCtx *ctx() { return testkit::shared_encoder(); }

// ---------------------------------------------------------------- helpers

Bytes from_str(const std::string &s) { return Bytes(s.begin(), s.end()); }


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

Bytes random_bytes(size_t n, uint64_t seed)
{
    Rng r(seed);
    Bytes b(n);
    for (auto &x : b)
        x = (uint8_t)r.next();
    return b;
}

Bytes text_like(size_t n, uint64_t seed)
{
    static const char *words[] = {"the", "archive", "of", "window", "a", "match", "block",
                                  "code", "length", "and", "to", "is", "Huffman", "tree",
                                  "position", "in", "for", "with", "data", "bytes", "{", "}",
                                  "return", "int", "static", "(void)", "=", "0;"};
    Rng r(seed);
    std::string s;
    while (s.size() < n) {
        s += words[r.below(sizeof words / sizeof *words)];
        s += r.below(9) == 0 ? "\n" : " ";
    }
    s.resize(n);
    return from_str(s);
}

Bytes binary_like(size_t n, uint64_t seed)
{
    Rng r(seed);
    Bytes b;
    uint32_t v = 0x1000;
    while (b.size() < n) {
        v += r.below(40);
        for (int k = 0; k < 4; k++)
            b.push_back((uint8_t)(v >> (8 * k)));
        b.push_back((uint8_t)r.below(4));
        b.push_back(0);
    }
    b.resize(n);
    return b;
}

Bytes runs_like(size_t n, uint64_t seed)
{
    Rng r(seed);
    Bytes b;
    while (b.size() < n) {
        switch (r.below(3)) {
        case 0:
            b.insert(b.end(), 1 + r.below(3000), (uint8_t)r.next());
            break;
        case 1: {
            uint8_t x = (uint8_t)r.next(), y = (uint8_t)r.next();
            for (uint32_t k = r.below(500); k > 0; k--) {
                b.push_back(x);
                b.push_back(y);
            }
            break;
        }
        default:
            for (uint32_t k = 1 + r.below(40); k > 0; k--)
                b.push_back((uint8_t)r.next());
        }
    }
    b.resize(n);
    return b;
}

unsigned dicsiz_of(int method) { return method == 5 ? 8192u : method == 6 ? 32768u : 65536u; }
int np_of(int method) { return method == 5 ? 14 : method == 6 ? 16 : 17; }
int pbit_of(int method) { return method == 5 ? 4 : 5; }

// ------------------------------------------- independent block decoder

class BitReader {
public:
    explicit BitReader(const Bytes &b) : b_(b) {}
    unsigned get(int n)
    {
        unsigned v = 0;
        for (int i = 0; i < n; i++, pos_++) {
            unsigned bit = pos_ / 8 < b_.size() ? (b_[pos_ / 8] >> (7 - pos_ % 8)) & 1 : 0;
            v = (v << 1) | bit;
        }
        return v;
    }
    size_t bitpos() const { return pos_; }

private:
    const Bytes &b_;
    size_t pos_ = 0;
};

// A canonical code given by its lengths, or a single symbol read with no bits.
struct Code {
    int single = -1;
    std::vector<int> len;
    std::vector<int> by_len[17];   // symbols of each length, in symbol order

    void prepare()
    {
        for (size_t s = 0; s < len.size(); s++)
            if (len[s] >= 1 && len[s] <= 16)
                by_len[len[s]].push_back((int)s);
    }

    int decode(BitReader &br) const
    {
        if (single >= 0)
            return single;
        unsigned code = 0, first = 0;
        for (int l = 1; l <= 16; l++) {
            code = (code << 1) | br.get(1);
            const std::vector<int> &syms = by_len[l];
            if (code - first < syms.size())
                return syms[code - first];
            first = (first + (unsigned)syms.size()) << 1;
        }
        ADD_FAILURE() << "invalid code";
        return 0;
    }
};

struct Token {
    int c;
    unsigned d;
    bool operator==(const Token &o) const { return c == o.c && d == o.d; }
};

std::ostream &operator<<(std::ostream &os, const Token &t)
{
    return t.c < 256 ? os << "lit(" << t.c << ")" : os << "match(" << t.c - 253 << "," << t.d << ")";
}

Token lit(int c) { return {c, 0}; }
Token match(int len, unsigned d) { return {len + 253, d}; }

struct Block {
    unsigned count = 0;
    int t_count = 0, t_zero_field = -1;
    Code t;
    int c_count = 0;
    std::vector<std::pair<int, int>> c_runs;  // t symbols coding the c lengths, with their field
    Code c;
    int p_count = 0;
    Code p;
    std::vector<Token> tokens;
};

// One length list (t or p code) in the format of the block header.
Code read_len_list(BitReader &br, int nsym, int nbit, int special, int *count, int *zero_field)
{
    Code code;
    int n = (int)br.get(nbit);
    *count = n;
    if (n == 0) {
        code.single = (int)br.get(nbit);
        return code;
    }
    code.len.assign((size_t)nsym, 0);
    int i = 0;
    while (i < n) {
        int l = (int)br.get(3);
        if (l == 7)
            while (br.get(1) == 1)
                l++;
        if (i < nsym)
            code.len[(size_t)i] = l;
        i++;
        if (i == special) {
            int z = (int)br.get(2);
            if (zero_field)
                *zero_field = z;
            i += z;
        }
    }
    code.prepare();
    return code;
}

// Decodes a whole packed stream into blocks and the bytes they produce.
// The window starts as spaces, like the encoder's.
std::vector<Block> decode_stream(const Bytes &packed, int method, size_t orig, Bytes *out)
{
    BitReader br(packed);
    std::vector<Block> blocks;
    out->clear();
    int np = np_of(method), pbit = pbit_of(method);
    while (out->size() < orig) {
        Block bl;
        bl.count = br.get(16);
        bl.t = read_len_list(br, 19, 5, 3, &bl.t_count, &bl.t_zero_field);
        bl.c_count = (int)br.get(9);
        if (bl.c_count == 0) {
            bl.c.single = (int)br.get(9);
        } else {
            bl.c.len.assign(510, 0);
            int i = 0;
            while (i < bl.c_count) {
                int t = bl.t.decode(br);
                if (t >= 3) {
                    bl.c_runs.push_back({t, -1});
                    bl.c.len[(size_t)i++] = t - 2;
                    continue;
                }
                int field = t == 0 ? -1 : t == 1 ? (int)br.get(4) : (int)br.get(9);
                bl.c_runs.push_back({t, field});
                i += t == 0 ? 1 : t == 1 ? field + 3 : field + 20;
            }
            bl.c.prepare();
        }
        bl.p = read_len_list(br, np, pbit, -1, &bl.p_count, nullptr);
        if (bl.count == 0) {
            ADD_FAILURE() << "empty block";
            break;
        }
        for (unsigned k = 0; k < bl.count && out->size() < orig; k++) {
            int c = bl.c.decode(br);
            if (c < 256) {
                out->push_back((uint8_t)c);
                bl.tokens.push_back(lit(c));
                continue;
            }
            int pc = bl.p.decode(br);
            unsigned d = pc <= 1 ? (unsigned)pc : (1u << (pc - 1)) + br.get(pc - 1);
            bl.tokens.push_back({c, d});
            for (int j = 0; j < c - 253; j++) {
                long from = (long)out->size() - (long)d - 1;
                out->push_back(from < 0 ? ' ' : (*out)[(size_t)from]);
            }
        }
        blocks.push_back(bl);
    }
    return blocks;
}

// ---------------------------------------------------------- compressing

// Runs the match search alone and collects its tokens.
std::vector<Token> *s_tokens;
void collect(EncoderCtx *, unsigned c, unsigned p) { s_tokens->push_back({(int)c, c >= 256 ? p : 0}); }
void nothing(EncoderCtx *) {}
const enc::EncodeSet collect_set = {collect, nothing, nothing};

std::vector<Token> tokens_of(const Bytes &input, int method)
{
    std::vector<Token> toks;
    s_tokens = &toks;
    FILE *in = testkit::tmpfile_with(input);
    FILE *out = tmpfile();
    encode_bind(ctx(), in, out, (int64_t)input.size(), {});
    enc::encode_alloc(ctx(), method);
    ctx()->encode_set = &collect_set;
    enc::encode(ctx());
    fclose(in);
    fclose(out);
    return toks;
}

// Start of every token in the input.
std::vector<size_t> token_starts(const std::vector<Token> &toks)
{
    std::vector<size_t> at;
    size_t pos = 0;
    for (const Token &t : toks) {
        at.push_back(pos);
        pos += t.c < 256 ? 1 : (size_t)(t.c - 253);
    }
    return at;
}

// Feeds tokens straight to the block coder; returns the packed bytes.
Bytes code_tokens(int method, const std::vector<Token> &toks, int64_t cap = 1 << 30)
{
    FILE *out = tmpfile();
    encode_bind(ctx(), nullptr, out, cap, {});
    enc::encode_alloc(ctx(), method);
    enc::encode_start_st1(ctx());
    for (const Token &t : toks)
        enc::output_st1(ctx(), (unsigned)t.c, t.d);
    enc::encode_end_st1(ctx());
    Bytes b(ctx()->encio_buf, ctx()->encio_buf + ctx()->encio_n);
    ctx()->encio_n = 0;
    fclose(out);
    return b;
}

// Binds the output layer to a fresh stream with the given cap.
struct BoundOutput {
    FILE *fp;
    explicit BoundOutput(int64_t cap)
    {
        fp = tmpfile();
        encode_bind(ctx(), nullptr, fp, cap, {});
        enc::init_putbits(ctx());
    }
    ~BoundOutput()
    {
        ctx()->encio_n = 0;
        fclose(fp);
    }
    Bytes held() const { return Bytes(ctx()->encio_buf, ctx()->encio_buf + ctx()->encio_n); }
};

// ------------------------------------------------ bit writer and buffer

TEST(EncBitWriter, PacksMostSignificantBitFirst)
{
    BoundOutput o(100);
    for (unsigned bit : {1, 0, 1, 1, 0, 0, 1, 0})
        enc::putbits(ctx(), 1, bit);
    EXPECT_EQ(o.held(), Bytes({0xB2}));

    // A 16-bit code with 8 bits free completes two whole bytes.
    enc::putcode(ctx(), 16, 0xA55A);
    EXPECT_EQ(o.held(), Bytes({0xB2, 0xA5, 0x5A}));
    EXPECT_EQ(ctx()->bitcount, 8u);

    // Seven zero bits complete a partial byte and leave the rest pending.
    enc::putbits(ctx(), 3, 0x7);
    enc::putbits(ctx(), 7, 0);
    EXPECT_EQ(o.held(), Bytes({0xB2, 0xA5, 0x5A, 0xE0}));
    EXPECT_EQ(ctx()->bitcount, 6u);
    EXPECT_EQ(ctx()->subbitbuf, 0u);

    // With no bit pending they emit nothing.
    BoundOutput fresh(100);
    enc::putbits(ctx(), 7, 0);
    EXPECT_TRUE(fresh.held().empty());
}

TEST(EncBitWriter, PackedDataMayEqualButNeverExceedTheInput)
{
    BoundOutput o(3);
    enc::putbits(ctx(), 16, 0x1234);
    enc::putbits(ctx(), 8, 0x56);
    EXPECT_EQ(ctx()->unpackable, 0) << "exactly origsize bytes are accepted";
    EXPECT_EQ(ctx()->compsize, 3);
    enc::putbits(ctx(), 8, 0x78);
    EXPECT_EQ(ctx()->unpackable, 1) << "one more byte is refused";
    EXPECT_EQ(ctx()->compsize, 3);
    EXPECT_EQ(o.held(), Bytes({0x12, 0x34, 0x56}));
}

TEST(EncOutputBuffer, WritesOnlyWhenThe65537thByteArrives)
{
    BoundOutput o(1 << 20);
    for (int i = 0; i < 65536; i++)
        enc::encio_put_byte(ctx(), 0x41);
    fflush(o.fp);
    EXPECT_EQ(ftell(o.fp), 0L);
    EXPECT_EQ(ctx()->encio_n, 65536u);
    enc::encio_put_byte(ctx(), 0x42);
    fflush(o.fp);
    EXPECT_EQ(testkit::whole_stream(o.fp), Bytes(65536, 0x41));
    EXPECT_EQ(ctx()->encio_n, 1u);
    EXPECT_EQ(ctx()->encio_buf[0], 0x42);
}

TEST(EncCrcInput, ReadsKeepTheArchiveCrc)
{
    Bytes data = text_like(1000, 3);
    FILE *fp = testkit::tmpfile_with(data);
    unsigned crc = 0;
    unsigned char buf[700];
    EXPECT_EQ(enc::fread_crc(&crc, buf, 700, fp), 700);
    EXPECT_EQ(enc::fread_crc(&crc, buf, 700, fp), 300);
    EXPECT_EQ(crc, tmb_crc16(data.data(), data.size(), 0));
    EXPECT_EQ(enc::fread_crc(&crc, buf, 700, fp), 0);
    EXPECT_EQ(crc, tmb_crc16(data.data(), data.size(), 0));
    fclose(fp);
}

// Caps the address space at what the process uses now plus `extra` bytes.
void limit_memory(size_t extra)
{
    long pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == nullptr || fscanf(f, "%ld", &pages) != 1)
        _exit(3);
    fclose(f);
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + extra;
    if (setrlimit(RLIMIT_AS, &rl) != 0)
        _exit(4);
}

// Memory running short makes the codec fail, never the process end: no
// context is made, and -9 without memory for its buffers packs with the
// default encoder's.
TEST(EncMemory, ShortMemoryFailsInsteadOfEndingTheProcess)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
    // A fresh process for each case, so that no memory freed earlier in
    // this one is at hand.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Bytes data = text_like(300000, 61);
    Packed plain = pack(data, 7);
    ASSERT_EQ(plain.h.method, 7);
    EXPECT_EXIT(
        {
            limit_memory(256 * 1024);
            _exit(tmb_encoder_new() == nullptr ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            testkit::EncoderPtr own = testkit::new_encoder();
            limit_memory(2 << 20);
            Packed p = testkit::pack(own.get(), data, 7, true);
            _exit(p.ok && p.h.method == 7 && p.data == plain.data ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// ------------------------------------------------------------ make_tree

TEST(EncMakeTree, TwoSymbolsGetOneBitEach)
{
    uint16_t freq[7] = {0, 900, 0, 1};
    uint8_t len[4];
    uint16_t code[4];
    EXPECT_GE(enc::make_tree(4, freq, len, code), 4);
    EXPECT_EQ(len[1], 1);
    EXPECT_EQ(len[3], 1);
    EXPECT_EQ(len[0] + len[2], 0);
    EXPECT_EQ(code[1], 0x0000);
    EXPECT_EQ(code[3], 0x8000);
}

TEST(EncMakeTree, EqualFrequenciesFollowTheHeapTieRules)
{
    uint16_t freq[9] = {1, 1, 1, 1, 1};
    uint8_t len[5];
    uint16_t code[5];
    int root = enc::make_tree(5, freq, len, code);
    EXPECT_EQ(root, 8);
    EXPECT_EQ(freq[root], 5);
    EXPECT_EQ(std::vector<int>(len, len + 5), std::vector<int>({3, 2, 2, 2, 3}));
    EXPECT_EQ(std::vector<int>(code, code + 5),
              std::vector<int>({0xC000, 0x0000, 0x4000, 0x8000, 0xE000}));
}

TEST(EncMakeTree, FewerThanTwoSymbolsReturnTheSymbol)
{
    uint16_t freq[37] = {};
    uint8_t len[19];
    uint16_t code[19];
    EXPECT_EQ(enc::make_tree(19, freq, len, code), 0);
    freq[11] = 40;
    code[11] = 0xFFFF;
    EXPECT_EQ(enc::make_tree(19, freq, len, code), 11);
    EXPECT_EQ(code[11], 0);
    for (int i = 0; i < 19; i++)
        EXPECT_EQ(len[i], 0);
}

TEST(EncMakeTree, DeepTreesAreLimitedTo16BitsWithACompleteCode)
{
    // Fibonacci frequencies make a chain 21 levels deep.
    const int n = 22;
    uint16_t freq[2 * n - 1] = {};
    freq[0] = freq[1] = 1;
    for (int i = 2; i < n; i++)
        freq[i] = (uint16_t)(freq[i - 1] + freq[i - 2]);
    uint8_t len[n];
    uint16_t code[n];
    enc::make_tree(n, freq, len, code);
    uint32_t kraft = 0;
    int longest = 0;
    for (int i = 0; i < n; i++) {
        ASSERT_GE(len[i], 1);
        ASSERT_LE(len[i], 16);
        kraft += 1u << (16 - len[i]);
        longest = std::max<int>(longest, len[i]);
    }
    EXPECT_EQ(kraft, 65536u);
    EXPECT_EQ(longest, 16);
    // No code is a prefix of another.
    for (int a = 0; a < n; a++)
        for (int b = 0; b < n; b++)
            if (a != b && len[a] <= len[b]) {
                unsigned mask = (0xFFFFu << (16 - len[a])) & 0xFFFF;
                EXPECT_NE(code[a] & mask, code[b] & mask) << a << " prefixes " << b;
            }
}

// ------------------------------------------------------- block layouts

class EncBlockLayout : public testing::TestWithParam<int> {};

TEST_P(EncBlockLayout, OneLiteralRepeatedCostsNoBitsPerToken)
{
    int m = GetParam(), pbit = pbit_of(m);
    Bytes b = code_tokens(m, std::vector<Token>(5, lit('a')));
    BitReader br(b);
    EXPECT_EQ(br.get(16), 5u);
    EXPECT_EQ(br.get(5), 0u);
    EXPECT_EQ(br.get(5), 0u);
    EXPECT_EQ(br.get(9), 0u);
    EXPECT_EQ(br.get(9), (unsigned)'a');
    EXPECT_EQ(br.get(pbit), 0u);
    EXPECT_EQ(br.get(pbit), 0u);
    EXPECT_EQ(b.size(), (br.bitpos() + 7) / 8) << "nothing but the zero fill follows";
    EXPECT_EQ(br.get(8), 0u);
}

TEST_P(EncBlockLayout, EqualLengthsMakeASingleTSymbol)
{
    int m = GetParam(), pbit = pbit_of(m);
    Bytes b = code_tokens(m, {lit(0), lit(1), lit(0)});
    BitReader br(b);
    EXPECT_EQ(br.get(16), 3u);
    EXPECT_EQ(br.get(5), 0u);
    EXPECT_EQ(br.get(5), 3u);          // t symbol of length 1
    EXPECT_EQ(br.get(9), 2u);          // c lengths up to the last nonzero one
    EXPECT_EQ(br.get(pbit), 0u);       // no match: empty p list naming class 0
    EXPECT_EQ(br.get(pbit), 0u);
    EXPECT_EQ(br.get(3), 2u);          // the tokens: codes 0, 1, 0
    EXPECT_EQ(b.size(), (br.bitpos() + 7) / 8);
}

TEST_P(EncBlockLayout, ZeroRunsOf19And20AndTrailingZeros)
{
    int m = GetParam();
    struct Case {
        int gap;
        std::vector<std::pair<int, int>> runs;
    } cases[] = {
        {19, {{3, -1}, {0, -1}, {1, 15}, {3, -1}}},
        {20, {{3, -1}, {2, 0}, {3, -1}}},
        {18, {{3, -1}, {1, 15}, {3, -1}}},
        {2, {{3, -1}, {0, -1}, {0, -1}, {3, -1}}},
    };
    for (const Case &c : cases) {
        std::vector<Token> toks = {lit(0), lit(c.gap + 1), lit(0), lit(c.gap + 1)};
        Bytes b = code_tokens(m, toks);
        Bytes out;
        auto blocks = decode_stream(b, m, 4, &out);
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_EQ(blocks[0].c_count, c.gap + 2) << "the zeros after the last length are not sent";
        EXPECT_EQ(blocks[0].c_runs, c.runs) << "gap " << c.gap;
        EXPECT_EQ(blocks[0].tokens, toks);
    }
}

TEST_P(EncBlockLayout, MatchesCarryLengthAndPositionCodes)
{
    int m = GetParam();
    unsigned far = dicsiz_of(m) - 2;
    std::vector<Token> toks = {lit('x'), match(3, 0), match(256, 1), match(17, 2),
                               match(4, 1000), match(200, far), lit('y'), match(3, far)};
    Bytes b = code_tokens(m, toks);
    Bytes out;
    auto blocks = decode_stream(b, m, 1 + 3 + 256 + 17 + 4 + 200 + 1 + 3, &out);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tokens, toks);
    EXPECT_GT(blocks[0].p_count, 0);
}

TEST_P(EncBlockLayout, CodingStopsAtTheFirstByteBeyondTheCap)
{
    int m = GetParam();
    std::vector<Token> toks;
    for (int i = 0; i < 3000; i++)
        toks.push_back(i % 7 == 0 ? match(3 + i % 50, (unsigned)i) : lit(i * 13 % 256));
    Bytes full = code_tokens(m, toks);
    ASSERT_GT(full.size(), 100u);

    Bytes exact = code_tokens(m, toks, (int64_t)full.size());
    EXPECT_EQ(ctx()->unpackable, 0);
    EXPECT_EQ(exact, full);

    for (size_t cap : {full.size() - 1, full.size() / 2}) {
        Bytes cut = code_tokens(m, toks, (int64_t)cap);
        EXPECT_EQ(ctx()->unpackable, 1);
        EXPECT_EQ(ctx()->compsize, (int64_t)cap);
        EXPECT_EQ(cut, Bytes(full.begin(), full.begin() + (long)cap))
            << "nothing follows the refused byte, not even the final fill";
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, EncBlockLayout, testing::Values(5, 6, 7));

TEST(EncLengthList, ZeroCountAfterTheThirdLengthOnlyInTheTList)
{
    struct Case {
        std::vector<uint8_t> lens;
        int nsym, nbit, special;
        std::vector<std::pair<int, unsigned>> fields;  // (width, value)
    } cases[] = {
        // trimmed count 3: the 2-bit field says 3
        {{1, 2, 2}, 19, 5, 3, {{5, 3}, {3, 1}, {3, 2}, {3, 2}, {2, 3}}},
        // a p list never carries it
        {{1, 2, 2}, 14, 4, -1, {{4, 3}, {3, 1}, {3, 2}, {3, 2}}},
        // 7 as 1110, 16 as twelve ones and a zero; two zeros skipped
        {{7, 0, 0, 0, 0, 16}, 19, 5, 3, {{5, 6}, {4, 0xE}, {3, 0}, {3, 0}, {2, 2}, {13, 0x1FFE}}},
        {{2, 2, 2, 2, 4, 4, 3}, 19, 5, 3,
         {{5, 7}, {3, 2}, {3, 2}, {3, 2}, {2, 0}, {3, 2}, {3, 4}, {3, 4}, {3, 3}}},
    };
    for (const Case &c : cases) {
        BoundOutput o(1000);
        std::memset(ctx()->pt_len, 0, sizeof ctx()->pt_len);
        std::memcpy(ctx()->pt_len, c.lens.data(), c.lens.size());
        enc::write_pt_len(ctx(), c.nsym, c.nbit, c.special);
        enc::putbits(ctx(), 7, 0);
        Bytes b = o.held();
        BitReader br(b);
        size_t bits = 0;
        for (auto [width, value] : c.fields) {
            EXPECT_EQ(br.get(width), value);
            bits += (size_t)width;
        }
        EXPECT_EQ(b.size(), (bits + 7) / 8);
    }
}

// --------------------------------------------------------- token stream

class EncTokens : public testing::TestWithParam<int> {};

TEST_P(EncTokens, SmallInputs)
{
    int m = GetParam();
    EXPECT_EQ(tokens_of(from_str("aaaa"), m), std::vector<Token>({lit('a'), match(3, 0)}));
    EXPECT_EQ(tokens_of(from_str("abcabcabc"), m),
              std::vector<Token>({lit('a'), lit('b'), lit('c'), match(6, 2)}));
    EXPECT_EQ(tokens_of(from_str("Q"), m), std::vector<Token>({lit('Q')}));
    // The spaces behind the input would continue the match: it is cut.
    EXPECT_EQ(tokens_of(Bytes(10, ' '), m), std::vector<Token>({lit(' '), match(9, 0)}));
    EXPECT_EQ(tokens_of(from_str("xyzxyz"), m),
              std::vector<Token>({lit('x'), lit('y'), lit('z'), match(3, 2)}));
}

TEST_P(EncTokens, LazyMatchingNeedsAStrictlyLongerMatchNextDoor)
{
    int m = GetParam();
    // At 12 "abcde" (5 bytes, from 0); at 13 "bcdef" (5 bytes, from 6).
    std::string s = "abcde1bcdef2abcdef3";
    auto toks = tokens_of(from_str(s), m);
    auto at = token_starts(toks);
    size_t k = (size_t)(std::find(at.begin(), at.end(), 12u) - at.begin());
    ASSERT_LT(k, toks.size());
    EXPECT_EQ(toks[k], match(5, 11)) << "equal length next door: the first match is taken";

    // At 14 "abcde" (5 bytes); at 15 "bcdefg" (6 bytes, from 6).
    s = "abcde1bcdefg2abcdefg3";
    toks = tokens_of(from_str(s), m);
    at = token_starts(toks);
    k = (size_t)(std::find(at.begin(), at.end(), 13u) - at.begin());
    ASSERT_LT(k + 1, toks.size());
    EXPECT_EQ(toks[k], lit('a')) << "a longer match next door turns this one into a literal";
    EXPECT_EQ(toks[k + 1], match(6, 7));
}

TEST_P(EncTokens, DistancesStayInsideTheWindow)
{
    int m = GetParam();
    unsigned dic = dicsiz_of(m);
    // Filler first, so that the repeat lies beyond the first window slide.
    for (unsigned distance : {dic - 1, dic}) {
        Bytes data = random_bytes(dic + 100, 1);
        Bytes r = random_bytes(distance, 2);
        data.insert(data.end(), r.begin(), r.end());
        data.insert(data.end(), r.begin(), r.begin() + 40);
        auto toks = tokens_of(data, m);
        unsigned longest = 0, dmax = 0;
        for (const Token &t : toks)
            if (t.c >= 256) {
                longest = std::max(longest, (unsigned)t.c - 253);
                dmax = std::max(dmax, t.d);
            }
        EXPECT_LE(dmax, dic - 2);
        if (distance == dic - 1) {
            EXPECT_EQ(toks.back(), match(40, dic - 2));
        } else {
            EXPECT_LT(longest, 10u) << "a repeat at dicsiz is out of reach";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, EncTokens, testing::Values(5, 6, 7));

// A plain, byte-by-byte model of the match search, to hold the optimised
// search to the same tokens.
class ModelSearch {
public:
    ModelSearch(const Bytes &in, int method) : in_(in)
    {
        dicsiz = dicsiz_of(method);
        txtsiz = 2 * dicsiz + 256;
        text.assign(txtsiz, ' ');
        hash_pos.assign(32768, 0);
        hash_too.assign(32768, 0);
        prev.assign(dicsiz, 0);
    }

    std::vector<Token> run()
    {
        std::vector<Token> toks;
        remainder = read(dicsiz, txtsiz - dicsiz);
        unsigned len = remainder < 2 ? remainder : 2, off = 0;
        pos = dicsiz;
        h = ((text[pos] << 10) ^ (text[pos + 1] << 5) ^ text[pos + 2]) & 0x7FFF;
        insert();
        while (remainder > 0) {
            unsigned lastlen = len, lastoff = off;
            next();
            search((int)lastlen - 1, &len, &off);
            insert();
            if (len > lastlen || lastlen < 3) {
                toks.push_back(lit(text[pos - 1]));
            } else {
                toks.push_back(match((int)lastlen, (lastoff - 1) & (dicsiz - 1)));
                for (unsigned k = 0; k < lastlen - 2; k++) {
                    next();
                    insert();
                }
                next();
                search(2, &len, &off);
                insert();
            }
        }
        return toks;
    }

private:
    const Bytes &in_;
    size_t done = 0;
    unsigned dicsiz, txtsiz, remainder = 0, pos = 0, h = 0;
    std::vector<uint8_t> text, hash_too;
    std::vector<uint32_t> hash_pos, prev;

    unsigned read(unsigned at, unsigned n)
    {
        unsigned k = 0;
        while (k < n && done < in_.size())
            text[at + k++] = in_[done++];
        return k;
    }
    void insert()
    {
        prev[pos & (dicsiz - 1)] = hash_pos[h];
        hash_pos[h] = pos;
    }
    void next()
    {
        remainder--;
        pos++;
        if (pos >= txtsiz - 256) {
            for (unsigned i = 0; i < txtsiz - dicsiz; i++)
                text[i] = text[i + dicsiz];
            remainder += read(txtsiz - dicsiz, dicsiz);
            pos -= dicsiz;
            for (auto &v : hash_pos)
                v = v > dicsiz ? v - dicsiz : 0;
            for (auto &v : prev)
                v = v > dicsiz ? v - dicsiz : 0;
            std::fill(hash_too.begin(), hash_too.end(), 0);
        }
        h = ((h << 5) ^ text[pos + 2]) & 0x7FFF;
    }
    void chain(unsigned hh, unsigned j, unsigned max, unsigned *len, unsigned *off)
    {
        long limit = (long)pos - dicsiz;
        uint32_t q = hash_pos[hh];
        long s = (long)q - j;
        int count = 0;
        while (s > limit) {
            count++;
            unsigned L = *len;
            if (text[s + L] == text[pos + L] && text[s + L - 1] == text[pos + L - 1] &&
                text[s] == text[pos]) {
                unsigned i = 1;
                while (i < max && text[pos + i] == text[s + i])
                    i++;
                if (i > L) {
                    *len = i;
                    *off = pos - (unsigned)s;
                    if (i == max)
                        break;
                }
            }
            q = prev[q & (dicsiz - 1)];
            s = (long)q - j;
        }
        if (count > 255)
            hash_too[hh] = 1;
    }
    void search(int min, unsigned *len, unsigned *off)
    {
        *off = 0;
        *len = min > 2 ? (unsigned)min : 2;
        if (!hash_too[h]) {
            chain(h, 0, 256, len, off);
        } else {
            unsigned hj = h, j;
            for (j = 1; j <= 252; j++) {
                hj = ((hj << 5) ^ text[pos + j + 2]) & 0x7FFF;
                if (!hash_too[hj])
                    break;
            }
            if (j <= 252) {
                chain(hj, j, 256, len, off);
                if (*len < j + 3)
                    chain(h, 0, j + 2, len, off);
            } else {
                chain(h, 0, 256, len, off);
            }
        }
        if (*len > remainder)
            *len = remainder;
    }
};

TEST(EncSearchModel, SameTokensAsAPlainSearch)
{
    struct Case {
        const char *kind;
        Bytes data;
    } cases[] = {
        {"text", text_like(150000, 5)},
        {"runs", runs_like(150000, 6)},
        {"binary", binary_like(100000, 7)},
        {"spaces then text", [] {
             Bytes b(3000, ' ');
             Bytes t = text_like(40000, 8);
             b.insert(b.end(), t.begin(), t.end());
             return b;
         }()},
    };
    for (const Case &c : cases)
        for (int m : {5, 6, 7}) {
            auto got = tokens_of(c.data, m);
            auto want = ModelSearch(c.data, m).run();
            ASSERT_EQ(got.size(), want.size()) << c.kind << " -lh" << m << "-";
            for (size_t i = 0; i < got.size(); i++)
                ASSERT_EQ(got[i], want[i]) << c.kind << " -lh" << m << "- token " << i;
        }
}

TEST(EncProgress, EveryInputByteIsReported)
{
    uint64_t seen = 0;
    const lzh::Progress prog = {[](void *u, uint64_t n) { *static_cast<uint64_t *>(u) += n; }, &seen};
    for (bool optimal : {false, true})
        for (size_t n : {size_t(8192), size_t(32768), size_t(100003)}) {
            Bytes data = text_like(n, 9);
            FILE *in = testkit::tmpfile_with(data);
            FILE *out = tmpfile();
            EntryHeader h{};
            h.method = 5;
            seen = 0;
            ASSERT_EQ(tmb_compress(ctx(), in, out, &h, 5, optimal, prog), 1);
            EXPECT_EQ(h.method, 5);
            EXPECT_EQ(seen, n) << n << (optimal ? " -9" : "");
            fclose(in);
            fclose(out);
        }
}

// ------------------------------------------------------------- driver

TEST(EncDriver, EmptyFileIsStoredEmpty)
{
    Packed p = pack({}, 6);
    EXPECT_EQ(p.ok, 1);
    EXPECT_EQ(p.h.method, 0);
    EXPECT_EQ(p.h.orig_size, 0u);
    EXPECT_EQ(p.h.comp_size, 0u);
    EXPECT_EQ(p.h.crc, 0);
    EXPECT_TRUE(p.data.empty());
}

TEST(EncDriver, IncompressibleInputIsStoredAfterWhatPrecedesIt)
{
    Bytes data = random_bytes(200000, 11);
    for (int m : {5, 6, 7}) {
        FILE *in = testkit::tmpfile_with(data);
        FILE *out = tmpfile();
        fputs("HEAD", out);
        EntryHeader h{};
        h.method = m;
        ASSERT_EQ(tmb_compress(ctx(), in, out, &h, m, false, {}), 1);
        EXPECT_EQ(h.method, 0);
        EXPECT_EQ(h.orig_size, data.size());
        EXPECT_EQ(h.comp_size, data.size());
        EXPECT_EQ(h.crc, tmb_crc16(data.data(), data.size(), 0));
        EXPECT_EQ(ftell(out), 4L + (long)data.size());
        Bytes want = from_str("HEAD");
        want.insert(want.end(), data.begin(), data.end());
        EXPECT_EQ(testkit::whole_stream(out), want);
        fclose(in);
        fclose(out);
    }
}

// Packed size of an input when nothing caps it.
int64_t uncapped_size(const Bytes &input, int method)
{
    FILE *in = testkit::tmpfile_with(input);
    FILE *out = tmpfile();
    encode_bind(ctx(), in, out, (int64_t)1 << 40, {});
    enc::encode_alloc(ctx(), method);
    enc::encode(ctx());
    ctx()->encio_n = 0;
    fclose(in);
    fclose(out);
    return ctx()->compsize;
}

TEST(EncDriver, PackedDataAsLongAsTheInputIsKept)
{
    // Among short inputs find one whose packed form is exactly as long as
    // the input, and one where it is one byte longer.
    int found_equal = 0, found_longer = 0;
    for (size_t n = 8; n < 400 && !(found_equal && found_longer); n++) {
        Bytes data = text_like(n, 40);
        int64_t packed = uncapped_size(data, 5);
        if (packed == (int64_t)n && !found_equal) {
            found_equal = 1;
            Packed p = pack(data, 5);
            EXPECT_EQ(p.h.method, 5) << n;
            EXPECT_EQ(p.h.comp_size, n);
            Bytes out;
            decode_stream(p.data, 5, n, &out);
            EXPECT_EQ(out, data);
        } else if (packed == (int64_t)n + 1 && !found_longer) {
            found_longer = 1;
            Packed p = pack(data, 5);
            EXPECT_EQ(p.h.method, 0) << n;
            EXPECT_EQ(p.data, data);
        }
    }
    EXPECT_TRUE(found_equal && found_longer);
}

TEST(EncDriver, GivingUpLeavesTheOutputWhereItWas)
{
    Bytes data = random_bytes(5000, 12);
    FILE *in = testkit::tmpfile_with(data);
    FILE *out = tmpfile();
    fputs("XY", out);
    for (bool optimal : {false, true}) {
        EXPECT_EQ(tmb_orig_compress(ctx(), in, out, 7, optimal, {}), 0);
        EXPECT_EQ(ftell(out), 2L);
        EXPECT_EQ(ctx()->encio_n, 0u);
        rewind(in);
    }
    fclose(in);
    fclose(out);
}

TEST(EncDriver, WriteFailureIsReportedNotHidden)
{
    // Packed data of more than 64 KB, so the buffer's own flush fails too.
    Bytes data = text_like(300000, 50);
    data.insert(data.end(), 100000, 0);
    Bytes noise = random_bytes(80000, 51);
    data.insert(data.begin(), noise.begin(), noise.end());
    FILE *in = testkit::tmpfile_with(data);
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EntryHeader h{};
    h.method = 5;
    for (bool optimal : {false, true}) {
        EXPECT_EQ(tmb_compress(ctx(), in, full, &h, 5, optimal, {}), 0);
        EXPECT_EQ(ctx()->encio_n, 0u);
        rewind(in);
    }
    fclose(full);
    fclose(in);
}

TEST(EncDriver, NeverReadsPastTheMeasuredSize)
{
    // A file that grows while it is packed must not put more bytes into
    // the entry than its header will claim.
    Bytes data = text_like(50000, 52);
    const int64_t measured = 30001;
    FILE *in = testkit::tmpfile_with(data);
    FILE *out = tmpfile();
    encode_bind(ctx(), in, out, measured, {});
    enc::encode_alloc(ctx(), 6);
    enc::encode(ctx());
    ctx()->encio_n = 0;
    EXPECT_EQ(ctx()->bytes_read, measured);
    EXPECT_EQ(ctx()->crc, tmb_crc16(data.data(), (size_t)measured, 0));
    EXPECT_EQ(ftell(in), (long)measured);
    fclose(in);
    fclose(out);
}

// --------------------------------------------------------- round trips

TEST(EncRoundTrip, VariedDataAllMethods)
{
    struct Kind {
        const char *name;
        Bytes (*make)(size_t, uint64_t);
    } kinds[] = {{"text", text_like}, {"binary", binary_like}, {"runs", runs_like},
                 {"random", random_bytes}};
    for (int m : {5, 6, 7}) {
        size_t d = dicsiz_of(m);
        for (size_t n : {size_t(1), size_t(2), size_t(3), size_t(300), d - 1, d, d + 1,
                         2 * d - 1, 2 * d, 2 * d + 1, 2 * d + 257, size_t(65536 * 3)}) {
            for (const Kind &k : kinds) {
                if (n > 100000 && k.make == random_bytes)
                    continue;
                Bytes data = k.make(n, n * 31 + (size_t)m);
                Packed p = pack(data, m);
                ASSERT_EQ(p.ok, 1);
                ASSERT_EQ(p.h.orig_size, n);
                ASSERT_EQ(p.h.crc, tmb_crc16(data.data(), n, 0));
                ASSERT_EQ(p.data.size(), p.h.comp_size);
                ASSERT_LE(p.h.comp_size, n);
                if (p.h.method == 0) {
                    EXPECT_EQ(p.data, data);
                    continue;
                }
                ASSERT_EQ(p.h.method, m);
                Bytes out;
                decode_stream(p.data, m, n, &out);
                ASSERT_EQ(out, data) << k.name << " " << n << " -lh" << m << "-";
                ASSERT_EQ(extract(p), data) << k.name << " " << n << " -lh" << m << "-";
            }
        }
    }
}

TEST(EncRoundTrip, MatchReachingBeforeTheFirstByteRepeatsSpaces)
{
    // Crowded chains of spaces send the search to later chains; near the
    // start a candidate found there may begin before the first input byte,
    // where both windows hold spaces.
    bool seen = false;
    for (int lead = 1; lead < 400 && !seen; lead += 20) {
        Rng r((uint64_t)lead);
        std::string s(lead, ' ');
        for (int i = 0; i < 3000; i++) {
            s += "ab" + std::string(1 + r.below(6), ' ') + "x  y" + std::string(300 + r.below(5), ' ');
        }
        Bytes data = from_str(s);
        auto toks = tokens_of(data, 5);
        auto at = token_starts(toks);
        for (size_t i = 0; i < toks.size(); i++)
            if (toks[i].c >= 256 && at[i] < toks[i].d + 1)
                seen = true;
        if (seen) {
            Packed p = pack(data, 5);
            ASSERT_EQ(p.h.method, 5);
            EXPECT_EQ(extract(p), data) << "lead " << lead;
        }
    }
    EXPECT_TRUE(seen);
}

TEST(EncRoundTrip, PackedOutputLargerThanTheOutputBuffer)
{
    Bytes data = text_like(400000, 21);
    Bytes noise = random_bytes(60000, 22);
    data.insert(data.begin() + 100000, noise.begin(), noise.end());
    Packed p = pack(data, 7);
    ASSERT_EQ(p.h.method, 7);
    ASSERT_GT(p.h.comp_size, 2u * 65536);
    Bytes out;
    auto blocks = decode_stream(p.data, 7, data.size(), &out);
    EXPECT_GT(blocks.size(), 1u);
    EXPECT_EQ(out, data);
    EXPECT_EQ(extract(p), data);
}

// A context keeps its buffers from file to file, and they stop growing at
// the -9 encoder's largest region (1 MB): a larger file costs no more.
TEST(EncMemory, AContextStaysBounded)
{
    testkit::EncoderPtr own = testkit::new_encoder();
    const size_t fresh = enc::ctx_bytes(own.get());
    testkit::pack(own.get(), text_like(1100000, 62), 7, false);
    EXPECT_EQ(enc::ctx_bytes(own.get()), fresh) << "the default encoder allocates nothing per file";
    testkit::pack(own.get(), text_like(1100000, 63), 7, true);
    const size_t grown = enc::ctx_bytes(own.get());
    testkit::pack(own.get(), runs_like(2500000, 64), 5, true);
    testkit::pack(own.get(), text_like(5000, 65), 6, true);
    EXPECT_EQ(enc::ctx_bytes(own.get()), grown);
    printf("[ memory ] context %zu KB, with -9 %zu KB\n", fresh >> 10, grown >> 10);
    EXPECT_LT(fresh, (size_t)1 << 20);
    EXPECT_LT(grown, (size_t)48 << 20);
}

// What contexts are for: two files packed at the same time on two threads,
// each with a context of its own, come out byte for byte as each does
// alone.
TEST(EncContext, TwoThreadsPackAsEachAlone)
{
    const Bytes inputs[2] = {text_like(400000, 71), runs_like(300000, 72)};
    const int methods[2] = {7, 5};
    for (bool optimal : {false, true}) {
        Packed alone[2], together[2];
        for (int i = 0; i < 2; i++)
            alone[i] = pack(inputs[i], methods[i], optimal);
        std::latch start(2);
        std::thread threads[2];
        for (int i = 0; i < 2; i++)
            threads[i] = std::thread([&, i] {
                testkit::EncoderPtr own = testkit::new_encoder();
                start.arrive_and_wait();
                together[i] = testkit::pack(own.get(), inputs[i], methods[i], optimal);
            });
        for (std::thread &t : threads)
            t.join();
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(together[i].h.method, methods[i]) << i << (optimal ? " -9" : "");
            EXPECT_EQ(together[i].h.crc, alone[i].h.crc) << i;
            EXPECT_TRUE(together[i].data == alone[i].data) << i << (optimal ? " -9" : "");
        }
    }
}

// Nothing of one file carries over into the next packed with the same
// context, whatever its method and size (a larger one grows the buffers
// of -9).
TEST(EncRoundTrip, SameInputAndMethodGiveTheSameBytes)
{
    Bytes a = text_like(90000, 31);
    Bytes b = runs_like(200000, 32);
    for (bool optimal : {false, true}) {
        Packed first = pack(a, 7, optimal);
        pack(b, 5, optimal);
        pack(random_bytes(9000, 3), 6, optimal);
        Packed again = pack(a, 7, optimal);
        EXPECT_EQ(first.h.comp_size, again.h.comp_size);
        EXPECT_EQ(first.data, again.data) << (optimal ? "-9" : "");
    }
}

} // namespace
