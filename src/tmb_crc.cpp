// The byte-wise rule is crc = (crc >> 8) ^ T[(crc ^ b) & 0xFF]. That is one
// long chain of dependent lookups. Slicing by sixteen breaks it: T_k[i] is
// the CRC of byte i followed by k zero bytes, so the contributions of
// sixteen input bytes are looked up independently and XOR-ed together. The
// running CRC only overlaps the first two bytes of each step.
//
// The tables are built by the compiler: nothing is initialised at run time,
// so any number of threads may use them.
#include "tmb_crc.h"

#include <array>
#include <bit>
#include <cstring>

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

} // namespace

uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc)
{
    const unsigned char *p = static_cast<const unsigned char *>(buf);
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
