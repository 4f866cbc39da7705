// Input side of the encoder: reads that keep the CRC-16 of every byte read.
#pragma once
#include <cstdint>
#include <cstdio>

namespace enc {

// CRC-16/ARC table (reflected polynomial 0xA001), filled by make_crctable.
extern uint16_t crctable[256];
void make_crctable();

// One read of up to n bytes into p; *crc is updated over the bytes read.
// Returns the count read, 0 at the end of input (a read error looks the
// same).
int fread_crc(unsigned *crc, unsigned char *p, int n, FILE *fp);

} // namespace enc
