// The commands x and e: write the selected entries of an archive out as
// files. x keeps the directory part of each entry name and creates the
// directories it needs; e writes every file under its base name. Both write
// below the work directory (-d, or a file argument ending in ':' or '/').
//
// Entry names come from the archive and are not trusted: a name that would
// leave the work directory (absolute, or with a '..' level) is refused, the
// directories on the way are never followed when they are symbolic links,
// and the file itself is created without following a link in its place.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tambrix.h"
#include "tmb_autojoin.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_match.h"
#include "tmb_method.h"
#include "tmb_progress.h"

namespace {

constexpr size_t kPathMax = 256;            // 255 characters and the NUL
constexpr size_t kStreamBuffer = 65536;     // buffer of the archive and of each extracted file

// The stream buffers, ours rather than the C library's: glibc honours the
// size given to setvbuf only together with a buffer (without one it takes
// the file system's block size), and one buffer reused for every extracted
// file spares an allocation per entry. One archive stream and one output
// stream are open at a time.
char s_archive_buf[kStreamBuffer];
char s_output_buf[kStreamBuffer];

FILE *open_archive(const char *path)
{
    FILE *fp = fopen(path, "rb");
    if (fp)
        setvbuf(fp, s_archive_buf, _IOFBF, sizeof s_archive_buf);
    return fp;
}

// One run of the command: the archive, the counters of the summary and the
// answers given at the overwrite prompt that hold for the rest of the run.
struct ExtractRun {
    FILE *arc = nullptr;
    int strip_paths = 0;    // e: base names only
    int total = 0;          // entries expected, from the pre-count pass
    int index = 0;
    int extracted = 0;
    int skipped = 0;
    int errors = 0;
    int overwrite_all = 0;  // answer 'A'
    int skip_all = 0;       // answer 'N'
    struct stat arc_st {};  // the archive's identity, to never write over it
    bool arc_st_ok = false;
    char dir_ok[kPathMax] = "";  // deepest directory made sure of (see mkdirs)
};

// Number of leading characters of a joined output path that come from the
// work directory, separator included; what follows is the entry's own part.
size_t work_prefix_len()
{
    size_t n = strlen(g_opts.work_dir);
    if (n == 0)
        return 0;
    char last = g_opts.work_dir[n - 1];
    return (last == ':' || last == '/') ? n : n + 1;
}

// Output path for an entry name: the name below the work directory. An
// AmigaOS device ("RAM:") or a trailing '/' already ends a directory, any
// other work directory gets a '/' between.
// Longer results are cut at 255 characters.
void join_path(char *out, const char *name)
{
    size_t n = strlen(g_opts.work_dir);
    const char *sep = "/";
    if (n == 0 || g_opts.work_dir[n - 1] == ':' || g_opts.work_dir[n - 1] == '/')
        sep = "";
    if (snprintf(out, kPathMax, "%s%s%s", g_opts.work_dir, sep, name) < 0)
        out[0] = '\0';
}

// True when the directory named by the first `n` characters of `dir` is
// `known` or lies on its way ("out" and "out/sub" for "out/sub").
bool covered(const char *known, const char *dir, size_t n)
{
    return known[0] != '\0' && strncmp(known, dir, n) == 0 && (known[n] == '\0' || known[n] == '/');
}

// Creates every directory of `path` that ends just before a '/', outermost
// first (so "a/b/c" creates "a" and "a/b", and "a/b/" also "a/b"). Failures
// are ignored: the create that follows reports them. Directories past the
// first `guard` characters come from the entry name; each of them must be a
// real directory after the mkdir, never a symbolic link, or writing below it
// could land outside the work directory. Returns 0 and stops at such a link.
//
// `known` is the deepest directory made sure of earlier in the run; the
// directories on its way are passed over. Extraction only ever adds files
// and directories, so what was a real directory stays one, and a tree of
// many files costs no mkdir or lstat for the files after the first of
// each directory.
int mkdirs(const char *path, size_t guard, char *known)
{
    char scratch[kPathMax];
    snprintf(scratch, sizeof scratch, "%s", path);
    size_t deepest = 0;      // length of the last directory handled here
    bool deepest_ok = false; // ... known to be a directory
    for (size_t i = 1; scratch[i]; i++) {
        if (scratch[i] != '/' || covered(known, scratch, i))
            continue;
        scratch[i] = '\0';
        bool made = mkdir(scratch, 0755) == 0;
        struct stat st;
        bool seen = false;
        if (i > guard && lstat(scratch, &st) == 0) {
            if (S_ISLNK(st.st_mode)) {
                dbg_log("mkdirs: '%s' is a symbolic link -> refusing", scratch);
                return 0;
            }
            seen = true;
        }
        deepest = i;
        deepest_ok = made || (seen && S_ISDIR(st.st_mode));
        scratch[i] = '/';
    }
    if (deepest == 0)
        return 1;
    scratch[deepest] = '\0';
    // Inside the work directory links may be followed: stat, not lstat.
    struct stat st;
    if (!deepest_ok && deepest <= guard)
        deepest_ok = stat(scratch, &st) == 0 && S_ISDIR(st.st_mode);
    if (deepest_ok)
        memcpy(known, scratch, deepest + 1);
    return 1;
}

// Why the entry's part of an output path is not safe to create, or nullptr.
// Empty names, absolute names and names with a '..' level are refused.
const char *unsafe_reason(const char *part)
{
    if (part[0] == '\0')
        return "empty name";
    if (part[0] == '/')
        return "absolute path";
    for (const char *s = part; *s;) {
        const char *end = strchr(s, '/');
        size_t len = end ? (size_t)(end - s) : strlen(s);
        if (len == 2 && s[0] == '.' && s[1] == '.')
            return "'..' in path";
        if (!end)
            break;
        s = end + 1;
    }
    return nullptr;
}

// The entry's part of an output path: what follows the work directory.
const char *entry_part(const char *outpath, size_t guard)
{
    return strlen(outpath) < guard ? "" : outpath + guard;
}

void refuse_unsafe(ExtractRun &r, const char *name, const char *reason)
{
    dbg_log("unsafe name '%s' (%s) -> refusing", name, reason);
    fprintf(stderr, "  WARNING: refusing entry '%s': %s would leave the target directory\n", name,
            reason);
    r.errors++;
}

// To the next header. The decoder has mostly read exactly comp_size bytes
// and left the stream there; glibc's fseeko would still call lseek.
void seek_past(FILE *arc, const EntryHeader &h)
{
    off_t next = (off_t)(h.data_pos + (int64_t)h.comp_size);
    if (ftello(arc) != next)
        fseeko(arc, next, SEEK_SET);
}

// Entries that will be extracted, for the "[i/n]" counter: files with a
// known method that the name arguments select, names tested as stored.
int count_wanted(const char *archive)
{
    FILE *fp = open_archive(archive);
    if (!fp)
        return 0;
    int total = 0;
    EntryHeader h;
    while (tmb_read_header(fp, &h)) {
        if (!h.is_dir && h.method != -1 && file_wanted(h.name))
            total++;
        fseeko(fp, (off_t)h.comp_size, SEEK_CUR);
    }
    fclose(fp);
    return total;
}

void debug_header(const EntryHeader &h)
{
    if (g_debug_level <= 0)
        return;
    dbg_log("---");
    dbg_open();
    if (g_dbg_fp) {
        size_t len = strlen(h.name);
        fprintf(g_dbg_fp, "RAW[%s] str='%s' n1=%ld n2=%ld strlen=%ld firstbytes=", "hdr.name",
                h.name, (long)h.comp_size, (long)h.orig_size, (long)len);
        for (size_t i = 0; i < len && i < 8; i++)
            fprintf(g_dbg_fp, "%02x ", (unsigned char)h.name[i]);
        fputc('\n', g_dbg_fp);
        fflush(g_dbg_fp);
    }
    dbg_log("read_header OK: name='%s' is_dir=%d comp_size=%lu orig_size=%lu method=%d data_pos=%ld",
            h.name, h.is_dir, (unsigned long)h.comp_size, (unsigned long)h.orig_size, h.method,
            (long)h.data_pos);
}

// Asks before replacing an existing file. Returns 1 to go on, 0 when the
// entry is skipped (counted here).
int confirm_overwrite(ExtractRun &r, const char *outpath)
{
    FILE *probe = fopen(outpath, "rb");
    if (!probe) {
        dbg_log("overwrite-check fopen('%s','rb') = %s", outpath, "does not exist");
        return 1;
    }
    dbg_log("overwrite-check fopen('%s','rb') = %s", outpath, "EXISTS");
    fclose(probe);
    if (r.skip_all) {
        dbg_log("skip_all: skipping");
        r.skipped++;
        return 0;
    }
    if (r.overwrite_all)
        return 1;
    printf("  overwrite %s? [y]es [n]o [A]ll [N]one: ", outpath);
    fflush(stdout);
    // Seven characters at most; the rest of a longer line answers the next
    // prompt. End of input declines like an empty line.
    char answer[8];
    if (!fgets(answer, sizeof answer, stdin))
        answer[0] = '\0';
    switch (answer[0]) {
    case 'A':
        r.overwrite_all = 1;
        return 1;
    case 'N':
        dbg_log("skip_all set");
        r.skipped++;
        r.skip_all = 1;
        return 0;
    case 'y':
    case 'Y':
        return 1;
    default:
        dbg_log("user declined overwrite, skipping");
        r.skipped++;
        return 0;
    }
}

// Creates (or truncates) the output file. O_NOFOLLOW: a symbolic link
// planted where the file goes is not followed, the create fails instead.
FILE *create_output(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE *fp = fdopen(fd, "wb");
    if (!fp) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return fp;
}

// True when `st`, the status of an output path, is the archive being read
// (or a hard link to it): creating it would truncate the archive under our
// feet.
bool is_the_archive(const ExtractRun &r, const struct stat &st)
{
    return r.arc_st_ok && st.st_dev == r.arc_st.st_dev && st.st_ino == r.arc_st.st_ino;
}

// Seconds and nanoseconds, the record utimensat takes (as in stat's st_mtim).
using FileTime = decltype(stat::st_mtim);

// Access and modification time of the extracted file; a link put in its
// place after the create is not followed.
void set_file_time(const char *path, int64_t mtime)
{
    FileTime ts[2];
    ts[0].tv_sec = ts[1].tv_sec = (time_t)mtime;
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

// Decodes one file entry into `outpath` and reports the outcome.
void extract_file(ExtractRun &r, const EntryHeader &h, const char *outpath)
{
    r.index++;
    if (r.total != 0)
        printf("[%d/%d] %s: %-40s", r.index, r.total, "inflating", h.name);
    else
        printf("  %s: %-40s", "inflating", h.name);
    fflush(stdout);
    tmb_prog_begin(h.orig_size);

    dbg_log("attempting fopen('%s', \"wb\")", outpath);
    FILE *out = create_output(outpath);
    if (!out) {
        int e = errno;
        dbg_log("fopen('%s', \"wb\") FAILED, errno=%d", outpath, e);
        g_prog_on = 0;  // nothing was written: no final bar
        fprintf(stderr, "\n  ERROR: cannot create %s\n", outpath);
        if (e == ELOOP)
            fprintf(stderr, "  (%s is a symbolic link; it is not followed)\n", outpath);
        seek_past(r.arc, h);
        r.errors++;
        return;
    }
    dbg_log("fopen('%s', \"wb\") OK, fp=%p", outpath, (void *)out);
    setvbuf(out, s_output_buf, _IOFBF, sizeof s_output_buf);
    dbg_log("calling tmb_extract for '%s'", outpath);
    int rc = tmb_extract(r.arc, out, &h);

    // Every byte must reach the file: a full disk or a file size limit shows
    // up in the writes, the final flush or the close, and is an error.
    int write_failed = ferror(out) != 0;
    int write_errno = errno;
    if (fflush(out) != 0) {
        write_failed = 1;
        write_errno = errno;
    }
    if (fclose(out) != 0) {
        write_failed = 1;
        write_errno = errno;
    }
    tmb_prog_end();
    seek_past(r.arc, h);

    if (rc != 0 || write_failed) {
        if (rc != 0)
            dbg_log("tmb_extract returned non-zero (failure)");
        printf(" ERROR\n");
        fflush(stdout);
        if (write_failed) {
            dbg_log("write to '%s' failed, errno=%d", outpath, write_errno);
            fprintf(stderr, "  ERROR: cannot write %s: %s\n", outpath, strerror(write_errno));
        }
        r.errors++;
        return;
    }
    dbg_log("tmb_extract returned 0, expected_crc=%04X got_crc=%04X", h.crc,
            (unsigned)(g_extract_crc & 0xFFFF));
    // Stored entries are taken as they are: their bytes are the file.
    if ((g_extract_crc & 0xFFFF) == h.crc || h.method == 0) {
        if (h.mtime > 0)
            set_file_time(outpath, h.mtime);
        printf(" OK\n");
        r.extracted++;
    } else {
        printf(" CRC ERR (exp %04X got %04X)\n", h.crc, (unsigned)(g_extract_crc & 0xFFFF));
        r.errors++;
    }
}

void handle_entry(ExtractRun &r, EntryHeader &h)
{
    h.data_pos = (int64_t)ftello(r.arc);
    debug_header(h);

    // Names written on MS-DOS and Windows separate levels with '\'.
    for (char *s = h.name; *s; s++)
        if (*s == '\\')
            *s = '/';
    dbg_log("name after backslash normalization: '%s'", h.name);

    if (!file_wanted(h.name)) {
        dbg_log("file_wanted('%s') returned FALSE -> skipping", h.name);
        seek_past(r.arc, h);
        r.skipped++;
        return;
    }
    dbg_log("file_wanted('%s') returned TRUE -> proceeding", h.name);

    char outpath[kPathMax];
    size_t guard = work_prefix_len();
    if (h.is_dir) {
        dbg_log("entry is a directory");
        if (!r.strip_paths) {
            join_path(outpath, h.name);
            const char *why = unsafe_reason(entry_part(outpath, guard));
            if (why) {
                refuse_unsafe(r, h.name, why);
            } else {
                dbg_log("directory outpath='%s', calling mkdirs", outpath);
                if (!mkdirs(outpath, guard, r.dir_ok)) {
                    fprintf(stderr, "  WARNING: not creating %s: a directory on the way is a symbolic link\n",
                            outpath);
                    r.errors++;
                }
            }
        }
        seek_past(r.arc, h);
        return;
    }

    const char *outname = h.name;
    if (r.strip_paths) {
        const char *slash = strrchr(h.name, '/');
        if (slash)
            outname = slash + 1;
    }
    join_path(outpath, outname);
    dbg_log("built outpath='%s' (work_dir='%s', name='%s', strip_paths=%d)", outpath, g_opts.work_dir,
            outname, r.strip_paths);
    // The entry's part as it will really be used (join_path may have cut it).
    const char *why = unsafe_reason(entry_part(outpath, guard));
    if (why) {
        refuse_unsafe(r, h.name, why);
        seek_past(r.arc, h);
        return;
    }
    if (!r.strip_paths) {
        dbg_log("calling mkdirs('%s') for parent directories", outpath);
        if (!mkdirs(outpath, guard, r.dir_ok)) {
            fprintf(stderr, "  ERROR: not writing %s: a directory on the way is a symbolic link\n",
                    outpath);
            seek_past(r.arc, h);
            r.errors++;
            return;
        }
    }
    // One stat serves both checks: a path that does not exist is neither the
    // archive nor a file to ask about (the probe of confirm_overwrite could
    // not open it either).
    struct stat st;
    bool present = stat(outpath, &st) == 0;
    bool missing = !present && errno == ENOENT;
    if (present && is_the_archive(r, st)) {
        fprintf(stderr, "  ERROR: not writing %s: it is the archive being read\n", outpath);
        seek_past(r.arc, h);
        r.errors++;
        return;
    }
    if (!g_opts.force_overwrite) {
        if (missing) {
            dbg_log("overwrite-check fopen('%s','rb') = %s", outpath, "does not exist");
        } else if (!confirm_overwrite(r, outpath)) {
            seek_past(r.arc, h);
            return;
        }
    }
    extract_file(r, h, outpath);
}

} // namespace

int cmd_extract()
{
    ExtractRun r;
    r.strip_paths = g_opts.command == 'e';
    char joined[kPathMax];
    if (tmb_autojoin_begin(joined, sizeof joined))
        return 1;

    dbg_open();
    dbg_log("=== cmd_extract start ===");
    dbg_log("archive='%s' work_dir='%s' strip_paths=%d force_overwrite=%d", g_opts.archive,
            g_opts.work_dir, r.strip_paths, g_opts.force_overwrite);
    dbg_log("nfiles=%d (file filter list; if >0, ONLY these names are extracted)", g_opts.nfiles);
    for (int i = 0; i < g_opts.nfiles; i++)
        dbg_log("  files[%d]='%s'", i, g_opts.files[i]);

    r.total = count_wanted(g_opts.archive);
    clock_t start = clock();

    r.arc = open_archive(g_opts.archive);
    if (!r.arc) {
        dbg_log("fopen archive '%s' = %s", g_opts.archive, "FAILED");
        fprintf(stderr, "Cannot open: %s\n", g_opts.archive);
        tmb_autojoin_end(joined);
        dbg_close();
        return 1;
    }
    r.arc_st_ok = fstat(fileno(r.arc), &r.arc_st) == 0;
    dbg_log("fopen archive '%s' = %s", g_opts.archive, "OK");
    printf("Extracting: %s\n\n", g_opts.archive);
    fflush(stdout);

    EntryHeader h;
    while (tmb_read_header(r.arc, &h))
        handle_entry(r, h);
    // The header reader ends the loop on a read error as it does at the
    // end; a failing disk must not pass for a finished archive.
    if (ferror(r.arc)) {
        fprintf(stderr, "Read error: %s\n", g_opts.archive);
        r.errors++;
    }

    printf("\nDone. Extracted: %d  Skipped: %d  Errors: %d\n", r.extracted, r.skipped, r.errors);
    print_elapsed(start);
    fflush(stdout);
    fclose(r.arc);
    tmb_autojoin_end(joined);
    dbg_log("=== cmd_extract end: extracted=%d skipped=%d errors=%d ===", r.extracted, r.skipped,
            r.errors);
    dbg_close();
    return r.errors > 0 ? 1 : 0;
}
