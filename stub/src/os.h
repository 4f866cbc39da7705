/*
 * The few system operations the extractor needs, shaped like the AmigaOS
 * dos.library calls they stand for. Three implementations exist:
 *   os_amiga.c  - the real thing, through the library vectors (68000 image)
 *   os_linux.c  - Linux system calls, for running the logic under qemu-m68k
 *   os_host.c   - POSIX stand-ins with a captured output, for unit tests
 * The extractor logic (sfx.c) sees only this interface.
 */
#ifndef TMB_STUB_OS_H
#define TMB_STUB_OS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A file handle or lock; 0 means "none" or "failed", as on AmigaOS. */
typedef long os_fh;

#define OS_MODE_OLDFILE 1005 /* open an existing file */
#define OS_MODE_NEWFILE 1006 /* create a file, replacing an old one */
#define OS_SEEK_BEGIN (-1)
#define OS_SEEK_CURRENT 0
#define OS_SEEK_END 1

os_fh os_output(void);
os_fh os_input(void);                     /* 0 when there is no input stream */
long os_write(os_fh fh, const void *buf, long len);
void os_flush(os_fh fh);
/* Names may begin with "PROGDIR:", the directory the program was loaded
 * from (AmigaOS 2.0 and later); the stand-ins map it to a directory of theirs. */
os_fh os_open(const char *name, long mode);
int os_close(os_fh fh);                   /* non-zero on success */
long os_read(os_fh fh, void *buf, long len); /* count, 0 at the end, -1 on error */
/* Returns the position before the move, or -1 when the move failed. */
long os_seek(os_fh fh, long pos, long mode);
os_fh os_lock(const char *name);          /* shared lock, 0 when missing */
/* Non-zero when the last os_lock failed because another program holds the
 * object with an exclusive lock: it exists. */
int os_lock_busy(void);
void os_unlock(os_fh lock);
os_fh os_create_dir(const char *name);    /* a lock on the new directory, or 0 */
/* Both non-zero on success. Like AmigaOS, rename never replaces an
 * existing name, and delete removes a file or an empty directory. */
int os_delete(const char *name);
int os_rename(const char *from, const char *to);

/* The name the program was started under (from the Shell) or the name of
 * its icon (from the Workbench); non-zero on success. */
int os_program_name(char *buf, long size);
/* Non-zero once when Ctrl+C has been received since the last call. */
int os_take_break(void);
uint32_t os_udiv(uint32_t dividend, uint32_t divisor);

#ifdef __cplusplus
}
#endif

#endif
