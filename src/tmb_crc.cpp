// CRC-16 of LZH archives (CRC-16/ARC): reflected polynomial 0xA001,
// least significant bit first, start value chosen by the caller, no final
// inversion. Check value over "123456789" from 0 is 0xBB3D.
//
// The byte-wise rule is crc = (crc >> 8) ^ T[(crc ^ b) & 0xFF]. To go
// faster we process eight bytes per step ("slicing by eight"): T_k[i] is
// the CRC of byte i followed by k zero bytes, so the contributions of
// eight input bytes can be looked up independently and XOR-ed together.
#include "tmb_header.h"

#include <cstring>

namespace {

uint16_t crc16_table[8][256];
int crc16_ready = 0;

void build_tables()
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        crc16_table[0][i] = (uint16_t)c;
    }
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = crc16_table[0][i];
        for (int k = 1; k < 8; k++) {
            c = (uint16_t)((c >> 8) ^ crc16_table[0][c & 0xFF]);
            crc16_table[k][i] = c;
        }
    }
    crc16_ready = 1;
}

} // namespace

uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc)
{
    if (!crc16_ready)
        build_tables();
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    const uint16_t (*t)[256] = crc16_table;
    unsigned c = crc;
    while (len >= 8) {
        // The running CRC only overlaps the first two bytes of the step.
        unsigned b0 = (p[0] ^ c) & 0xFF;
        unsigned b1 = (p[1] ^ (c >> 8)) & 0xFF;
        c = t[7][b0] ^ t[6][b1] ^ t[5][p[2]] ^ t[4][p[3]] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        len -= 8;
    }
    while (len--)
        c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    return (uint16_t)c;
}
