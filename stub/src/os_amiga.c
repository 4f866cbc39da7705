/*
 * AmigaOS side of the extractor: start-up from the Shell or the Workbench and
 * the system calls, made through the library vectors.
 *
 * A library call loads the library base into a6 and the arguments into the
 * registers the function expects, then jumps to the vector at a negative
 * offset from the base. d0, d1, a0 and a1 are scratch; the result is in d0.
 */
#include "os.h"
#include "sfx.h"

/* exec.library's base, the longword at address 4 (read in asm: to C a
 * fixed low address looks like a null-pointer access) */
#define SYSBASE ({ void *_b; __asm__("move.l 4.w,%0" : "=a"(_b)); _b; })

/* Task and Process fields */
#define TC_SIGRECVD 26
#define PR_MSGPORT 92
#define PR_CLI 172
#define CLI_COMMANDNAME 16
/* WBStartup: sm_ArgList; WBArg: wa_Lock, wa_Name (the program's is the first) */
#define SM_ARGLIST 36
#define WA_LOCK 0
#define WA_NAME 4

#define SIGBREAKF_CTRL_C 0x1000
#define BADDR(bptr) ((uint8_t *)((uint32_t)(bptr) << 2))
#define FIELD(p, off, type) (*(type *)((uint8_t *)(p) + (off)))

static void *s_dos;
static void *s_utility;
static uint8_t *s_wbmsg;    /* the Workbench start message, 0 from a Shell */

/* exec: one argument in a1 */
#define EXEC_A1(lvo, v) ({                                                    \
    register long _d0 __asm__("d0");                                         \
    register long _a1 __asm__("a1") = (long)(v);                             \
    register void *_a6 __asm__("a6") = SYSBASE;                              \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0), "+r"(_a1) : "r"(_a6)                       \
                     : "d1", "a0", "cc", "memory");                          \
    _d0; })

/* exec: one argument in a0 */
#define EXEC_A0(lvo, v) ({                                                    \
    register long _d0 __asm__("d0");                                         \
    register long _a0 __asm__("a0") = (long)(v);                             \
    register void *_a6 __asm__("a6") = SYSBASE;                              \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0), "+r"(_a0) : "r"(_a6)                       \
                     : "d1", "a1", "cc", "memory");                          \
    _d0; })

/* arguments in d0 and d1 (exec SetSignal, utility UDivMod32) */
#define CALL_D0D1(base, lvo, v0, v1) ({                                       \
    register long _d0 __asm__("d0") = (long)(v0);                            \
    register long _d1 __asm__("d1") = (long)(v1);                            \
    register void *_a6 __asm__("a6") = (base);                               \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "+r"(_d0), "+r"(_d1) : "r"(_a6)                       \
                     : "a0", "a1", "cc", "memory");                          \
    _d0; })

/* dos: arguments in d1, d2, d3 */
#define DOS3(lvo, v1, v2, v3) ({                                              \
    register long _d0 __asm__("d0");                                         \
    register long _d1 __asm__("d1") = (long)(v1);                            \
    register long _d2 __asm__("d2") = (long)(v2);                            \
    register long _d3 __asm__("d3") = (long)(v3);                            \
    register void *_a6 __asm__("a6") = s_dos;                                \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0), "+r"(_d1) : "r"(_d2), "r"(_d3), "r"(_a6)   \
                     : "a0", "a1", "cc", "memory");                          \
    _d0; })

#define DOS2(lvo, v1, v2) ({                                                  \
    register long _d0 __asm__("d0");                                         \
    register long _d1 __asm__("d1") = (long)(v1);                            \
    register long _d2 __asm__("d2") = (long)(v2);                            \
    register void *_a6 __asm__("a6") = s_dos;                                \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0), "+r"(_d1) : "r"(_d2), "r"(_a6)             \
                     : "a0", "a1", "cc", "memory");                          \
    _d0; })

#define DOS1(lvo, v1) ({                                                      \
    register long _d0 __asm__("d0");                                         \
    register long _d1 __asm__("d1") = (long)(v1);                            \
    register void *_a6 __asm__("a6") = s_dos;                                \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0), "+r"(_d1) : "r"(_a6)                       \
                     : "a0", "a1", "cc", "memory");                          \
    _d0; })

#define DOS0(lvo) ({                                                          \
    register long _d0 __asm__("d0");                                         \
    register void *_a6 __asm__("a6") = s_dos;                                \
    __asm__ volatile("jsr " #lvo "(%%a6)"                                    \
                     : "=r"(_d0) : "r"(_a6)                                  \
                     : "d1", "a0", "a1", "cc", "memory");                    \
    _d0; })

static uint8_t *find_self(void)
{
    return (uint8_t *)EXEC_A1(-294, 0); /* FindTask(NULL) */
}

os_fh os_output(void)
{
    return DOS0(-60);
}

os_fh os_input(void)
{
    return DOS0(-54);
}

long os_write(os_fh fh, const void *buf, long len)
{
    return DOS3(-48, fh, buf, len);
}

void os_flush(os_fh fh)
{
    DOS1(-360, fh);
}

os_fh os_open(const char *name, long mode)
{
    return DOS2(-30, name, mode);
}

int os_close(os_fh fh)
{
    return DOS1(-36, fh) != 0; /* Close reports failure from version 36 on */
}

long os_read(os_fh fh, void *buf, long len)
{
    return DOS3(-42, fh, buf, len);
}

long os_seek(os_fh fh, long pos, long mode)
{
    return DOS3(-66, fh, pos, mode);
}

os_fh os_lock(const char *name)
{
    return DOS2(-84, name, -2); /* SHARED_LOCK */
}

int os_lock_busy(void)
{
    return DOS0(-132) == 202; /* IoErr: ERROR_OBJECT_IN_USE */
}

void os_unlock(os_fh lock)
{
    DOS1(-90, lock);
}

os_fh os_create_dir(const char *name)
{
    return DOS1(-120, name);
}

int os_delete(const char *name)
{
    return DOS1(-72, name) != 0; /* DeleteFile */
}

int os_rename(const char *from, const char *to)
{
    return DOS2(-78, from, to) != 0; /* Rename */
}

static int copy_name(char *buf, long size, const uint8_t *src, unsigned n)
{
    unsigned i;
    if (n > (unsigned)size - 1)
        n = (unsigned)size - 1;
    for (i = 0; i < n; i++)
        buf[i] = (char)src[i];
    buf[n] = 0;
    return 1;
}

/*
 * From the Workbench: the name in the start message's first argument (the
 * program's icon, in the directory of its lock). From a Shell:
 * GetProgramName first; without it (a name too long for the buffer, say)
 * the command name of the Shell structure.
 */
int os_program_name(char *buf, long size)
{
    uint8_t *cli, *bstr;

    if (s_wbmsg) {
        uint8_t *args = FIELD(s_wbmsg, SM_ARGLIST, uint8_t *);
        const uint8_t *name = args ? FIELD(args, WA_NAME, const uint8_t *) : 0;
        unsigned n = 0;
        if (!name)
            return 0;
        while (name[n] && n < 255)
            n++;
        return copy_name(buf, size, name, n);
    }
    if (DOS2(-576, buf, size))
        return 1;
    cli = BADDR(FIELD(find_self(), PR_CLI, long));
    if (!cli)
        return 0;
    bstr = BADDR(FIELD(cli, CLI_COMMANDNAME, long));
    if (!bstr)
        return 0;
    return copy_name(buf, size, bstr + 1, bstr[0]);
}

int os_take_break(void)
{
    if (!(FIELD(find_self(), TC_SIGRECVD, uint32_t) & SIGBREAKF_CTRL_C))
        return 0;
    CALL_D0D1(SYSBASE, -306, 0, SIGBREAKF_CTRL_C); /* SetSignal: clear it */
    return 1;
}

uint32_t os_udiv(uint32_t dividend, uint32_t divisor)
{
    return (uint32_t)CALL_D0D1(s_utility, -156, dividend, divisor); /* UDivMod32 */
}

static void lib_failed(const char *name)
{
    os_fh out = os_output();
    static const char tail[] = " failed to load\n";
    uint32_t n = 0;
    if (!out)
        return;
    while (name[n])
        n++;
    os_write(out, name, (long)n);
    os_write(out, tail, sizeof tail - 1);
}

int amiga_start(void);

/*
 * Start-up. From the Workbench (no CLI structure) the start message must be
 * taken before anything else and given back at the very end, under Forbid
 * so that the program is not unloaded while still running; the program then
 * talks through a console window of its own.
 */
int amiga_start(void)
{
    uint8_t *self = find_self();
    uint8_t *wbmsg = 0;
    os_fh con = 0, old_in = 0, old_out = 0, dir = 0, old_dir = 0;
    int rc = 20;

    if (!FIELD(self, PR_CLI, long)) {
        EXEC_A0(-384, self + PR_MSGPORT); /* WaitPort */
        wbmsg = (uint8_t *)EXEC_A0(-372, self + PR_MSGPORT); /* GetMsg */
        s_wbmsg = wbmsg;
    }
    s_dos = (void *)EXEC_A1(-408, sfx_data.lib_name[0]); /* OldOpenLibrary */
    s_utility = (void *)EXEC_A1(-408, sfx_data.lib_name[1]);
    if (!s_dos || !s_utility) {
        if (s_dos)
            lib_failed(sfx_data.lib_name[1]);
        goto out;
    }
    if (wbmsg) {
        uint8_t *args = FIELD(wbmsg, SM_ARGLIST, uint8_t *);
        con = os_open("CON://///AUTO/CLOSE/WAIT", OS_MODE_OLDFILE);
        if (!con)
            goto out;
        old_in = DOS1(-294, con);  /* SelectInput */
        old_out = DOS1(-300, con); /* SelectOutput */
        if (args && FIELD(args, WA_LOCK, long)) {
            dir = DOS1(-96, FIELD(args, WA_LOCK, long)); /* DupLock */
            if (dir)
                old_dir = DOS1(-126, dir);               /* CurrentDir */
        }
    }

    rc = sfx_main();

    if (wbmsg) {
        DOS1(-294, old_in);
        DOS1(-300, old_out);
        os_close(con);
        if (dir) {
            DOS1(-126, old_dir);
            os_unlock(dir);
        }
    }
out:
    if (s_utility)
        EXEC_A1(-414, s_utility); /* CloseLibrary */
    if (s_dos)
        EXEC_A1(-414, s_dos);
    if (wbmsg) {
        EXEC_A1(-132, 0);     /* Forbid (takes no argument) */
        EXEC_A1(-378, wbmsg); /* ReplyMsg */
    }
    return rc;
}
