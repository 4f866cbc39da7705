// CRC-16 over the encoder's input. The table is the one of the archive CRC
// (CRC-16/ARC): entry i is i pushed through eight steps of "shift right,
// and XOR 0xA001 when a 1 bit fell out".
#include "crcio.h"

namespace enc {

uint16_t crctable[256];

void make_crctable()
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned r = i;
        for (int k = 0; k < 8; k++)
            r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        crctable[i] = (uint16_t)r;
    }
}

int fread_crc(unsigned *crc, unsigned char *p, int n, FILE *fp)
{
    if (n <= 0)
        return 0;
    int got = (int)fread(p, 1, (size_t)n, fp);
    unsigned c = *crc;
    for (int i = 0; i < got; i++)
        c = crctable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    *crc = c & 0xFFFF;
    return got;
}

} // namespace enc
