// Byte builders for the self-extractor tests: level-2 entries and a small,
// independent writer of the compressed block format (greedy matches, codes
// of equal length per alphabet), so the extractor's decoder is checked
// against a second, plain implementation of the format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testkit.h"

namespace stubtest {

using testkit::Bytes;

inline uint16_t crc16(const Bytes &d)
{
    uint16_t c = 0;
    for (uint8_t b : d) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (uint16_t)((c >> 1) ^ 0xA001) : (uint16_t)(c >> 1);
    }
    return c;
}

inline Bytes to_bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct ExtHeader {
    uint8_t type;
    Bytes data;
};

// One level-2 entry: base header, the given extended headers, then `packed`.
inline Bytes lv2_entry_ext(const std::string &method, const Bytes &packed, uint32_t orig_size,
                           uint16_t crc, const std::vector<ExtHeader> &ext)
{
    Bytes h;
    size_t total = 26;
    for (const ExtHeader &e : ext)
        total += 3 + e.data.size();
    testkit::put_u16(h, (unsigned)total);
    testkit::put_str(h, method);
    testkit::put_u32(h, (uint32_t)packed.size());
    testkit::put_u32(h, orig_size);
    testkit::put_u32(h, 0x5F000000);
    testkit::put_u8(h, 0x20);
    testkit::put_u8(h, 2);
    testkit::put_u16(h, crc);
    testkit::put_u8(h, 'A');
    for (const ExtHeader &e : ext) {
        testkit::put_u16(h, (unsigned)(e.data.size() + 3));
        testkit::put_u8(h, e.type);
        h.insert(h.end(), e.data.begin(), e.data.end());
    }
    testkit::put_u16(h, 0);
    h.insert(h.end(), packed.begin(), packed.end());
    return h;
}

// The shape the archiver writes: a file-name header and a header-CRC header.
inline Bytes lv2_entry(const std::string &name, const std::string &method, const Bytes &packed,
                       uint32_t orig_size, uint16_t crc)
{
    return lv2_entry_ext(method, packed, orig_size, crc, {{1, to_bytes(name)}, {0, Bytes{0x12, 0x34}}});
}

// The archiver's own header shape, with a correct header CRC: the file
// name, the header-CRC extended header, and `pad` bytes after the chain.
// For a name of 222 bytes the header is 256 bytes long and so begins with
// a zero byte; the archiver pads it to 257, older versions did not.
inline Bytes crc_entry(const std::string &name, const std::string &method, const Bytes &packed,
                       uint32_t orig_size, uint16_t crc, size_t pad)
{
    Bytes h = lv2_entry(name, method, {}, orig_size, crc);
    h[7] = (uint8_t)packed.size(); // packed size, little-endian
    h[8] = (uint8_t)(packed.size() >> 8);
    h[9] = (uint8_t)(packed.size() >> 16);
    h[10] = (uint8_t)(packed.size() >> 24);
    h.insert(h.end(), pad, 0);
    h[0] = (uint8_t)h.size();
    h[1] = (uint8_t)(h.size() >> 8);
    size_t crc_at = 27 + name.size() + 3; // after the name header and the type byte
    h[crc_at] = h[crc_at + 1] = 0;
    uint16_t hc = crc16(h);
    h[crc_at] = (uint8_t)hc;
    h[crc_at + 1] = (uint8_t)(hc >> 8);
    h.insert(h.end(), packed.begin(), packed.end());
    return h;
}

inline Bytes stored_entry(const std::string &name, const Bytes &data)
{
    return lv2_entry(name, "-lh0-", data, (uint32_t)data.size(), crc16(data));
}

class BitWriter {
public:
    void put(uint32_t value, int n)
    {
        for (int i = n - 1; i >= 0; i--) {
            acc_ = (uint8_t)(acc_ << 1 | ((value >> i) & 1));
            if (++nacc_ == 8) {
                out_.push_back(acc_);
                nacc_ = 0;
            }
        }
    }
    Bytes finish()
    {
        if (nacc_)
            put(0, 8 - nacc_);
        return out_;
    }

private:
    Bytes out_;
    uint8_t acc_ = 0;
    int nacc_ = 0;
};

// A literal (len 0) or a match of len bytes starting dist + 1 bytes back.
struct Token {
    int lit = 0;
    int len = 0;
    uint32_t dist = 0;
};

// Canonical codes from lengths: shorter first, then by symbol.
inline std::vector<uint32_t> canonical_codes(const std::vector<int> &len)
{
    std::vector<uint32_t> code(len.size(), 0);
    uint32_t c = 0;
    for (int l = 1; l <= 16; l++) {
        for (size_t j = 0; j < len.size(); j++)
            if (len[j] == l)
                code[j] = c++;
        c <<= 1;
    }
    return code;
}

// Equal lengths for the symbols used; empty when only one is used.
inline std::vector<int> flat_lengths(const std::vector<bool> &used)
{
    int n = 0;
    for (bool u : used)
        n += u;
    std::vector<int> len(used.size(), 0);
    if (n <= 1)
        return {};
    int bits = 0;
    while ((1 << bits) < n)
        bits++;
    for (size_t j = 0; j < used.size(); j++)
        if (used[j])
            len[j] = bits;
    return len;
}

inline int single_symbol(const std::vector<bool> &used)
{
    for (size_t j = 0; j < used.size(); j++)
        if (used[j])
            return (int)j;
    return 0;
}

// A t or p length list: count, 3-bit lengths with the 7 escape, and in the
// t list the 2-bit zero run after the third length (always 0 here).
inline void put_pt_list(BitWriter &bw, const std::vector<int> &len, int nbit, int special)
{
    int n = (int)len.size();
    while (n > 0 && len[n - 1] == 0)
        n--;
    bw.put((uint32_t)n, nbit);
    for (int i = 0; i < n; i++) {
        int l = len[i];
        if (l < 7) {
            bw.put((uint32_t)l, 3);
        } else {
            bw.put(7, 3);
            for (int k = 7; k < l; k++)
                bw.put(1, 1);
            bw.put(0, 1);
        }
        if (i + 1 == special)
            bw.put(0, 2);
    }
}

inline int p_class(uint32_t d)
{
    int p = 0;
    while (d >> p)
        p++;
    return p; // 0 -> 0, 1 -> 1, 2..3 -> 2, ...
}

// Writes the tokens as blocks of at most `block` symbols for a method with
// np position symbols.
inline Bytes encode_tokens(const std::vector<Token> &tokens, int np, size_t block = 4000)
{
    const int pbit = np == 14 ? 4 : 5;
    BitWriter bw;
    for (size_t start = 0; start < tokens.size(); start += block) {
        size_t end = std::min(tokens.size(), start + block);
        std::vector<bool> cu(510, false), pu((size_t)np, false);
        for (size_t i = start; i < end; i++) {
            const Token &t = tokens[i];
            if (t.len) {
                cu[(size_t)t.len + 253] = true;
                pu[(size_t)p_class(t.dist)] = true;
            } else {
                cu[(size_t)t.lit] = true;
            }
        }
        std::vector<int> clen = flat_lengths(cu), plen = flat_lengths(pu);
        std::vector<uint32_t> ccode = canonical_codes(clen.empty() ? std::vector<int>(510, 0) : clen);
        std::vector<uint32_t> pcode = canonical_codes(plen.empty() ? std::vector<int>((size_t)np, 0) : plen);

        bw.put((uint32_t)(end - start), 16);
        if (clen.empty()) {
            // t list unused: a single-symbol t code, then c count 0 + symbol
            bw.put(0, 5);
            bw.put(0, 5);
            bw.put(0, 9);
            bw.put((uint32_t)single_symbol(cu), 9);
        } else {
            // c lengths through t symbols 0 (one zero), 1 (3-18 zeros),
            // 2 (20-531 zeros) and L + 2 (length L); all four t codes 2 bits
            int n = 510;
            while (clen[(size_t)n - 1] == 0)
                n--;
            int L = 0;
            for (int l : clen)
                L = std::max(L, l);
            std::vector<int> tlen(19, 0);
            tlen[0] = tlen[1] = tlen[2] = tlen[(size_t)L + 2] = 2;
            std::vector<uint32_t> tcode = canonical_codes(tlen);
            put_pt_list(bw, tlen, 5, 3);
            bw.put((uint32_t)n, 9);
            for (int i = 0; i < n;) {
                if (clen[(size_t)i]) {
                    bw.put(tcode[(size_t)L + 2], 2);
                    i++;
                    continue;
                }
                int r = 0;
                while (i + r < n && clen[(size_t)(i + r)] == 0 && r < 531)
                    r++;
                if (r >= 20) {
                    bw.put(tcode[2], 2);
                    bw.put((uint32_t)(r - 20), 9);
                } else if (r >= 3) {
                    r = std::min(r, 18);
                    bw.put(tcode[1], 2);
                    bw.put((uint32_t)(r - 3), 4);
                } else {
                    r = 1;
                    bw.put(tcode[0], 2);
                }
                i += r;
            }
        }
        if (plen.empty()) {
            bw.put(0, pbit);
            bw.put((uint32_t)single_symbol(pu), pbit);
        } else {
            put_pt_list(bw, plen, pbit, -1);
        }
        for (size_t i = start; i < end; i++) {
            const Token &t = tokens[i];
            size_t c = t.len ? (size_t)t.len + 253 : (size_t)t.lit;
            if (!clen.empty())
                bw.put(ccode[c], clen[c]);
            if (t.len) {
                int p = p_class(t.dist);
                if (!plen.empty())
                    bw.put(pcode[(size_t)p], plen[(size_t)p]);
                if (p > 1)
                    bw.put(t.dist - (1u << (p - 1)), p - 1);
            }
        }
    }
    return bw.finish();
}

// Greedy matches through a hash of three-byte prefixes.
inline std::vector<Token> find_tokens(const Bytes &data, uint32_t window)
{
    std::vector<Token> out;
    std::vector<int64_t> head(1 << 14, -1), prev(data.size(), -1);
    auto hash = [&](size_t i) {
        return ((data[i] << 8) ^ (data[i + 1] << 4) ^ data[i + 2]) & ((1 << 14) - 1);
    };
    size_t i = 0;
    while (i < data.size()) {
        size_t best = 0, best_pos = 0;
        if (i + 3 <= data.size()) {
            int64_t cand = head[(size_t)hash(i)];
            for (int chain = 0; cand >= 0 && chain < 64; chain++, cand = prev[(size_t)cand]) {
                if (i - (size_t)cand > window)
                    break;
                size_t l = 0;
                while (l < 256 && i + l < data.size() && data[(size_t)cand + l] == data[i + l])
                    l++;
                if (l > best) {
                    best = l;
                    best_pos = (size_t)cand;
                }
            }
        }
        size_t step = best >= 3 ? best : 1;
        if (best >= 3)
            out.push_back({0, (int)best, (uint32_t)(i - best_pos - 1)});
        else
            out.push_back({data[i], 0, 0});
        for (size_t k = 0; k < step; k++, i++)
            if (i + 3 <= data.size()) {
                size_t h = (size_t)hash(i);
                prev[i] = head[h];
                head[h] = (int64_t)i;
            }
    }
    return out;
}

inline int method_np(int method) { return method <= 5 ? 14 : method == 6 ? 16 : 17; }
inline uint32_t method_window(int method)
{
    return method == 4 ? 4096 : method == 5 ? 8192 : method == 6 ? 32768 : 65536;
}

inline Bytes compress(const Bytes &data, int method, size_t block = 4000)
{
    return encode_tokens(find_tokens(data, method_window(method)), method_np(method), block);
}

inline Bytes compressed_entry(const std::string &name, int method, const Bytes &data, size_t block = 4000)
{
    std::string id = "-lh" + std::to_string(method) + "-";
    return lv2_entry(name, id, compress(data, method, block), (uint32_t)data.size(), crc16(data));
}

// Text-like sample data with repeats near and far.
inline Bytes sample_data(size_t n, uint32_t seed)
{
    static const char *words[] = {"amiga ", "lzh ", "archive ", "stub ", "window ", "\n", "68000 ", "dots "};
    Bytes out;
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < n) {
        x = x * 1103515245u + 12345u;
        if ((x >> 28) == 0)
            out.push_back((uint8_t)(x >> 8)); // some noise
        else
            testkit::put_str(out, words[(x >> 16) & 7]);
    }
    out.resize(n);
    return out;
}

} // namespace stubtest
