/*
 * The arithmetic helpers gcc calls on the plain 68000, and memcpy/memset.
 * The 68000 multiplies only 16x16 bits (mulu.w) and divides only 32 by 16
 * bits, and the cross compiler's own helper library is built for the 68020,
 * so the program brings its own.
 */
#include <stdint.h>
#include <stddef.h>

uint32_t __mulsi3(uint32_t a, uint32_t b);
uint32_t __udivsi3(uint32_t a, uint32_t b);
uint32_t __umodsi3(uint32_t a, uint32_t b);
int32_t __divsi3(int32_t a, int32_t b);
int32_t __modsi3(int32_t a, int32_t b);
void *memcpy(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);

/* 16 x 16 -> 32 bits with the 68000's own instruction; written in asm so
 * that gcc cannot turn it back into a call to __mulsi3. */
static uint32_t mul16(uint16_t x, uint16_t y)
{
    uint32_t r = x;
    __asm__("mulu.w %1,%0" : "+d"(r) : "dm"(y));
    return r;
}

/* (ah*2^16 + al)(bh*2^16 + bl) mod 2^32 = al*bl + (ah*bl + al*bh)*2^16 */
uint32_t __mulsi3(uint32_t a, uint32_t b)
{
    uint16_t al = (uint16_t)a, ah = (uint16_t)(a >> 16);
    uint16_t bl = (uint16_t)b, bh = (uint16_t)(b >> 16);
    return mul16(al, bl) + ((mul16(ah, bl) + mul16(al, bh)) << 16);
}

/* Shift-and-subtract division; returns the quotient, the remainder in *rem. */
static uint32_t udivmod(uint32_t a, uint32_t b, uint32_t *rem)
{
    uint32_t q = 0, r = 0;
    int i;
    for (i = 31; i >= 0; i--) {
        r = (r << 1) | ((a >> i) & 1);
        if (r >= b) {
            r -= b;
            q |= (uint32_t)1 << i;
        }
    }
    *rem = r;
    return q;
}

uint32_t __udivsi3(uint32_t a, uint32_t b)
{
    uint32_t r;
    return udivmod(a, b, &r);
}

uint32_t __umodsi3(uint32_t a, uint32_t b)
{
    uint32_t r;
    udivmod(a, b, &r);
    return r;
}

int32_t __divsi3(int32_t a, int32_t b)
{
    uint32_t r, q = udivmod(a < 0 ? -(uint32_t)a : (uint32_t)a, b < 0 ? -(uint32_t)b : (uint32_t)b, &r);
    return (a < 0) != (b < 0) ? -(int32_t)q : (int32_t)q;
}

int32_t __modsi3(int32_t a, int32_t b)
{
    uint32_t r;
    udivmod(a < 0 ? -(uint32_t)a : (uint32_t)a, b < 0 ? -(uint32_t)b : (uint32_t)b, &r);
    return a < 0 ? -(int32_t)r : (int32_t)r;
}

void *memcpy(void *dst, const void *src, size_t n)
{
    uint8_t *d = dst;
    const uint8_t *s = src;
    while (n--)
        *d++ = *s++;
    return dst;
}

void *memset(void *dst, int c, size_t n)
{
    uint8_t *d = dst;
    while (n--)
        *d++ = (uint8_t)c;
    return dst;
}
