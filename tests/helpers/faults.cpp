// LD_PRELOAD library for the fault-injection tests. Everything is driven by
// environment variables; with none set it changes nothing.
//
//   TMB_FAIL_WRITE_MATCH, TMB_FAIL_WRITE_AFTER=N
//       Writes through stdio to files whose path contains the match fail
//       once N bytes have gone to such files (counted together), the way a
//       full disk fails them: the budget reaches the file, the rest is
//       refused, the stream's error flag is set, errno is ENOSPC, and every
//       later write to that stream fails too.
//   TMB_FAIL_READ_MATCH, TMB_FAIL_READ_AFTER=N
//       Reads through stdio from matching files fail after N bytes (a bad
//       sector in the middle of a file): the stream's error flag is set and
//       no byte after the N-th is ever delivered.
//       Reads with pread (workers reading an archive at an offset) fail
//       at offset N of the file instead: the bytes before it come, the
//       read that reaches it fails with EIO.
//   TMB_REWIND_MATCH, TMB_REWIND_NTH=K, TMB_REWIND_ACTION
//       At the K-th rewind() of a matching stream, before it takes effect,
//       the file is changed behind the program's back, as another process
//       would: "remove" unlinks it, "truncate:N" cuts it to N bytes,
//       "zero:OFF" writes a zero byte at offset OFF, "replace" renames a
//       copy of it over it.
//   TMB_RESIZE_READ_MATCH, TMB_RESIZE_TO=N
//       At the first read from a matching file, before it takes effect,
//       the file is cut or extended (with zero bytes) to N bytes, as a
//       process still writing it would: a file that changes size after it
//       was measured and opened.
//   TMB_SIGNAL_READ_MATCH, TMB_SIGNAL=SIG
//       The first read from a matching file raises signal SIG in the
//       program, as if the user had interrupted it at that moment.
//   TMB_SIGNAL_WRITE_MATCH, TMB_SIGNAL=SIG
//       The same at the first write to a matching file.
//   TMB_SWAP_DIR=PATH, TMB_SWAP_TO=TARGET, TMB_SWAP_AT=K
//       At the K-th temporary file created beside its target (openat of a
//       name starting with ".tmb"), before it is created, the directory
//       PATH is moved to PATH.old and a symbolic link to TARGET put in its
//       place: an attacker swapping a directory of the target under a
//       running extraction.
//   TMB_SIGNAL_AT_TEMP=K, TMB_SIGNAL=SIG
//       Right after the K-th temporary file is created (by mkstemp or
//       mkstemps, or a ".tmb" name by openat), before the program has it
//       back, signal SIG goes to the process: the moment between making a
//       temporary and registering it for removal.
//   TMB_HOLD_FIRST_TEMP=1
//       The thread that makes the first temporary waits, with it made,
//       until the signal of TMB_SIGNAL_AT_TEMP has gone (at most 20 s): its
//       job cannot be finished, so the files other workers unpack
//       meanwhile stay temporaries, as many as the program lets be in
//       flight.
//   TMB_SIGNAL_IN_LOCK=MATCH, TMB_SIGNAL=SIG
//       For a program unpacking on worker threads. The worker that makes a
//       ".tmb" temporary whose path contains MATCH stays, between making
//       it and registering it, until the signal has gone; a worker that
//       makes any other temporary first waits until that one exists, so
//       its job cannot be done before the held one is under way. Once the
//       main thread has renamed a file, the first time it locks a mutex of
//       the program's static data (the temporaries' registry) it sends SIG
//       to the process with that mutex held, while the held worker is
//       about to register its file and must wait for the lock. Every wait
//       ends after 10 s.
//   TMB_FAIL_TEMP_MATCH, TMB_FAIL_TEMP_ERRNO=E
//       mkstemp/mkstemps of a template that contains the match fail with
//       errno E (24: the descriptor limit is reached).
//   TMB_TRACE_TEMPS=FILE
//       Every path made by mkstemp/mkstemps, and every ".tmb" temporary
//       made by openat, is appended to FILE, one a line, so a test can
//       check that none of them outlives the program.
//   TMB_TRACE_RANDOM=FILE
//       Every draw from the system's random source (getrandom,
//       getentropy) appends a line to FILE.
//   TMB_TRACE_IO=FILE
//       As the program ends, its I/O counters (/proc/self/io: bytes read
//       and written, and the read and write system calls it took) are
//       copied to FILE, so a test can tell in how many calls data moved.
//
// A stream is matched by the path its descriptor names under /proc; a
// match ending in '$' must end the path.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F> F real(const char *name)
{
    return (F)dlsym(RTLD_NEXT, name);
}

using fwrite_fn = size_t (*)(const void *, size_t, size_t, FILE *);
using fread_fn = size_t (*)(void *, size_t, size_t, FILE *);
using stream_fn = int (*)(FILE *);
using rewind_fn = void (*)(FILE *);
using mkstemps_fn = int (*)(char *, int);
using mkstemp_fn = int (*)(char *);

fwrite_fn r_fwrite() { static fwrite_fn f = real<fwrite_fn>("fwrite"); return f; }
fread_fn r_fread() { static fread_fn f = real<fread_fn>("fread"); return f; }
stream_fn r_fflush() { static stream_fn f = real<stream_fn>("fflush"); return f; }
stream_fn r_fgetc() { static stream_fn f = real<stream_fn>("fgetc"); return f; }

long env_long(const char *name, long dflt)
{
    const char *v = getenv(name);
    return v && *v ? atol(v) : dflt;
}

bool fd_path(int fd, char *path, size_t size)
{
    if (fd < 0)
        return false;
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, size - 1);
    if (n <= 0)
        return false;
    path[n] = '\0';
    return true;
}

bool path_of(FILE *fp, char *path, size_t size)
{
    if (fp == stdin || fp == stdout || fp == stderr)
        return false;
    return fd_path(fileno(fp), path, size);
}

// The match is a substring of the path; a final '$' anchors it at the end.
bool fd_matches(int fd, const char *env)
{
    const char *m = getenv(env);
    char path[4096];
    if (!m || !*m || !fd_path(fd, path, sizeof path))
        return false;
    size_t n = strlen(m);
    if (m[n - 1] != '$')
        return strstr(path, m) != nullptr;
    size_t p = strlen(path);
    return p >= n - 1 && memcmp(path + p - (n - 1), m, n - 1) == 0;
}

// Puts a descriptor in the stream's place whose reads and writes fail
// (opened for neither), so stdio itself meets the error and sets the flag.
void kill_descriptor(FILE *fp, int mode)
{
    int dead = open("/dev/null", mode);
    if (dead >= 0) {
        dup2(dead, fileno(fp));
        close(dead);
    }
}

bool matches(FILE *fp, const char *env)
{
    if (fp == stdin || fp == stdout || fp == stderr)
        return false;
    return fd_matches(fileno(fp), env);
}

// The signal goes to the process, as a user's interrupt or kill does, so
// whichever thread takes such signals handles it.
void signal_process() { kill(getpid(), (int)env_long("TMB_SIGNAL", SIGTERM)); }

// ---- writes

long s_write_budget = -2; // -2: not read yet, -1: no limit

bool s_write_signalled = false;

size_t guarded_write(const void *data, size_t bytes, FILE *fp)
{
    if (!s_write_signalled && matches(fp, "TMB_SIGNAL_WRITE_MATCH")) {
        s_write_signalled = true;
        signal_process();
    }
    if (s_write_budget == -2)
        s_write_budget = env_long("TMB_FAIL_WRITE_AFTER", -1);
    if (s_write_budget < 0 || !matches(fp, "TMB_FAIL_WRITE_MATCH"))
        return r_fwrite()(data, 1, bytes, fp);
    size_t ok = (size_t)s_write_budget < bytes ? (size_t)s_write_budget : bytes;
    s_write_budget -= (long)ok;
    size_t done = ok ? r_fwrite()(data, 1, ok, fp) : 0;
    if (ok == bytes)
        return done;
    r_fflush()(fp);
    kill_descriptor(fp, O_RDONLY);
    static const char byte = 0;
    r_fwrite()(&byte, 1, 1, fp);
    r_fflush()(fp); // fails: the stream's error flag is set
    errno = ENOSPC;
    return done;
}

// ---- reads

long s_read_budget = -2;

bool s_signalled = false;
std::atomic<bool> s_resized{false}; // workers read their files at once

void resize_before_first_read(FILE *fp)
{
    char path[4096];
    if (s_resized.load() || !matches(fp, "TMB_RESIZE_READ_MATCH") || !path_of(fp, path, sizeof path))
        return;
    if (s_resized.exchange(true))
        return;
    if (truncate(path, env_long("TMB_RESIZE_TO", 0)) != 0)
        perror("faults: resize");
}

size_t guarded_read(void *data, size_t bytes, FILE *fp)
{
    resize_before_first_read(fp);
    if (!s_signalled && matches(fp, "TMB_SIGNAL_READ_MATCH")) {
        s_signalled = true;
        signal_process();
    }
    if (s_read_budget == -2)
        s_read_budget = env_long("TMB_FAIL_READ_AFTER", -1);
    if (s_read_budget < 0 || !matches(fp, "TMB_FAIL_READ_MATCH"))
        return r_fread()(data, 1, bytes, fp);
    size_t want = (size_t)s_read_budget < bytes ? (size_t)s_read_budget : bytes;
    size_t got = want ? r_fread()(data, 1, want, fp) : 0;
    s_read_budget -= (long)got;
    if (got < want || want == bytes)
        return got;
    // The budget is spent: whatever stdio holds is dropped, and the
    // descriptor fails the next read.
    __fpurge(fp);
    kill_descriptor(fp, O_WRONLY);
    r_fgetc()(fp);
    errno = EIO;
    return got;
}

// ---- rewinds

int s_rewinds = 0;

void change_behind_back(FILE *fp)
{
    char path[4096];
    if (!matches(fp, "TMB_REWIND_MATCH") || !path_of(fp, path, sizeof path))
        return;
    if (++s_rewinds != env_long("TMB_REWIND_NTH", 1))
        return;
    const char *a = getenv("TMB_REWIND_ACTION");
    if (!a)
        return;
    if (strcmp(a, "remove") == 0) {
        unlink(path);
    } else if (strncmp(a, "truncate:", 9) == 0) {
        if (truncate(path, atol(a + 9)) != 0)
            perror("faults: truncate");
    } else if (strcmp(a, "replace") == 0) {
        // A copy renamed over it: the same bytes, another file.
        char copy[4200];
        snprintf(copy, sizeof copy, "%s.new", path);
        int in = open(path, O_RDONLY), out = open(copy, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        char buf[65536];
        ssize_t n;
        while (in >= 0 && out >= 0 && (n = read(in, buf, sizeof buf)) > 0)
            if (write(out, buf, (size_t)n) != n)
                perror("faults: replace");
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        if (rename(copy, path) != 0)
            perror("faults: replace");
    } else if (strncmp(a, "zero:", 5) == 0) {
        int fd = open(path, O_WRONLY);
        static const char zero = 0;
        if (fd < 0 || pwrite(fd, &zero, 1, atol(a + 5)) != 1)
            perror("faults: zero");
        if (fd >= 0)
            close(fd);
    }
}

// ---- temporary files

// Appends a line to the log file the environment variable `var` names.
void trace_line(const char *var, const char *line)
{
    const char *log = getenv(var);
    if (!log || !*log)
        return;
    int fd = open(log, O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (fd < 0)
        return;
    dprintf(fd, "%s\n", line);
    close(fd);
}

void trace_temp(const char *path) { trace_line("TMB_TRACE_TEMPS", path); }

void trace_random() { trace_line("TMB_TRACE_RANDOM", "draw"); }

// ---- signals at chosen moments of the temporaries' lives
//
// The settings are read once as the library is loaded: the hooks below run
// inside the program's locks and must not call into anything that locks.

long s_signal_at_temp = 0;
bool s_hold_first = false;
const char *s_hold_match = nullptr; // TMB_SIGNAL_IN_LOCK
int s_signal = SIGTERM;
pid_t s_main_tid = 0;
uintptr_t s_static_lo[8], s_static_hi[8]; // the program's writable segments
int s_static_n = 0;

std::atomic<long> s_temps{0};
std::atomic<bool> s_temp_signalled{false};
std::atomic<bool> s_renamed{false};
std::atomic<bool> s_held_made{false};
std::atomic<bool> s_lock_signalled{false};

bool on_main_thread() { return (pid_t)syscall(SYS_gettid) == s_main_tid; }

// Polls every millisecond until `done` says so, for at most `ms` milliseconds.
template <typename F> void wait_until(F done, long ms)
{
    for (long i = 0; i < ms && !done(); i++) {
        struct timespec t = {0, 1000000};
        nanosleep(&t, nullptr);
    }
}

bool in_program_data(const void *p)
{
    uintptr_t a = (uintptr_t)p;
    for (int i = 0; i < s_static_n; i++)
        if (a >= s_static_lo[i] && a < s_static_hi[i])
            return true;
    return false;
}

// The first object dl_iterate_phdr reports is the program itself.
int note_program_segments(struct dl_phdr_info *info, size_t, void *)
{
    for (int i = 0; i < info->dlpi_phnum && s_static_n < 8; i++) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) {
            s_static_lo[s_static_n] = info->dlpi_addr + ph.p_vaddr;
            s_static_hi[s_static_n] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
            s_static_n++;
        }
    }
    return 1;
}

using mutex_fn = int (*)(pthread_mutex_t *);
mutex_fn s_real_lock = nullptr;

__attribute__((constructor)) void read_signal_settings()
{
    s_real_lock = real<mutex_fn>("pthread_mutex_lock");
    s_main_tid = (pid_t)syscall(SYS_gettid);
    s_signal = (int)env_long("TMB_SIGNAL", SIGTERM);
    s_signal_at_temp = env_long("TMB_SIGNAL_AT_TEMP", 0);
    s_hold_first = env_long("TMB_HOLD_FIRST_TEMP", 0) != 0;
    s_hold_match = getenv("TMB_SIGNAL_IN_LOCK");
    if (s_hold_match && !*s_hold_match)
        s_hold_match = nullptr;
    if (s_hold_match)
        dl_iterate_phdr(note_program_segments, nullptr);
}

// A temporary (`path`, when known) has just been made: the moment of
// TMB_SIGNAL_AT_TEMP, and for TMB_SIGNAL_IN_LOCK a worker that is about to
// register its file.
void temp_made(const char *path)
{
    long n = ++s_temps;
    if (s_signal_at_temp > 0 && n == s_signal_at_temp) {
        s_temp_signalled = true;
        kill(getpid(), s_signal);
    }
    if (s_hold_first && n == 1)
        wait_until([] { return s_temp_signalled.load(); }, 20000);
    if (s_hold_match && path && !on_main_thread()) {
        if (strstr(path, s_hold_match)) {
            s_held_made = true;
            wait_until([] { return s_lock_signalled.load(); }, 10000);
        } else {
            wait_until([] { return s_held_made.load(); }, 10000);
        }
    }
}

void before_rename()
{
    if (on_main_thread())
        s_renamed = true;
}

// ---- directory swap

int s_temps_at = 0;

void maybe_swap(const char *name)
{
    const char *dir = getenv("TMB_SWAP_DIR"), *to = getenv("TMB_SWAP_TO");
    if (!dir || !to || strncmp(name, ".tmb", 4) != 0)
        return;
    if (++s_temps_at != env_long("TMB_SWAP_AT", 1))
        return;
    char old[4200];
    snprintf(old, sizeof old, "%s.old", dir);
    if (rename(dir, old) != 0 || symlink(to, dir) != 0)
        perror("faults: swap");
}

// ---- I/O counters

// Runs as the library is unloaded at exit, after the program's own exit
// handlers and static destructors: every stream the program closed has
// been counted.
__attribute__((destructor)) void copy_io_counters()
{
    const char *to = getenv("TMB_TRACE_IO");
    if (!to || !*to)
        return;
    char counters[1024];
    int in = open("/proc/self/io", O_RDONLY);
    if (in < 0)
        return;
    ssize_t n = read(in, counters, sizeof counters);
    close(in);
    int out = n > 0 ? open(to, O_WRONLY | O_CREAT | O_TRUNC, 0600) : -1;
    if (out < 0)
        return;
    if (write(out, counters, (size_t)n) != n)
        perror("faults: io counters");
    close(out);
}

} // namespace

extern "C" {

using openat_fn = int (*)(int, const char *, int, ...);

// openat and its 64-bit name: the swap check, then the real call.
static int swap_then_open(const char *real_name, int dirfd, const char *name, int flags, va_list ap)
{
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(ap, int) : 0;
    maybe_swap(name);
    int fd = real<openat_fn>(real_name)(dirfd, name, flags, mode);
    if (fd >= 0 && (flags & O_CREAT) && strncmp(name, ".tmb", 4) == 0) {
        char path[4096];
        bool known = fd_path(fd, path, sizeof path);
        if (known)
            trace_temp(path);
        temp_made(known ? path : nullptr);
    }
    return fd;
}

int openat(int dirfd, const char *name, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = swap_then_open("openat", dirfd, name, flags, ap);
    va_end(ap);
    return fd;
}

int openat64(int dirfd, const char *name, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = swap_then_open("openat64", dirfd, name, flags, ap);
    va_end(ap);
    return fd;
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *fp)
{
    if (size == 0 || count == 0)
        return 0;
    return guarded_write(data, size * count, fp) / size;
}

int fputc(int c, FILE *fp)
{
    unsigned char b = (unsigned char)c;
    return guarded_write(&b, 1, fp) == 1 ? b : EOF;
}

int putc(int c, FILE *fp) { return fputc(c, fp); }

int fputs(const char *s, FILE *fp)
{
    size_t n = strlen(s);
    return guarded_write(s, n, fp) == n ? 1 : EOF;
}

int vfprintf(FILE *fp, const char *fmt, va_list ap)
{
    char small[1024];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return n;
    char *buf = small;
    if ((size_t)n >= sizeof small) {
        buf = (char *)malloc((size_t)n + 1);
        if (!buf)
            return -1;
        vsnprintf(buf, (size_t)n + 1, fmt, ap);
    }
    size_t done = guarded_write(buf, (size_t)n, fp);
    if (buf != small)
        free(buf);
    return done == (size_t)n ? n : -1;
}

int fprintf(FILE *fp, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(fp, fmt, ap);
    va_end(ap);
    return n;
}

size_t fread(void *data, size_t size, size_t count, FILE *fp)
{
    if (size == 0 || count == 0)
        return 0;
    return guarded_read(data, size * count, fp) / size;
}

int fgetc(FILE *fp)
{
    unsigned char b;
    return guarded_read(&b, 1, fp) == 1 ? b : EOF;
}

int getc(FILE *fp) { return fgetc(fp); }

using pread_fn = ssize_t (*)(int, void *, size_t, off_t);

static ssize_t guarded_pread(const char *real_name, int fd, void *buf, size_t n, off_t off)
{
    long bad = env_long("TMB_FAIL_READ_AFTER", -1);
    if (bad >= 0 && fd_matches(fd, "TMB_FAIL_READ_MATCH") && off + (off_t)n > bad) {
        if (off >= bad) {
            errno = EIO;
            return -1;
        }
        n = (size_t)(bad - off);
    }
    return real<pread_fn>(real_name)(fd, buf, n, off);
}

ssize_t pread(int fd, void *buf, size_t n, off_t off) { return guarded_pread("pread", fd, buf, n, off); }

ssize_t pread64(int fd, void *buf, size_t n, off_t off) { return guarded_pread("pread64", fd, buf, n, off); }

void rewind(FILE *fp)
{
    change_behind_back(fp);
    real<rewind_fn>("rewind")(fp);
}

static bool temp_refused(const char *tmpl)
{
    const char *m = getenv("TMB_FAIL_TEMP_MATCH");
    if (!m || !*m || !strstr(tmpl, m))
        return false;
    errno = (int)env_long("TMB_FAIL_TEMP_ERRNO", EMFILE);
    return true;
}

int mkstemps(char *tmpl, int suffixlen)
{
    if (temp_refused(tmpl))
        return -1;
    int fd = real<mkstemps_fn>("mkstemps")(tmpl, suffixlen);
    if (fd >= 0) {
        trace_temp(tmpl);
        temp_made(tmpl);
    }
    return fd;
}

int mkstemp(char *tmpl)
{
    if (temp_refused(tmpl))
        return -1;
    int fd = real<mkstemp_fn>("mkstemp")(tmpl);
    if (fd >= 0) {
        trace_temp(tmpl);
        temp_made(tmpl);
    }
    return fd;
}

using rename_fn = int (*)(const char *, const char *);
using renameat_fn = int (*)(int, const char *, int, const char *);

int rename(const char *from, const char *to)
{
    before_rename();
    return real<rename_fn>("rename")(from, to);
}

int renameat(int fromfd, const char *from, int tofd, const char *to)
{
    before_rename();
    return real<renameat_fn>("renameat")(fromfd, from, tofd, to);
}

// With a mutex of the program's own data held on the main thread after
// its first rename: the moment of TMB_SIGNAL_IN_LOCK.
int pthread_mutex_lock(pthread_mutex_t *m)
{
    int rc = s_real_lock ? s_real_lock(m) : real<mutex_fn>("pthread_mutex_lock")(m);
    if (s_hold_match && rc == 0 && !s_lock_signalled && s_renamed && s_held_made &&
        on_main_thread() && in_program_data(m)) {
        s_lock_signalled = true;
        kill(getpid(), s_signal);
    }
    return rc;
}

using getrandom_fn = ssize_t (*)(void *, size_t, unsigned);
using getentropy_fn = int (*)(void *, size_t);

ssize_t getrandom(void *buf, size_t n, unsigned flags)
{
    trace_random();
    return real<getrandom_fn>("getrandom")(buf, n, flags);
}

int getentropy(void *buf, size_t n)
{
    trace_random();
    return real<getentropy_fn>("getentropy")(buf, n);
}

} // extern "C"
