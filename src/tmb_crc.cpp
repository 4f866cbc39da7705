// The byte-wise rule is crc = (crc >> 8) ^ T[(crc ^ b) & 0xFF]. That is one
// long chain of dependent lookups. Slicing by sixteen breaks it: T_k[i] is
// the CRC of byte i followed by k zero bytes, so the contributions of
// sixteen input bytes are looked up independently and XOR-ed together. The
// running CRC only overlaps the first two bytes of each step.
//
// The tables are built by the compiler: nothing is initialised at run time,
// so any number of threads may use them.
//
// Where the processor multiplies without carries (x86-64 with PCLMULQDQ),
// long buffers go faster still by folding; see fold_crc below.
#include "tmb_crc.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TMB_CRC_FOLD 1
#endif

namespace {

using Slices = std::array<std::array<uint16_t, 256>, 16>;

constexpr Slices make_slices()
{
    Slices t{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        t[0][i] = (uint16_t)c;
    }
    for (unsigned k = 1; k < 16; k++)
        for (unsigned i = 0; i < 256; i++) {
            unsigned c = t[k - 1][i];
            t[k][i] = (uint16_t)((c >> 8) ^ t[0][c & 0xFF]);
        }
    return t;
}

constexpr Slices kSlices = make_slices();

inline uint64_t load_le64(const unsigned char *p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

uint16_t crc_slices(const unsigned char *p, size_t len, uint16_t crc)
{
    const auto &t = kSlices;
    uint32_t c = crc;
    while (len >= 16) {
        uint64_t a = load_le64(p) ^ c, b = load_le64(p + 8);
        c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][(a >> 24) & 0xFF] ^
            t[11][(a >> 32) & 0xFF] ^ t[10][(a >> 40) & 0xFF] ^ t[9][(a >> 48) & 0xFF] ^ t[8][a >> 56] ^
            t[7][b & 0xFF] ^ t[6][(b >> 8) & 0xFF] ^ t[5][(b >> 16) & 0xFF] ^ t[4][(b >> 24) & 0xFF] ^
            t[3][(b >> 32) & 0xFF] ^ t[2][(b >> 40) & 0xFF] ^ t[1][(b >> 48) & 0xFF] ^ t[0][b >> 56];
        p += 16;
        len -= 16;
    }
    while (len--)
        c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return (uint16_t)c;
}

#ifdef TMB_CRC_FOLD
// Folding. The CRC is the remainder of the message polynomial M(x) (times
// x^16) modulo P(x) = x^16 + x^15 + x^2 + 1, and remainders add: a 16-byte
// block X followed by n more bytes contributes X(x) * x^(8n), which may be
// replaced by any X' with the same remainder placed n bytes later. So the
// block can be multiplied forward onto a later block, XOR-ed into it, and
// the message shrinks by 16 bytes at a time without a division, until one
// 16-byte block is left for the tables.
//
// The CRC is reflected: the first byte's bit 0 is the highest power. Loaded
// little-endian into 128 bits, bit i of the register is the coefficient of
// x^(127-i), so the low 64 bits L hold the high powers: X = L*x^64 + H.
// Moving X forward by F bits: X*x^F = L*x^(64+F) + H*x^F, and both powers
// of x may be reduced modulo P first, to constants below x^16. A carry-less
// multiply of two reflected 64-bit values gives the reflected product one
// bit too high (bit k holds x^(126-k) of a 128-bit x^(127-k) scale), i.e.
// times x; constants of x^(63+F) and x^(F-1) make up for it. The products
// have at most 80 bits, so they fit the 128 of the block they land on.

// x^d modulo P, as a 64-bit reflected value (x^k at bit 63 - k).
constexpr uint64_t xpow_mod_p(unsigned d)
{
    uint32_t r = 1;
    for (unsigned i = 0; i < d; i++) {
        r <<= 1;
        if (r & 0x10000)
            r ^= 0x18005;
    }
    uint64_t v = 0;
    for (unsigned k = 0; k < 16; k++)
        if (r >> k & 1)
            v |= uint64_t{1} << (63 - k);
    return v;
}

// The two constants that move a block forward by f bits: low lane for L,
// high lane for H (the lanes the multiplies below pick).
struct FoldBy {
    uint64_t lo, hi;
};
constexpr FoldBy fold_by(unsigned f) { return {xpow_mod_p(63 + f), xpow_mod_p(f - 1)}; }

constexpr FoldBy kFold128 = fold_by(128);
constexpr FoldBy kFold256 = fold_by(256);
constexpr FoldBy kFold384 = fold_by(384);
constexpr FoldBy kFold512 = fold_by(512);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) inline __m128i consts(const FoldBy &f)
{
    return _mm_set_epi64x((long long)f.hi, (long long)f.lo);
}

__attribute__((target("pclmul,sse2"))) inline __m128i load128(const unsigned char *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// len >= 64. Four blocks are folded side by side, 64 bytes apart, so that
// the multiplies of one do not wait for those of another; then they are
// folded into one, and the tables finish that block and the tail.
__attribute__((target("pclmul,sse2"))) uint16_t fold_crc(const unsigned char *p, size_t len, uint16_t crc)
{
    // A start value other than 0 is the same as XOR-ing it into the first
    // two bytes.
    __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(crc));
    __m128i x1 = load128(p + 16), x2 = load128(p + 32), x3 = load128(p + 48);
    p += 64;
    len -= 64;
    const __m128i k512 = consts(kFold512);
    while (len >= 64) {
        x0 = _mm_xor_si128(fold(x0, k512), load128(p));
        x1 = _mm_xor_si128(fold(x1, k512), load128(p + 16));
        x2 = _mm_xor_si128(fold(x2, k512), load128(p + 32));
        x3 = _mm_xor_si128(fold(x3, k512), load128(p + 48));
        p += 64;
        len -= 64;
    }
    __m128i x = _mm_xor_si128(_mm_xor_si128(fold(x0, consts(kFold384)), fold(x1, consts(kFold256))),
                              _mm_xor_si128(fold(x2, consts(kFold128)), x3));
    const __m128i k128 = consts(kFold128);
    while (len >= 16) {
        x = _mm_xor_si128(fold(x, k128), load128(p));
        p += 16;
        len -= 16;
    }
    unsigned char last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(last), x);
    return crc_slices(p, len, crc_slices(last, 16, 0));
}

bool have_clmul()
{
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return yes;
}
#endif

} // namespace

uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc)
{
    const unsigned char *p = static_cast<const unsigned char *>(buf);
#ifdef TMB_CRC_FOLD
    if (len >= 256 && have_clmul())
        return fold_crc(p, len, crc);
#endif
    return crc_slices(p, len, crc);
}
