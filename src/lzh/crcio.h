// Input side of the encoder: reads that keep the CRC-16 of every byte read.
#pragma once
#include <cstdint>
#include <cstdio>

struct EncoderCtx;

namespace enc {

// One read of up to n bytes into p; *crc (the archive's CRC-16) is updated
// over the bytes read. Returns the count read, 0 at the end of input (a
// read error looks the same).
int fread_crc(unsigned *crc, unsigned char *p, int n, FILE *fp);

// The one way both encoders read their input: up to n bytes of the bound
// file, never past origsize bytes in all, with the CRC kept, the count
// added to bytes_read and reported to the progress sink (also when it is
// 0). Returns the count read.
unsigned read_input(EncoderCtx *ctx, unsigned char *p, unsigned n);

} // namespace enc
