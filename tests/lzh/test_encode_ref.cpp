// The compressor against a plain reference encoder.
//
// RefEncoder below is a straightforward, unoptimised encoder written from
// the rules of the packed format alone: byte-by-byte compares, one
// putcode per bit group, a recursive leaf count, no shortcuts. The
// archiver's packed bytes must equal its bytes for every input and method,
// including where it gives up (packed data longer than the input), so the
// inputs here are chosen to hit the places where the optimised search and
// coder could drift: window slides, the end of the input, the maximum
// match length, crowded chains (hash_too), hash collisions, the block
// trigger and the no-growth boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "maketree.h"
#include "pack_kit.h"
#include "tmb_compress.h"
#include "tmb_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

class RefEncoder {
public:
    // cap: packed bytes allowed (normally the input size; larger to learn
    // how long the packed data would be).
    RefEncoder(const Bytes &in, int method, int64_t cap = -1, unsigned bufsiz = 32768)
        : in_(in), bufsiz_(bufsiz)
    {
        origsize_ = cap < 0 ? (int64_t)in.size() : cap;
        dicbit_ = method == 6 ? 15 : method == 7 ? 16 : 13;
        dicsiz_ = 1u << dicbit_;
        txtsiz_ = 2 * dicsiz_ + 256;
        np_ = dicbit_ == 13 ? 14 : dicbit_ + 1;
        pbit_ = np_ == 14 ? 4 : 5;
    }

    // Packed bytes; false when the encoder gives up (stored instead).
    bool run(Bytes *out)
    {
        text_.assign(131328, ' ');
        hash_pos_.assign(32768, 0);
        hash_too_.assign(32768, 0);
        prev_.assign(65536, 0);
        buf_.assign(bufsiz_, 0);
        start();

        remainder_ = read(dicsiz_, txtsiz_ - dicsiz_);
        unsigned len = remainder_ < 2 ? remainder_ : 2, off = 0;
        pos_ = dicsiz_;
        h_ = ((text_[pos_] << 10) ^ (text_[pos_ + 1] << 5) ^ text_[pos_ + 2]) & 0x7FFF;
        insert();
        while (remainder_ != 0 && !unpackable_) {
            unsigned lastlen = len, lastoff = off;
            next_token();
            search((int)lastlen - 1, &len, &off);
            insert();
            if (len > lastlen || lastlen < 3) {
                output(text_[pos_ - 1], 0);
            } else {
                output(lastlen + 253, (lastoff - 1) & (dicsiz_ - 1));
                for (unsigned k = 0; k < lastlen - 2; k++) {
                    next_token();
                    insert();
                }
                next_token();
                search(2, &len, &off);
                insert();
            }
        }
        if (!unpackable_) {
            send_block();
            putbits(7, 0);
        }
        *out = out_;
        return !unpackable_;
    }

private:
    const Bytes &in_;
    size_t done_ = 0;
    unsigned dicbit_, dicsiz_, txtsiz_;
    int np_, pbit_;
    std::vector<uint8_t> text_, hash_too_;
    std::vector<uint32_t> hash_pos_, prev_;
    uint32_t remainder_ = 0, pos_ = 0, h_ = 0;

    // ------------------------------------------------------ match search

    unsigned read(unsigned at, unsigned n)
    {
        unsigned k = 0;
        for (; k < n && done_ < in_.size(); k++)
            text_[at + k] = in_[done_++];
        return k;
    }

    void insert()
    {
        prev_[pos_ & (dicsiz_ - 1)] = hash_pos_[h_];
        hash_pos_[h_] = pos_;
    }

    void next_token()
    {
        remainder_--;
        pos_++;
        if (pos_ >= txtsiz_ - 256) {
            for (unsigned i = 0; i < txtsiz_ - dicsiz_; i++)
                text_[i] = text_[dicsiz_ + i];
            remainder_ += read(txtsiz_ - dicsiz_, dicsiz_);
            pos_ -= dicsiz_;
            for (unsigned i = 0; i < 32768; i++) {
                hash_pos_[i] = hash_pos_[i] > dicsiz_ ? hash_pos_[i] - dicsiz_ : 0;
                hash_too_[i] = 0;
            }
            for (unsigned i = 0; i < dicsiz_; i++)
                prev_[i] = prev_[i] > dicsiz_ ? prev_[i] - dicsiz_ : 0;
        }
        h_ = ((h_ << 5) ^ text_[pos_ + 2]) & 0x7FFF;
    }

    void search_1(unsigned h, unsigned j, unsigned max, unsigned *len, unsigned *off)
    {
        long limit = (long)pos_ - (long)dicsiz_;
        unsigned q = hash_pos_[h];
        long s = (long)q - (long)j;
        if (s <= limit)
            return;
        unsigned counted = 0;
        for (;;) {
            counted++;
            unsigned L = *len;
            if (text_[s + L] == text_[pos_ + L] && text_[s + L - 1] == text_[pos_ + L - 1] &&
                text_[s] == text_[pos_] && max != 0) {
                unsigned i = 1;
                while (i < max && text_[pos_ + i] == text_[s + i])
                    i++;
                if (i > L) {
                    *len = i;
                    *off = pos_ - (unsigned)s;
                    if (i == max)
                        break;
                }
            }
            q = prev_[q & (dicsiz_ - 1)];
            s = (long)q - (long)j;
            if (s <= limit)
                break;
        }
        if (counted > 255)
            hash_too_[h] = 1;
    }

    void search(int min, unsigned *len, unsigned *off)
    {
        *off = 0;
        *len = min > 2 ? (unsigned)min : 2;
        bool done = false;
        if (!hash_too_[h_]) {
            search_1(h_, 0, 256, len, off);
            done = true;
        }
        unsigned hj = h_;
        for (unsigned j = 1; !done && j <= 252; j++) {
            hj = ((hj << 5) ^ text_[pos_ + j + 2]) & 0x7FFF;
            if (!hash_too_[hj]) {
                search_1(hj, j, 256, len, off);
                if (*len < j + 3)
                    search_1(h_, 0, j + 2, len, off);
                done = true;
            }
        }
        if (!done)
            search_1(h_, 0, 256, len, off);
        if (*len > remainder_)
            *len = remainder_;
    }

    // ------------------------------------------------------ bit writer

    int64_t origsize_ = 0;
    bool unpackable_ = false;
    Bytes out_;
    unsigned subbitbuf_ = 0, bitcount_ = 8;

    void emit(unsigned b)
    {
        if ((int64_t)out_.size() < origsize_)
            out_.push_back((uint8_t)b);
        else
            unpackable_ = true;
    }

    // The n top bits of a left-aligned 16-bit code, one bit at a time.
    void putcode(unsigned n, unsigned code)
    {
        for (unsigned i = 0; i < n; i++) {
            unsigned bit = (code >> (15 - i)) & 1;
            bitcount_--;
            subbitbuf_ |= bit << bitcount_;
            if (bitcount_ == 0) {
                emit(subbitbuf_);
                subbitbuf_ = 0;
                bitcount_ = 8;
            }
        }
    }

    void putbits(unsigned n, unsigned v) { putcode(n, n == 0 ? 0 : (v << (16 - n)) & 0xFFFF); }

    // ------------------------------------------------------ block coder

    unsigned bufsiz_;
    std::vector<uint8_t> buf_;
    unsigned output_pos_ = 0, output_mask_ = 0, cpos_ = 0;
    uint16_t c_freq_[1019] = {}, p_freq_[33] = {}, t_freq_[37] = {};
    uint8_t c_len_[510] = {}, pt_len_[128] = {};
    uint16_t c_code_[510] = {}, pt_code_[128] = {};
    uint16_t left_[1019] = {}, right_[1019] = {};

    static unsigned klass(unsigned d)
    {
        unsigned k = 0;
        while (d != 0) {
            k++;
            d >>= 1;
        }
        return k;
    }

    void start()
    {
        for (auto &f : c_freq_)
            f = 0;
        for (int i = 0; i < np_; i++)
            p_freq_[i] = 0;
        output_pos_ = output_mask_ = 0;
        subbitbuf_ = 0;
        bitcount_ = 8;
    }

    void output(unsigned c, unsigned p)
    {
        output_mask_ >>= 1;
        if (output_mask_ == 0) {
            output_mask_ = 0x80;
            if (output_pos_ >= bufsiz_ - 24) {
                send_block();
                if (unpackable_)
                    return;
                output_pos_ = 0;
            }
            cpos_ = output_pos_;
            buf_[cpos_] = 0;
            output_pos_++;
        }
        buf_[output_pos_++] = (uint8_t)c;
        c_freq_[c]++;
        if (c >= 256) {
            buf_[cpos_] |= (uint8_t)output_mask_;
            buf_[output_pos_++] = (uint8_t)(p >> 8);
            buf_[output_pos_++] = (uint8_t)p;
            p_freq_[klass(p)]++;
        }
    }

public:
    // The Huffman construction alone, for the table tests below.
    int tree(int n, uint16_t *freq, uint8_t *len, uint16_t *code) { return make_tree(n, freq, len, code); }

private:
    void downheap(int i, int *heap, int size, const uint16_t *freq)
    {
        int e = heap[i];
        while (2 * i <= size) {
            int j = 2 * i;
            if (j + 1 <= size && freq[heap[j + 1]] < freq[heap[j]])
                j = j + 1;
            if (freq[e] <= freq[heap[j]])
                break;
            heap[i] = heap[j];
            i = j;
        }
        heap[i] = e;
    }

    void count_leaf(int node, int n, int *count, int depth)
    {
        if (node < n) {
            count[depth < 16 ? depth : 16]++;
            return;
        }
        count_leaf(left_[node], n, count, depth + 1);
        count_leaf(right_[node], n, count, depth + 1);
    }

    int make_tree(int n, uint16_t *freq, uint8_t *len, uint16_t *code)
    {
        int heap[512];
        int size = 0;
        for (int i = 0; i < n; i++) {
            len[i] = 0;
            if (freq[i] != 0)
                heap[++size] = i;
        }
        if (size < 2) {
            int s = size == 0 ? 0 : heap[1];
            code[s] = 0;
            return s;
        }
        for (int i = size / 2; i >= 1; i--)
            downheap(i, heap, size, freq);
        std::vector<int> leaves;
        int avail = n, k = n;
        while (size > 1) {
            int i = heap[1];
            if (i < n)
                leaves.push_back(i);
            heap[1] = heap[size--];
            downheap(1, heap, size, freq);
            int j = heap[1];
            if (j < n)
                leaves.push_back(j);
            k = avail++;
            freq[k] = (uint16_t)(freq[i] + freq[j]);
            left_[k] = (uint16_t)i;
            right_[k] = (uint16_t)j;
            heap[1] = k;
            downheap(1, heap, size, freq);
        }
        int count[17] = {};
        count_leaf(k, n, count, 0);
        unsigned sum = 0;
        for (int l = 1; l <= 16; l++)
            sum += (unsigned)count[l] << (16 - l);
        sum &= 0xFFFF;
        if (sum != 0) {
            count[16] -= (int)sum;
            for (unsigned t = 0; t < sum; t++) {
                int l = 15;
                while (l >= 1 && count[l] == 0)
                    l--;
                if (l >= 1) {
                    count[l]--;
                    count[l + 1] += 2;
                }
            }
        }
        size_t at = 0;
        for (int l = 16; l >= 1; l--)
            for (int c = 0; c < count[l] && at < leaves.size(); c++)
                len[leaves[at++]] = (uint8_t)l;
        unsigned next[18];
        next[1] = 0;
        for (int l = 1; l <= 16; l++)
            next[l + 1] = (next[l] + ((unsigned)count[l] << (16 - l))) & 0xFFFF;
        for (int s = 0; s < n; s++)
            if (len[s] != 0) {
                code[s] = (uint16_t)next[len[s]];
                next[len[s]] += 1u << (16 - len[s]);
            }
        return k;
    }

    int c_count() const
    {
        int n = 510;
        while (n > 0 && c_len_[n - 1] == 0)
            n--;
        return n;
    }

    // Walks the c lengths as t symbols; emit(sym, nbits, value).
    template <class F>
    void t_symbols(F emit_sym)
    {
        int n = c_count();
        for (int i = 0; i < n;) {
            int k = c_len_[i];
            if (k != 0) {
                emit_sym(k + 2, 0, 0);
                i++;
                continue;
            }
            int r = 0;
            while (i < n && c_len_[i] == 0) {
                r++;
                i++;
            }
            if (r <= 2) {
                for (int x = 0; x < r; x++)
                    emit_sym(0, 0, 0);
            } else if (r <= 18) {
                emit_sym(1, 4, r - 3);
            } else if (r == 19) {
                emit_sym(0, 0, 0);
                emit_sym(1, 4, 15);
            } else {
                emit_sym(2, 9, r - 20);
            }
        }
    }

    void write_pt_len(int n, int nbit, int zeros_at)
    {
        while (n > 0 && pt_len_[n - 1] == 0)
            n--;
        putbits((unsigned)nbit, (unsigned)n);
        int i = 0;
        while (i < n) {
            int k = pt_len_[i++];
            if (k <= 6) {
                putbits(3, (unsigned)k);
            } else {
                for (int b = 0; b < k - 4; b++)
                    putbits(1, 1);
                putbits(1, 0);
            }
            if (i == zeros_at) {
                int z = 0;
                while (i < 6 && pt_len_[i] == 0) {
                    i++;
                    z++;
                }
                putbits(2, (unsigned)z);
            }
        }
    }

    void send_block()
    {
        int root = make_tree(510, c_freq_, c_len_, c_code_);
        unsigned size = c_freq_[root];
        putbits(16, size);
        if (root >= 510) {
            for (auto &f : t_freq_)
                f = 0;
            t_symbols([this](int sym, int, int) { t_freq_[sym]++; });
            int troot = make_tree(19, t_freq_, pt_len_, pt_code_);
            if (troot >= 19) {
                write_pt_len(19, 5, 3);
            } else {
                putbits(5, 0);
                putbits(5, (unsigned)troot);
            }
            putbits(9, (unsigned)c_count());
            t_symbols([this](int sym, int nbits, int value) {
                putcode(pt_len_[sym], pt_code_[sym]);
                if (nbits != 0)
                    putbits((unsigned)nbits, (unsigned)value);
            });
        } else {
            putbits(5, 0);
            putbits(5, 0);
            putbits(9, 0);
            putbits(9, (unsigned)root);
        }
        int proot = make_tree(np_, p_freq_, pt_len_, pt_code_);
        if (proot >= np_) {
            write_pt_len(np_, pbit_, -1);
        } else {
            putbits((unsigned)pbit_, 0);
            putbits((unsigned)pbit_, (unsigned)proot);
        }
        unsigned at = 0, flags = 0;
        for (unsigned i = 0; i < size; i++) {
            if (i % 8 == 0)
                flags = buf_[at++];
            else
                flags <<= 1;
            if (flags & 0x80) {
                unsigned c = buf_[at] + 256u;
                unsigned d = ((unsigned)buf_[at + 1] << 8) | buf_[at + 2];
                at += 3;
                putcode(c_len_[c], c_code_[c]);
                unsigned k = klass(d);
                putcode(pt_len_[k], pt_code_[k]);
                if (k >= 2)
                    putbits(k - 1, d & ((1u << (k - 1)) - 1));
            } else {
                unsigned c = buf_[at++];
                putcode(c_len_[c], c_code_[c]);
            }
            if (unpackable_)
                return;
        }
        for (auto &f : c_freq_)
            f = 0;
        for (int i = 0; i < np_; i++)
            p_freq_[i] = 0;
    }
};

// ------------------------------------------------------------ inputs

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 7) {}
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return (uint32_t)(s >> 11);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Data of one structure. Every kind mixes repeats and fresh bytes so that
// matches of all lengths and distances occur.
Bytes make_input(int kind, size_t n, uint64_t seed)
{
    Rng r(seed);
    Bytes b;
    b.reserve(n + 600);
    switch (kind) {
    case 0: // random bytes: nothing to find, the encoder gives up
        while (b.size() < n)
            b.push_back((uint8_t)r.next());
        break;
    case 1: // two letters: long, crowded chains and many equal-length ties
    {
        // Every search walks a whole chain of about dicsiz / 8 entries
        // here; above 64 KB four letters keep the run short.
        uint32_t letters = n > 65536 ? 4 : 2;
        while (b.size() < n)
            b.push_back((uint8_t)('a' + r.below(letters)));
        break;
    }
    case 2: // letters that collide in the hash (same low five bits)
        while (b.size() < n)
            b.push_back((uint8_t)(0x01 + 0x20 * r.below(8)));
        break;
    case 3: // long runs of one byte: matches of the maximum length
        while (b.size() < n)
            b.insert(b.end(), 1 + r.below(2000), (uint8_t)r.below(3));
        break;
    case 4: // copies of earlier stretches from all over the window
        while (b.size() < n) {
            if (b.size() > 300 && r.below(3) != 0) {
                size_t len = 3 + r.below(r.below(4) == 0 ? 300 : 20);
                size_t from = b.size() - 1 - r.below((uint32_t)std::min<size_t>(b.size(), 70000));
                for (size_t k = 0; k < len; k++)
                    b.push_back(b[from + k]);
            } else {
                for (uint32_t k = 1 + r.below(8); k > 0; k--)
                    b.push_back((uint8_t)(' ' + r.below(60)));
            }
        }
        break;
    case 5: // a period near the maximum match length, with rare changes
    {
        size_t period = 250 + r.below(12);
        Bytes unit(period);
        for (auto &x : unit)
            x = (uint8_t)r.below(4);
        while (b.size() < n) {
            b.insert(b.end(), unit.begin(), unit.end());
            if (r.below(5) == 0)
                unit[r.below((uint32_t)period)] ^= 1;
        }
        break;
    }
    case 6: // mostly random with some repeats: around the no-growth boundary
        while (b.size() < n) {
            if (b.size() > 50 && r.below(12) == 0) {
                size_t from = b.size() - 1 - r.below((uint32_t)std::min<size_t>(b.size(), 9000));
                for (uint32_t k = 3 + r.below(4); k > 0; k--)
                    b.push_back(b[from++]);
            } else {
                b.push_back((uint8_t)r.next());
            }
        }
        break;
    default: // spaces, which also fill the window before the first byte
        while (b.size() < n) {
            if (r.below(4) == 0)
                b.insert(b.end(), r.below(300), ' ');
            else
                b.push_back((uint8_t)('a' + r.below(3)));
        }
        break;
    }
    b.resize(n);
    return b;
}

Bytes read_all(FILE *fp)
{
    fflush(fp);
    fseek(fp, 0, SEEK_END);
    Bytes b((size_t)ftell(fp));
    rewind(fp);
    if (!b.empty() && fread(b.data(), 1, b.size(), fp) != b.size())
        b.clear();
    return b;
}

// Packs through the archiver and through the reference and compares. The
// output stream already holds a few bytes (as the archive's temporary file
// might), which must stay, with the packed or stored data right behind them
// and the stream standing at their end.
void expect_same(const Bytes &data, int method, const std::string &what)
{
    Bytes want;
    bool packs = RefEncoder(data, method).run(&want);

    FILE *in = tmpfile();
    FILE *out = tmpfile();
    ASSERT_TRUE(in && out);
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), in);
    rewind(in);
    Bytes before(data.size() % 5, 'P');
    if (!before.empty())
        fwrite(before.data(), 1, before.size(), out);
    EntryHeader h{};
    h.method = method;
    ASSERT_EQ(tmb_compress(testkit::shared_encoder(), in, out, &h, method, false, {}), 1) << what;
    EXPECT_EQ((uint64_t)ftell(out), before.size() + h.comp_size) << what;
    Bytes got = read_all(out);
    fclose(in);
    fclose(out);
    ASSERT_GE(got.size(), before.size()) << what;
    EXPECT_TRUE(std::equal(before.begin(), before.end(), got.begin())) << what;
    got.erase(got.begin(), got.begin() + (long)before.size());

    EXPECT_EQ(h.crc, tmb_crc16(data.data(), data.size(), 0)) << what;
    EXPECT_EQ(h.orig_size, data.size()) << what;
    if (!packs || data.empty()) {
        EXPECT_EQ(h.method, 0) << what << ": the reference gives up";
        EXPECT_EQ(got, data) << what;
        return;
    }
    ASSERT_EQ(h.method, method) << what << ": the reference packs into " << want.size();
    EXPECT_EQ(h.comp_size, want.size()) << what;
    ASSERT_EQ(got.size(), want.size()) << what;
    size_t i = 0;
    while (i < got.size() && got[i] == want[i])
        i++;
    EXPECT_EQ(i, got.size()) << what << ": first differing byte";
}

std::string label(int kind, size_t n, int method, uint64_t seed)
{
    return "kind " + std::to_string(kind) + " size " + std::to_string(n) + " -lh" +
           std::to_string(method) + "- seed " + std::to_string(seed);
}

// Sizes at the edges of the first read (dicsiz + 256), of every slide
// (each further dicsiz) and a little past them, for every structure.
TEST(EncReference, SizesAroundTheWindowEdges)
{
    for (int method : {5, 6, 7}) {
        size_t d = method == 5 ? 8192 : method == 6 ? 32768 : 65536;
        std::vector<size_t> sizes = {1, 2, 3, 4, 5, 255, 256, 257, 258};
        for (size_t base : {d, d + 256, 2 * d, 2 * d + 256, 3 * d + 256}) {
            if (method == 7 && base > 2 * d + 256)
                continue;   // a second slide is covered by the smaller windows
            for (long delta : {-3L, -1L, 0L, 1L, 2L})
                sizes.push_back((size_t)((long)base + delta));
        }
        // Two structures per size, rotating, so that every structure meets
        // every kind of edge without running all of them everywhere.
        uint64_t seed = 1;
        for (size_t i = 0; i < sizes.size(); i++)
            for (int kind : {1 + (int)(i % 7), 1 + (int)((i + 3) % 7)}) {
                size_t n = sizes[i];
                expect_same(make_input(kind, n, seed), method, label(kind, n, method, seed));
                seed++;
            }
    }
}

// Many random sizes and structures: block triggers, the 64 KB output
// buffer, crowded chains and collisions at arbitrary positions.
TEST(EncReference, RandomSizesAndStructures)
{
    Rng r(2024);
    for (int round = 0; round < 60; round++) {
        int method = 5 + (int)r.below(3);
        int kind = (int)r.below(8);
        size_t n = r.below(4) == 0 ? r.below(600) : 1 + r.below(r.below(3) == 0 ? 300000 : 40000);
        uint64_t seed = r.next();
        expect_same(make_input(kind, n, seed), method, label(kind, n, method, seed));
    }
}

// The no-growth boundary: random bytes, whose packed form is a little
// longer than they are, behind a run of k equal bytes that packs to almost
// nothing. Each further byte of the run lowers the excess by about one, so
// some k makes the packed data exactly as long as the input (kept) and
// some other k one byte longer (stored).
TEST(EncReference, AroundTheNoGrowthBoundary)
{
    for (int method : {5, 6, 7}) {
        Bytes tail = make_input(0, 3000, (uint64_t)method);
        bool equal = false, longer = false;
        for (size_t k = 0; k < 400 && !(equal && longer); k++) {
            Bytes data(k, 'a');
            data.insert(data.end(), tail.begin(), tail.end());
            Bytes natural;
            RefEncoder(data, method, INT64_MAX).run(&natural);
            int64_t excess = (int64_t)natural.size() - (int64_t)data.size();
            if ((excess == 0 && !equal) || (excess == 1 && !longer)) {
                (excess == 0 ? equal : longer) = true;
                expect_same(data, method, label(0, data.size(), method, k));
            }
        }
        EXPECT_TRUE(equal && longer) << "-lh" << method << "-: boundary not met; retune the input";
    }
}

// make_tree on frequency tables of every alphabet size: ties, skewed
// counts and trees deeper than 16 levels, where the length limit decides
// which codes grow.
TEST(EncReference, HuffmanCodesOfManyFrequencyTables)
{
    Bytes none;
    RefEncoder ref(none, 5);
    Rng r(77);
    for (int round = 0; round < 400; round++) {
        int n = std::vector<int>{19, 14, 16, 17, 510}[r.below(5)];
        std::vector<uint16_t> freq((size_t)(2 * n - 1), 0);
        int shape = (int)r.below(4);
        uint32_t a = 1, b = 1;
        for (int i = 0; i < n; i++) {
            switch (shape) {
            case 0: // Fibonacci counts in a shuffled order of symbols
                freq[(size_t)i] = (uint16_t)std::min<uint32_t>(a, 30000);
                b = a + b;
                a = b - a;
                break;
            case 1: // few distinct counts: many ties
                freq[(size_t)i] = (uint16_t)(r.below(3) == 0 ? 0 : 1 + r.below(3));
                break;
            case 2: // halving counts
                freq[(size_t)i] = (uint16_t)(r.below(4) == 0 ? 0 : (20000u >> r.below(16)));
                break;
            default:
                freq[(size_t)i] = (uint16_t)r.below(200);
            }
        }
        if (shape == 0)
            for (int i = n - 1; i > 0; i--)
                std::swap(freq[(size_t)i], freq[r.below((uint32_t)i + 1)]);
        // Keep the block total inside 16 bits, as the block buffer does.
        uint32_t total = 0;
        for (int i = 0; i < n; i++)
            total += freq[(size_t)i];
        while (total > 60000)
            for (int i = 0; i < n; i++) {
                total -= freq[(size_t)i] - freq[(size_t)i] / 2;
                freq[(size_t)i] /= 2;
            }

        std::vector<uint16_t> f1 = freq, f2 = freq;
        std::vector<uint8_t> len1((size_t)n, 9), len2((size_t)n, 9);
        std::vector<uint16_t> code1((size_t)n, 0), code2((size_t)n, 0);
        int root1 = enc::make_tree(n, f1.data(), len1.data(), code1.data());
        int root2 = ref.tree(n, f2.data(), len2.data(), code2.data());
        ASSERT_EQ(root1, root2) << "round " << round;
        ASSERT_EQ(len1, len2) << "round " << round << " shape " << shape;
        // Codes of present symbols; a single symbol's code is 0.
        for (int i = 0; i < n; i++) {
            if (len2[(size_t)i] != 0 || i == root2) {
                ASSERT_EQ(code1[(size_t)i], code2[(size_t)i]) << "round " << round << " symbol " << i;
            }
        }
    }
}

} // namespace
