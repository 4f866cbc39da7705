/*
 * POSIX stand-ins for the AmigaOS calls, for testing the extractor on the
 * build machine. Handles are file descriptors plus one; the output and input
 * streams are special handles backed by memory.
 */
#define _GNU_SOURCE /* O_PATH */
#include "os.h"
#include "os_host.h"

#include <fcntl.h>
#include <stdio.h> /* rename */
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define OUT_HANDLE (-100)
#define IN_HANDLE (-101)

static char s_root[4096];
static char s_program[1024];
static char s_progdir[4096];
static long s_disk_left; /* bytes files may still take; -1: no limit */
static char *s_outbuf;
static size_t s_outlen, s_outcap;
static char *s_inbuf;
static size_t s_inlen, s_inpos;
static int s_has_input;
static int s_break_at, s_break_tests;
static long s_file_writes;
static char s_busy[1024];  /* a name held by "another program" */
static int s_lock_busy;    /* the last os_lock met it */
static int s_renames_fail;

void host_reset(const char *root, const char *program)
{
    strncpy(s_root, root, sizeof s_root - 1);
    strncpy(s_program, program, sizeof s_program - 1);
    s_outlen = 0;
    free(s_inbuf);
    s_inbuf = NULL;
    s_inlen = s_inpos = 0;
    s_has_input = 0;
    s_break_at = 0;
    s_break_tests = 0;
    s_file_writes = 0;
    strncpy(s_progdir, root, sizeof s_progdir - 1);
    s_disk_left = -1;
    s_busy[0] = 0;
    s_lock_busy = 0;
    s_renames_fail = 0;
}

void host_set_busy(const char *name)
{
    strncpy(s_busy, name, sizeof s_busy - 1);
}

void host_set_renames_fail(int on)
{
    s_renames_fail = on;
}

static int busy(const char *name)
{
    return s_busy[0] && strcmp(name, s_busy) == 0;
}

void host_set_progdir(const char *dir)
{
    strncpy(s_progdir, dir, sizeof s_progdir - 1);
}

void host_set_disk_space(long bytes)
{
    s_disk_left = bytes;
}

void host_set_input(const char *data, size_t len)
{
    free(s_inbuf);
    s_inbuf = malloc(len + 1);
    memcpy(s_inbuf, data, len);
    s_inlen = len;
    s_inpos = 0;
    s_has_input = 1;
}

void host_set_break_at(int n)
{
    s_break_at = n;
}

const char *host_output(size_t *len)
{
    *len = s_outlen;
    return s_outbuf ? s_outbuf : "";
}

long host_file_writes(void)
{
    return s_file_writes;
}

/* Names are relative to the root, as the Amiga's current directory;
 * "PROGDIR:" names the program's directory. */
static void host_path(char *buf, size_t size, const char *name)
{
    const char *dir = s_root;
    size_t r;
    if (strncmp(name, "PROGDIR:", 8) == 0) {
        dir = s_progdir;
        name += 8;
    }
    r = strlen(dir);
    if (r + 1 + strlen(name) + 1 > size) {
        buf[0] = 0;
        return;
    }
    memcpy(buf, dir, r);
    buf[r] = '/';
    strcpy(buf + r + 1, name);
}

os_fh os_output(void)
{
    return OUT_HANDLE;
}

os_fh os_input(void)
{
    return s_has_input ? IN_HANDLE : 0;
}

long os_write(os_fh fh, const void *buf, long len)
{
    if (fh == OUT_HANDLE) {
        if (s_outlen + (size_t)len + 1 > s_outcap) {
            s_outcap = (s_outlen + (size_t)len + 1) * 2;
            s_outbuf = realloc(s_outbuf, s_outcap);
        }
        memcpy(s_outbuf + s_outlen, buf, (size_t)len);
        s_outlen += (size_t)len;
        s_outbuf[s_outlen] = 0;
        return len;
    }
    if (fh <= 0)
        return -1;
    s_file_writes++;
    if (s_disk_left >= 0) {
        /* a full disk takes what fits, then nothing */
        if (s_disk_left == 0)
            return -1;
        if (len > s_disk_left)
            len = s_disk_left;
        s_disk_left -= len;
    }
    return (long)write((int)fh - 1, buf, (size_t)len);
}

void os_flush(os_fh fh)
{
    (void)fh;
}

os_fh os_open(const char *name, long mode)
{
    char path[8192];
    int fd;
    struct stat st;

    host_path(path, sizeof path, name);
    if (!path[0] || busy(name))
        return 0;
    if (mode == OS_MODE_NEWFILE)
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    else
        fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    /* AmigaOS does not open directories as files */
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return 0;
    }
    return fd + 1;
}

int os_close(os_fh fh)
{
    return fh > 0 && close((int)fh - 1) == 0;
}

long os_read(os_fh fh, void *buf, long len)
{
    if (fh == IN_HANDLE) {
        long n = 0;
        /* a console delivers one line at most per read */
        while (n < len && s_inpos < s_inlen) {
            char c = s_inbuf[s_inpos++];
            ((char *)buf)[n++] = c;
            if (c == '\n')
                break;
        }
        return n;
    }
    if (fh <= 0)
        return -1;
    return (long)read((int)fh - 1, buf, (size_t)len);
}

long os_seek(os_fh fh, long pos, long mode)
{
    off_t old;
    if (fh <= 0)
        return -1;
    old = lseek((int)fh - 1, 0, SEEK_CUR);
    if (lseek((int)fh - 1, pos, mode == OS_SEEK_BEGIN ? SEEK_SET : mode == OS_SEEK_END ? SEEK_END : SEEK_CUR) < 0)
        return -1;
    return (long)old;
}

os_fh os_lock(const char *name)
{
    char path[8192];
    int fd;
    host_path(path, sizeof path, name);
    s_lock_busy = busy(name);
    if (!path[0] || s_lock_busy)
        return 0;
    fd = open(path, O_PATH); /* as a Lock: no read right needed */
    return fd < 0 ? 0 : fd + 1;
}

int os_lock_busy(void)
{
    return s_lock_busy;
}

void os_unlock(os_fh lock)
{
    os_close(lock);
}

os_fh os_create_dir(const char *name)
{
    char path[8192];
    host_path(path, sizeof path, name);
    if (!path[0] || mkdir(path, 0755) != 0)
        return 0;
    return os_lock(name);
}

int os_delete(const char *name)
{
    char path[8192];
    host_path(path, sizeof path, name);
    return path[0] && !busy(name) && (unlink(path) == 0 || rmdir(path) == 0);
}

int os_rename(const char *from, const char *to)
{
    char a[8192], b[8192];
    struct stat st;
    host_path(a, sizeof a, from);
    host_path(b, sizeof b, to);
    if (!a[0] || !b[0] || lstat(b, &st) == 0 || busy(from) || busy(to) || s_renames_fail)
        return 0;
    return rename(a, b) == 0;
}

int os_program_name(char *buf, long size)
{
    size_t n = strlen(s_program);
    if (n == 0 || (long)n >= size)
        return 0;
    memcpy(buf, s_program, n + 1);
    return 1;
}

int os_take_break(void)
{
    return s_break_at > 0 && ++s_break_tests == s_break_at;
}

uint32_t os_udiv(uint32_t dividend, uint32_t divisor)
{
    return dividend / divisor;
}
