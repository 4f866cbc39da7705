/*
 * hold for the emulated Amiga of the self-extractor tests: "hold NAME
 * COMMAND" takes an exclusive lock on NAME, as another program holding a
 * file would, runs COMMAND with the Shell's input and output
 * (SystemTagList) and releases the lock. Returns the command's return
 * code, or 20 when the lock or the command cannot be had.
 */
#include "exec_calls.h"

/* The Shell hands the argument line over in a0, its length in d0. */
__asm__(".section .text.start,\"ax\"\n"
        "    move.l %a0,s_args\n"
        "    move.l %d0,s_len\n"
        "    bra hold_main\n"
        "    .text\n");

char *s_args;
LONG s_len;

/* dos.library with arguments in d1 and d2: Lock (-84), UnLock (-90),
 * SystemTagList (-606). */
static LONG call_dos(void *dos, int lvo, LONG a, LONG b)
{
    register void *a6 __asm__("a6") = dos;
    register LONG d1 __asm__("d1") = a;
    register LONG d2 __asm__("d2") = b;
    register LONG d0 __asm__("d0");
    if (lvo == -84)
        __asm__ volatile("jsr -84(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2) : "r"(a6) : "a0", "a1", "cc", "memory");
    else if (lvo == -90)
        __asm__ volatile("jsr -90(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2) : "r"(a6) : "a0", "a1", "cc", "memory");
    else
        __asm__ volatile("jsr -606(%%a6)" : "=r"(d0), "+r"(d1), "+r"(d2) : "r"(a6) : "a0", "a1", "cc", "memory");
    return d0;
}

LONG hold_main(void)
{
    void *exec;
    __asm__ volatile("move.l 4.w,%0" : "=a"(exec)); /* exec.library base */
    void *dos = call_open_library(exec, "dos.library");
    char *p = s_args, *end = s_args + s_len, *cmd;
    LONG lock, rc = 20;
    if (!dos)
        return 20;
    /* NAME ends at the first space; the command runs to the line's end */
    while (p < end && *p != ' ')
        p++;
    cmd = p < end ? p + 1 : end;
    *p = 0;
    for (p = cmd; p < end && *p != '\n'; p++)
        ;
    *p = 0;
    lock = call_dos(dos, -84, (LONG)s_args, -1); /* EXCLUSIVE_LOCK */
    if (lock) {
        rc = call_dos(dos, -606, (LONG)cmd, 0);
        if (rc < 0)
            rc = 20;
        call_dos(dos, -90, lock, 0);
    }
    call_close_library(exec, dos);
    return rc;
}
