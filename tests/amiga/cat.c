/*
 * cat for the emulated Amiga of the self-extractor tests: copies its input
 * stream to its output stream in 512-byte pieces. The boot ROM's Shell has
 * no Copy or Type command; "cat <RAM:file >DH0:file" brings an extracted
 * file back to the host folder for comparison. Returns 0, or 20 without
 * dos.library or an input stream.
 */
#include "exec_calls.h"

/* dos.library Input (-54) or Output (-60). */
static LONG call_stream(void *dos, int output)
{
    register void *a6 __asm__("a6") = dos;
    register LONG d0 __asm__("d0");
    if (output)
        __asm__ volatile("jsr -60(%%a6)" : "=r"(d0) : "r"(a6) : "d1", "a0", "a1", "cc", "memory");
    else
        __asm__ volatile("jsr -54(%%a6)" : "=r"(d0) : "r"(a6) : "d1", "a0", "a1", "cc", "memory");
    return d0;
}

/* dos.library Read (-42) or Write (-48): file d1, buffer d2, length d3. */
static LONG call_io(void *dos, int write, LONG fh, void *buf, LONG len)
{
    register void *a6 __asm__("a6") = dos;
    register LONG d1 __asm__("d1") = fh;
    register void *d2 __asm__("d2") = buf;
    register LONG d3 __asm__("d3") = len;
    register LONG d0 __asm__("d0");
    if (write)
        __asm__ volatile("jsr -48(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2), "+r"(d3) : "r"(a6) : "a0", "a1", "cc", "memory");
    else
        __asm__ volatile("jsr -42(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2), "+r"(d3) : "r"(a6) : "a0", "a1", "cc", "memory");
    return d0;
}

static char s_buf[512];

/* Placed first in the code hunk: the loader starts the program here. */
__attribute__((section(".text.start"))) LONG cat_main(void)
{
    void *exec;
    __asm__ volatile("move.l 4.w,%0" : "=a"(exec)); /* exec.library base */
    void *dos = call_open_library(exec, "dos.library");
    if (!dos)
        return 20;
    LONG in = call_stream(dos, 0), out = call_stream(dos, 1);
    LONG rc = in ? 0 : 20, n;
    while (in && (n = call_io(dos, 0, in, s_buf, sizeof s_buf)) > 0)
        call_io(dos, 1, out, s_buf, n);
    call_close_library(exec, dos);
    return rc;
}
