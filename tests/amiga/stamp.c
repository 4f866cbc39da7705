/*
 * stamp for the emulated Amiga of the self-extractor tests: prints the
 * system clock as "DAYS MINUTES TICKS\n" (dos.library DateStamp; a tick is
 * 1/50 s), so the boot script can time a program on the Amiga's own clock,
 * which runs in emulated time whatever the emulator's speed. Returns 0, or
 * 20 without dos.library.
 */
#include "exec_calls.h"

/* dos.library with one argument in d1: DateStamp (-192), Output (-60, none). */
static LONG call_dos(void *dos, int lvo, LONG arg)
{
    register void *a6 __asm__("a6") = dos;
    register LONG d1 __asm__("d1") = arg;
    register LONG d0 __asm__("d0");
    if (lvo == -192)
        __asm__ volatile("jsr -192(%%a6)" : "=r"(d0), "+r"(d1) : "r"(a6) : "a0", "a1", "cc", "memory");
    else
        __asm__ volatile("jsr -60(%%a6)" : "=r"(d0), "+r"(d1) : "r"(a6) : "a0", "a1", "cc", "memory");
    return d0;
}

static void call_write(void *dos, LONG fh, const char *buf, LONG len)
{
    register void *a6 __asm__("a6") = dos;
    register LONG d1 __asm__("d1") = fh;
    register const char *d2 __asm__("d2") = buf;
    register LONG d3 __asm__("d3") = len;
    register LONG d0 __asm__("d0");
    __asm__ volatile("jsr -48(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2), "+r"(d3) : "r"(a6) : "a0", "a1", "cc", "memory");
}

/* Decimal digits of v before `end`; returns where they begin. Values stay
 * below 2^16 here apart from the day count, so division by 10 is done by
 * repeated subtraction rather than a library helper. */
static char *put_dec(char *end, LONG v)
{
    do {
        LONG q = 0;
        while (v >= 10) {
            v -= 10;
            q++;
        }
        *--end = (char)('0' + v);
        v = q;
    } while (v);
    return end;
}

static LONG s_ds[3];
static char s_line[40];

/* Placed first in the code hunk: the loader starts the program here. */
__attribute__((section(".text.start"))) LONG stamp_main(void)
{
    void *exec;
    __asm__ volatile("move.l 4.w,%0" : "=a"(exec)); /* exec.library base */
    void *dos = call_open_library(exec, "dos.library");
    if (!dos)
        return 20;
    call_dos(dos, -192, (LONG)s_ds);
    char *end = s_line + sizeof s_line, *p = end;
    *--p = '\n';
    for (int i = 2; i >= 0; i--) {
        p = put_dec(p, s_ds[i]);
        if (i)
            *--p = ' ';
    }
    call_write(dos, call_dos(dos, -60, 0), p, end - p);
    call_close_library(exec, dos);
    return 0;
}
