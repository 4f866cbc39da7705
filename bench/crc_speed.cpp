// CRC-16 throughput of tmb_crc16 against the plain one-byte-per-step table
// loop, over a buffer of pseudo-random bytes. Prints MB/s of both.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tmb_header.h"

namespace {

uint16_t table[256];

uint16_t crc_bytewise(const unsigned char *p, size_t n, uint16_t c)
{
    while (n--)
        c = (uint16_t)((c >> 8) ^ table[(c ^ *p++) & 0xFF]);
    return c;
}

template <class F> double mb_per_s(F f, size_t bytes, int rounds)
{
    double best = 1e30;
    for (int r = 0; r < rounds; r++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best)
            best = s;
    }
    return bytes / 1e6 / best;
}

} // namespace

int main(int argc, char **argv)
{
    size_t mb = argc > 1 ? (size_t)atol(argv[1]) : 64;
    std::vector<unsigned char> buf(mb << 20);
    uint32_t x = 12345;
    for (unsigned char &b : buf) {
        x = x * 1103515245 + 12345;
        b = (unsigned char)(x >> 16);
    }
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
        table[i] = (uint16_t)c;
    }
    volatile uint16_t sink = 0;
    uint16_t fast = tmb_crc16(buf.data(), buf.size(), 0);
    uint16_t slow = crc_bytewise(buf.data(), buf.size(), 0);
    if (fast != slow) {
        fprintf(stderr, "CRC mismatch: %04X vs %04X\n", fast, slow);
        return 1;
    }
    double f = mb_per_s([&] { sink = tmb_crc16(buf.data(), buf.size(), 0); }, buf.size(), 3);
    double s = mb_per_s([&] { sink = crc_bytewise(buf.data(), buf.size(), 0); }, buf.size(), 3);
    (void)sink;
    printf("%.1f %.1f\n", f, s);
    return 0;
}
