// The bit writer: fills one byte from its top bit down and hands every
// completed byte to the output buffer, refusing bytes beyond the input size.
#include "bitio.h"

#include "tmb_enc_globals.h"

namespace enc {

namespace {

unsigned subbitbuf = 0;  // the partly filled byte
unsigned bitcount = 8;   // free positions left in it (1 to 8)

// A completed byte. Packed data may be exactly as long as the input but
// never longer: the first byte beyond that is dropped and the encoder
// told to give up.
inline void emit_byte(unsigned b)
{
    if (compsize < origsize) {
        encio_put_byte((unsigned char)b, outfile);
        compsize++;
    } else {
        unpackable = 1;
    }
}

} // namespace

void init_putbits()
{
    bitcount = 8;
    subbitbuf = 0;
}

void putcode(unsigned n, unsigned code)
{
    code &= 0xFFFF;
    while (n >= bitcount) {
        n -= bitcount;
        subbitbuf += code >> (16 - bitcount);
        code = (code << bitcount) & 0xFFFF;
        emit_byte(subbitbuf);
        subbitbuf = 0;
        bitcount = 8;
    }
    subbitbuf += code >> (16 - bitcount);
    bitcount -= n;
}

void putbits(unsigned n, unsigned x)
{
    putcode(n, (x << (16 - n)) & 0xFFFF);
}

unsigned putbits_bitcount() { return bitcount; }
unsigned putbits_subbitbuf() { return subbitbuf; }

} // namespace enc
