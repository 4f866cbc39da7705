// CRC-16 over the encoder's input. The table is the one of the archive CRC
// (CRC-16/ARC): entry i is i pushed through eight steps of "shift right,
// and XOR 0xA001 when a 1 bit fell out".
#include "crcio.h"

//
// Reading is checked eight bytes at a time ("slicing by eight"): slice k
// holds the CRC of byte i followed by k zero bytes, so the eight table
// lookups of one step are independent of each other instead of forming one
// long chain. The result is the same as the byte-wise rule
// crc = crctable[(crc ^ b) & 0xFF] ^ (crc >> 8).
namespace enc {

uint16_t crctable[256];

namespace {

uint16_t slice[8][256];

} // namespace

void make_crctable()
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned r = i;
        for (int k = 0; k < 8; k++)
            r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        crctable[i] = (uint16_t)r;
    }
    for (unsigned i = 0; i < 256; i++) {
        uint16_t c = crctable[i];
        slice[0][i] = c;
        for (int k = 1; k < 8; k++) {
            c = (uint16_t)((c >> 8) ^ crctable[c & 0xFF]);
            slice[k][i] = c;
        }
    }
}

int fread_crc(unsigned *crc, unsigned char *p, int n, FILE *fp)
{
    if (n <= 0)
        return 0;
    int got = (int)fread(p, 1, (size_t)n, fp);
    unsigned c = *crc & 0xFFFF;
    int i = 0;
    for (; i + 8 <= got; i += 8) {
        const unsigned char *q = p + i;
        c = slice[7][(q[0] ^ c) & 0xFF] ^ slice[6][(q[1] ^ (c >> 8)) & 0xFF] ^
            slice[5][q[2]] ^ slice[4][q[3]] ^ slice[3][q[4]] ^ slice[2][q[5]] ^
            slice[1][q[6]] ^ slice[0][q[7]];
    }
    for (; i < got; i++)
        c = crctable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    *crc = c & 0xFFFF;
    return got;
}

} // namespace enc
