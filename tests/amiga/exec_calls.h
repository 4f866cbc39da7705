/*
 * exec.library calls shared by the small helper programs run on the
 * emulated Amiga (cat, stamp): they are freestanding, so each library call
 * is a jsr through the library base in a6 with its arguments in registers.
 */
#ifndef TMB_AMIGA_EXEC_CALLS_H
#define TMB_AMIGA_EXEC_CALLS_H

typedef long LONG;

static void *call_open_library(void *exec, const char *name)
{
    register void *a6 __asm__("a6") = exec;
    register const char *a1 __asm__("a1") = name;
    register void *d0 __asm__("d0");
    __asm__ volatile("jsr -408(%%a6)" : "=r"(d0), "+r"(a1) : "r"(a6) : "d1", "a0", "cc", "memory");
    return d0;
}

static void call_close_library(void *exec, void *lib)
{
    register void *a6 __asm__("a6") = exec;
    register void *a1 __asm__("a1") = lib;
    __asm__ volatile("jsr -414(%%a6)" : "+r"(a1) : "r"(a6) : "d0", "d1", "a0", "cc", "memory");
}

#endif
