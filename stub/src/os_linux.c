/*
 * Linux side of the extractor's test build: the same logic as on AmigaOS,
 * run as a static m68k Linux program under qemu-m68k -cpu m68000.
 *
 *   tmb_stub_linux.elf RUNFILE OFFSET
 *
 * RUNFILE plays the program's own file and OFFSET (decimal) the value the
 * builder patches into the data block. System calls go through trap #0 with
 * the number in d0 and the arguments in d1 to d3. Handles are descriptors
 * plus one, so that 0 keeps meaning "none". "PROGDIR:" names the directory
 * of RUNFILE.
 */
#include "os.h"
#include "sfx.h"

#define SYS_EXIT 1
#define SYS_UNLINK 10
#define SYS_RENAME 38
#define SYS_RMDIR 40
#define SYS_READ 3
#define SYS_WRITE 4
#define SYS_OPEN 5
#define SYS_CLOSE 6
#define SYS_LSEEK 19
#define SYS_MKDIR 39

#define O_RDONLY 0
#define O_RDWR 2
#define O_CREAT 0100
#define O_TRUNC 01000
#define O_PATH 010000000 /* a handle on the name alone: no read right needed */

static const char *s_program;
static char s_path[600]; /* a PROGDIR: name made a path */

static long sys3(long n, long a, long b, long c)
{
    register long d0 __asm__("d0") = n;
    register long d1 __asm__("d1") = a;
    register long d2 __asm__("d2") = b;
    register long d3 __asm__("d3") = c;
    __asm__ volatile("trap #0" : "+r"(d0) : "r"(d1), "r"(d2), "r"(d3) : "cc", "memory");
    return d0;
}

static os_fh as_handle(long fd)
{
    return fd < 0 ? 0 : fd + 1;
}

os_fh os_output(void)
{
    return 2;
}

os_fh os_input(void)
{
    return 1;
}

long os_write(os_fh fh, const void *buf, long len)
{
    return sys3(SYS_WRITE, fh - 1, (long)buf, len);
}

void os_flush(os_fh fh)
{
    (void)fh;
}

/* "PROGDIR:x" becomes the directory part of RUNFILE followed by x. */
static const char *path_of(const char *name)
{
    static const char prog[] = "PROGDIR:";
    long i, dir = 0, n = 0;
    for (i = 0; i < 8; i++)
        if (name[i] != prog[i])
            return name;
    for (i = 0; s_program[i]; i++)
        if (s_program[i] == '/')
            dir = i + 1;
    for (i = 0; i < dir && n < (long)sizeof s_path - 1; i++)
        s_path[n++] = s_program[i];
    for (i = 8; name[i] && n < (long)sizeof s_path - 1; i++)
        s_path[n++] = name[i];
    s_path[n] = 0;
    return s_path;
}

os_fh os_open(const char *name, long mode)
{
    name = path_of(name);
    if (mode == OS_MODE_NEWFILE)
        return as_handle(sys3(SYS_OPEN, (long)name, O_RDWR | O_CREAT | O_TRUNC, 0644));
    return as_handle(sys3(SYS_OPEN, (long)name, O_RDONLY, 0));
}

int os_close(os_fh fh)
{
    return sys3(SYS_CLOSE, fh - 1, 0, 0) == 0;
}

long os_read(os_fh fh, void *buf, long len)
{
    long n = sys3(SYS_READ, fh - 1, (long)buf, len);
    return n < 0 ? -1 : n;
}

long os_seek(os_fh fh, long pos, long mode)
{
    long old = sys3(SYS_LSEEK, fh - 1, 0, 1 /* SEEK_CUR */);
    if (old < 0 || sys3(SYS_LSEEK, fh - 1, pos, mode == OS_SEEK_BEGIN ? 0 : mode == OS_SEEK_END ? 2 : 1) < 0)
        return -1;
    return old;
}

os_fh os_lock(const char *name)
{
    return as_handle(sys3(SYS_OPEN, (long)name, O_PATH, 0));
}

int os_lock_busy(void)
{
    return 0; /* no exclusive locks here */
}

void os_unlock(os_fh lock)
{
    os_close(lock);
}

os_fh os_create_dir(const char *name)
{
    if (sys3(SYS_MKDIR, (long)name, 0755, 0) < 0)
        return 0;
    return os_lock(name);
}

int os_delete(const char *name)
{
    return sys3(SYS_UNLINK, (long)name, 0, 0) == 0 || sys3(SYS_RMDIR, (long)name, 0, 0) == 0;
}

int os_rename(const char *from, const char *to)
{
    os_fh there = os_lock(to);
    if (there) {
        os_unlock(there);
        return 0;
    }
    return sys3(SYS_RENAME, (long)from, (long)to, 0) == 0;
}

int os_program_name(char *buf, long size)
{
    long n = 0;
    if (!s_program)
        return 0;
    while (s_program[n]) {
        if (n + 1 >= size)
            return 0;
        buf[n] = s_program[n];
        n++;
    }
    buf[n] = 0;
    return 1;
}

int os_take_break(void)
{
    return 0;
}

uint32_t os_udiv(uint32_t dividend, uint32_t divisor)
{
    return dividend / divisor;
}

int linux_main(long *sp);

int linux_main(long *sp)
{
    char **argv = (char **)(sp + 1);
    uint32_t offset = 0;
    const char *p;

    if (sp[0] != 3) {
        static const char usage[] = "usage: tmb_stub_linux.elf RUNFILE OFFSET\n";
        sys3(SYS_WRITE, 2, (long)usage, sizeof usage - 1);
        return 20;
    }
    s_program = argv[1];
    for (p = argv[2]; *p >= '0' && *p <= '9'; p++)
        offset = offset * 10 + (uint32_t)(*p - '0');
    sfx_data.arc_offset[0] = (uint8_t)(offset >> 24);
    sfx_data.arc_offset[1] = (uint8_t)(offset >> 16);
    sfx_data.arc_offset[2] = (uint8_t)(offset >> 8);
    sfx_data.arc_offset[3] = (uint8_t)offset;
    return sfx_main();
}
