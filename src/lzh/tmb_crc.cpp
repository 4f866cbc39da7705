// The byte-wise rule is crc = (crc >> 8) ^ T[(crc ^ b) & 0xFF]. That is one
// long chain of dependent lookups. Slicing by sixteen breaks it: T_k[i] is
// the CRC of byte i followed by k zero bytes, so the contributions of
// sixteen input bytes are looked up independently and XOR-ed together. The
// running CRC only overlaps the first two bytes of each step.
//
// The tables are built by the compiler: nothing is initialised at run time,
// so any number of threads may use them.
//
// Where the processor multiplies without carries (x86-64 with PCLMULQDQ,
// and four at a time with VPCLMULQDQ), long buffers go faster still by
// folding; see fold_crc below.
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
constexpr FoldBy kFold1024 = fold_by(1024);
constexpr FoldBy kFold1536 = fold_by(1536);
constexpr FoldBy kFold2048 = fold_by(2048);

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

// Four blocks 16 bytes apart, followed by the `len` bytes at p: the blocks
// are folded into one, the bytes 16 at a time onto it, and the tables
// finish that block and the tail.
__attribute__((target("pclmul,sse2"))) uint16_t fold_finish(__m128i x0, __m128i x1, __m128i x2, __m128i x3,
                                                           const unsigned char *p, size_t len)
{
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
    return fold_finish(x0, x1, x2, x3, p, len);
}

// The same with 512-bit registers where the processor has them: one
// multiply instruction folds four blocks. Four registers side by side fold
// 256 bytes per step; then they are folded into one register, its four
// blocks into one, and fold_finish above finishes.
#define TMB_AVX512_CLMUL __attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse2")))

TMB_AVX512_CLMUL inline __m512i fold4(__m512i x, __m512i k)
{
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11));
}

TMB_AVX512_CLMUL inline __m512i consts4(const FoldBy &f)
{
    return _mm512_set_epi64((long long)f.hi, (long long)f.lo, (long long)f.hi, (long long)f.lo, (long long)f.hi,
                            (long long)f.lo, (long long)f.hi, (long long)f.lo);
}

TMB_AVX512_CLMUL inline __m512i load512(const unsigned char *p) { return _mm512_loadu_si512(p); }

// len >= 256.
TMB_AVX512_CLMUL uint16_t fold_crc_512(const unsigned char *p, size_t len, uint16_t crc)
{
    __m512i x0 = _mm512_xor_si512(load512(p), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, crc));
    __m512i x1 = load512(p + 64), x2 = load512(p + 128), x3 = load512(p + 192);
    p += 256;
    len -= 256;
    const __m512i k2048 = consts4(kFold2048);
    while (len >= 256) {
        x0 = _mm512_xor_si512(fold4(x0, k2048), load512(p));
        x1 = _mm512_xor_si512(fold4(x1, k2048), load512(p + 64));
        x2 = _mm512_xor_si512(fold4(x2, k2048), load512(p + 128));
        x3 = _mm512_xor_si512(fold4(x3, k2048), load512(p + 192));
        p += 256;
        len -= 256;
    }
    __m512i x = _mm512_xor_si512(_mm512_xor_si512(fold4(x0, consts4(kFold1536)), fold4(x1, consts4(kFold1024))),
                                 _mm512_xor_si512(fold4(x2, consts4(kFold512)), x3));
    const __m512i k512 = consts4(kFold512);
    while (len >= 64) {
        x = _mm512_xor_si512(fold4(x, k512), load512(p));
        p += 64;
        len -= 64;
    }
    // The register's four blocks lie 16 bytes apart.
    unsigned char four[64];
    _mm512_storeu_si512(four, x);
    return fold_finish(load128(four), load128(four + 16), load128(four + 32), load128(four + 48), p, len);
}

bool have_clmul()
{
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return yes;
}

bool have_clmul_512()
{
    static const bool yes = have_clmul() && __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
    return yes;
}
#endif

} // namespace

uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc)
{
    const unsigned char *p = static_cast<const unsigned char *>(buf);
#ifdef TMB_CRC_FOLD
    if (len >= 256 && have_clmul())
        return have_clmul_512() ? fold_crc_512(p, len, crc) : fold_crc(p, len, crc);
#endif
    return crc_slices(p, len, crc);
}

bool tmb_crc16_has(CrcKernel k)
{
#ifdef TMB_CRC_FOLD
    if (k == CrcKernel::Fold16)
        return have_clmul();
    if (k == CrcKernel::Fold64)
        return have_clmul_512();
#endif
    return k == CrcKernel::Tables;
}

uint16_t tmb_crc16_by(CrcKernel k, const void *buf, size_t len, uint16_t crc)
{
    const unsigned char *p = static_cast<const unsigned char *>(buf);
#ifdef TMB_CRC_FOLD
    if (k == CrcKernel::Fold16 && len >= 64 && have_clmul())
        return fold_crc(p, len, crc);
    if (k == CrcKernel::Fold64 && len >= 256 && have_clmul_512())
        return fold_crc_512(p, len, crc);
#endif
    (void)k;
    return crc_slices(p, len, crc);
}
