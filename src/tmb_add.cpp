// Adding one path of the file system to an open archive stream.
//
// A file becomes one entry with a level-2 header: stored ("-lh0-") straight
// from memory, or packed into a private temporary file first, because the
// header, which carries the packed size and the CRC, must precede the data.
// A directory is walked with -r; a directory with nothing in it becomes an
// entry of its own whose name ends in '/'.
#include "tmb_add.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tambrix.h"
#include "tmb_debug.h"
#include "tmb_compress.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_progress.h"
#include "tmb_wildcard.h"

int g_arc_root_len = 0;
int g_add_file_no = 0;
AddTally g_add_tally = {0, 0, 0};

namespace {

constexpr size_t kStreamBuf = 65536;

// Identities of the archive being written and of the one it replaces (see
// add_set_archive).
struct FileId {
    bool known;
    dev_t dev;
    ino_t ino;
};
FileId s_arc_ids[2];

// The size fields of an entry header are 32 bits wide.
constexpr uint64_t kMaxEntrySize = 0xFFFFFFFFull;

int64_t mtime_or_now(const struct stat *st)
{
    if (st && st->st_mtime != 0)
        return (int64_t)st->st_mtime;
    return (int64_t)time(nullptr);
}

void copy_name(char *dst, const char *src, size_t max_len)
{
    size_t n = strlen(src);
    if (n > max_len)
        n = max_len;
    memcpy(dst, src, n);
    dst[n] = 0;
}

// Every entry this program writes: attribute 0x20, level 2, OS id 'A'.
void fill_header(EntryHeader *h, const char *name, int64_t mtime)
{
    memset(h, 0, sizeof *h);
    h->attribute = 0x20;
    h->level = 2;
    h->os_id = 'A';
    h->mtime = mtime;
    copy_name(h->name, name, 255);
}

// Ends the "[n] adding:" line of a failed file.
void end_line_error()
{
    if (!g_opts.quiet)
        fputs(" ERROR\n", stdout);
}

// Opens a file for reading without blocking on a FIFO and without following
// the caller into a device: only regular files are accepted. On success
// `st` describes the opened file. Returns nullptr with errno set, or with
// *not_regular / *too_large set for a file that exists but is refused.
FILE *open_input(const char *path, struct stat *st, bool *not_regular, bool *too_large)
{
    *not_regular = false;
    *too_large = false;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (fstat(fd, st) != 0) {
        close(fd);
        return nullptr;
    }
    if (!S_ISREG(st->st_mode)) {
        *not_regular = true;
        close(fd);
        return nullptr;
    }
    if ((uint64_t)st->st_size > kMaxEntrySize) {
        *too_large = true;
        close(fd);
        return nullptr;
    }
    // O_NONBLOCK may stay: it changes nothing for a regular file.
    FILE *fp = fdopen(fd, "rb");
    if (!fp)
        close(fd);
    return fp;
}

// Reports a file that exists but cannot become an entry; 1 when it was one.
int report_refused(const char *path, bool not_regular, bool too_large)
{
    if (not_regular)
        fprintf(stderr, "  Not a regular file: %s\n", path);
    else if (too_large)
        fprintf(stderr, "  File too large (4 GiB or more): %s\n", path);
    else
        return 0;
    end_line_error();
    return 1;
}

// Takes back a header whose data could not follow it, so that the next
// entry (or the end mark) is written over it.
void undo_entry(FILE *arc, off_t entry_start)
{
    if (entry_start >= 0)
        fseeko(arc, entry_start, SEEK_SET);
}

int add_stored(FILE *arc, const char *path, const char *arcname)
{
    dbg_log("add_file_lh0: filepath='%s' arcname='%s'", path, arcname);
    struct stat st;
    bool not_regular, too_large;
    FILE *in = open_input(path, &st, &not_regular, &too_large);
    if (!in) {
        if (report_refused(path, not_regular, too_large))
            return 0;
        int err = errno;
        dbg_log("  fopen FAILED");
        fprintf(stderr, "  Cannot open: %s (%s)\n", path, strerror(err));
        end_line_error();
        return 0;
    }
    uint64_t size = (uint64_t)st.st_size;
    const char *name = strip_arc_root(arcname);

    unsigned char *buf = (unsigned char *)malloc(size ? size : 1);
    if (!buf) {
        fprintf(stderr, "  Out of memory: %s\n", path);
        g_add_tally.broken = 1;
        fclose(in);
        end_line_error();
        return 0;
    }
    uint16_t crc = 0;
    if (size != 0) {
        if (fread(buf, 1, size, in) != size) {
            fprintf(stderr, "  Read error: %s\n", path);
            free(buf);
            fclose(in);
            end_line_error();
            return 0;
        }
        crc = tmb_crc16(buf, size, 0);
    }
    fclose(in);
    dbg_log("  file size=%lu crc=0x%04X arcname will be='%s'", (unsigned long)size, crc, name);

    EntryHeader h;
    fill_header(&h, name, mtime_or_now(&st));
    h.method = 0;
    h.orig_size = size;
    h.comp_size = size;
    h.crc = crc;
    off_t entry_start = ftello(arc);
    if (!tmb_write_header_lv2(arc, &h)) {
        free(buf);
        fprintf(stderr, "  Write error: %s\n", path);
        g_add_tally.broken = 1;
        end_line_error();
        return 0;
    }
    if (size != 0 && fwrite(buf, 1, size, arc) != size) {
        fprintf(stderr, "  Write error: %s\n", path);
        g_add_tally.broken = 1;
        free(buf);
        undo_entry(arc, entry_start);
        end_line_error();
        return 0;
    }
    free(buf);
    dbg_log("  add_file_lh0 OK: written %lu bytes", (unsigned long)size);
    if (!g_opts.quiet)
        fputs(" OK\n", stdout);
    return 1;
}

// The packing temporary. It is created exclusively under /tmp with a unique
// name and unlinked at once: the open stream is all the program needs, no
// other process can reach the file through its name, and it vanishes with
// the process whatever way the process ends. One file serves every entry of
// a run (creating a file per entry costs more than packing a small one); it
// is rewound before each use and only the bytes of the current entry count.
FILE *s_pack_tmp = nullptr;
char s_pack_tmp_name[4096];

FILE *pack_temp()
{
    if (s_pack_tmp) {
        clearerr(s_pack_tmp);
        if (fseeko(s_pack_tmp, 0, SEEK_SET) == 0)
            return s_pack_tmp;
        fclose(s_pack_tmp);
        s_pack_tmp = nullptr;
    }
    char prefix[sizeof s_pack_tmp_name];
    snprintf(prefix, sizeof prefix, "%s/tambrix_", tmb_temp_dir());
    s_pack_tmp = tmb_create_temp(prefix, ".tmp", s_pack_tmp_name, sizeof s_pack_tmp_name);
    if (!s_pack_tmp)
        return nullptr;
    unlink(s_pack_tmp_name);
    setvbuf(s_pack_tmp, nullptr, _IOFBF, kStreamBuf);
    return s_pack_tmp;
}

// The encoder context of this process: made when the first file is packed,
// kept for every later one (its buffers are reused), freed at exit.
EncoderCtx *s_encoder = nullptr;

EncoderCtx *encoder()
{
    if (!s_encoder) {
        s_encoder = tmb_encoder_new();
        if (s_encoder)
            atexit([] {
                tmb_encoder_free(s_encoder);
                s_encoder = nullptr;
            });
    }
    return s_encoder;
}

// The encoder's progress goes to the bar.
void progress_to_bar(void *, uint64_t n)
{
    tmb_prog_add(n);
}

// Copies `len` bytes from the start of `src` to `dst`; 1 on success, 0 on
// a short read or (with *write_failed set) a short write.
int copy_packed(FILE *src, FILE *dst, uint64_t len, bool *write_failed)
{
    static unsigned char buf[kStreamBuf];
    *write_failed = false;
    rewind(src);
    while (len > 0) {
        size_t want = len < sizeof buf ? (size_t)len : sizeof buf;
        size_t got = fread(buf, 1, want, src);
        if (got != want)
            return 0;
        if (fwrite(buf, 1, got, dst) != got) {
            *write_failed = true;
            return 0;
        }
        len -= got;
    }
    return 1;
}

int add_compressed(FILE *arc, const char *path, const char *arcname, int method)
{
    const char *name = strip_arc_root(arcname);
    struct stat st;
    bool not_regular, too_large;
    FILE *in = open_input(path, &st, &not_regular, &too_large);
    if (!in) {
        if (report_refused(path, not_regular, too_large))
            return 0;
        // The stdout line stays as it always was; scripts that send
        // standard output away still learn which file failed and why.
        int err = errno;
        dbg_log("add_path lhX: fopen '%s' FAILED", path);
        if (!g_opts.quiet)
            fputs(" OPEN ERROR\n", stdout);
        fprintf(stderr, "  Cannot open: %s (%s)\n", path, strerror(err));
        return 0;
    }
    setvbuf(in, nullptr, _IOFBF, kStreamBuf);
    uint64_t size = (uint64_t)st.st_size;

    EntryHeader h;
    fill_header(&h, name, mtime_or_now(&st));
    h.orig_size = size;
    h.method = method;
    dbg_log("add_path lhX: filepath='%s' arcname='%s' orig_size=%lu method=%d", path, name,
            (unsigned long)size, method);

    EncoderCtx *ctx = encoder();
    if (!ctx) {
        fprintf(stderr, "  Out of memory: %s\n", path);
        g_add_tally.broken = 1;
        fclose(in);
        end_line_error();
        return 0;
    }
    FILE *tmp = pack_temp();
    if (!tmp) {
        dbg_log("cannot create temp file '%s'", s_pack_tmp_name);
        fprintf(stderr, "  Cannot create temporary file: %s (%s)\n", s_pack_tmp_name, strerror(errno));
        g_add_tally.broken = 1;
        fclose(in);
        end_line_error();
        return 0;
    }
    tmb_prog_begin(size);
    const lzh::Progress prog = {progress_to_bar, nullptr};
    int packed = tmb_compress(ctx, in, tmp, &h, method, g_opts.optimal != 0, prog);
    tmb_prog_end();
    dbg_log("tmb_compress returned %d", packed);
    // Each failure is named once on standard error, the most telling first:
    // the compressor takes a failed read for the end of the input, and a
    // read error must not become a silently shortened entry.
    const char *why = nullptr;
    bool tmp_failed = fflush(tmp) != 0 || ferror(tmp);
    if (tmp_failed)
        why = "Cannot write temporary file";
    else if (ferror(in))
        why = "Read error";
    else if (!packed)
        why = "Cannot compress";
    else if (h.orig_size > kMaxEntrySize)  // the file grew while it was read
        why = "File too large (4 GiB or more)";
    fclose(in);
    if (why) {
        g_add_tally.broken |= tmp_failed;
        if (tmp_failed)
            fprintf(stderr, "  %s: %s (adding %s)\n", why, s_pack_tmp_name, path);
        else
            fprintf(stderr, "  %s: %s\n", why, path);
        end_line_error();
        return 0;
    }

    off_t packed_end = ftello(tmp);
    h.comp_size = packed_end > 0 ? (uint64_t)packed_end : 0;
    int ratio = h.orig_size ? (int)(100 - (int64_t)(h.comp_size * 100 / h.orig_size)) : 0;
    dbg_log("compressed size=%ld (ratio=%d%%)", (long)h.comp_size, ratio);

    off_t entry_start = ftello(arc);
    if (!tmb_write_header_lv2(arc, &h)) {
        fprintf(stderr, "  Write error: %s\n", path);
        g_add_tally.broken = 1;
        end_line_error();
        return 0;
    }
    bool write_failed = false;
    if (!copy_packed(tmp, arc, h.comp_size, &write_failed)) {
        if (write_failed)
            fprintf(stderr, "  Write error: %s\n", path);
        else
            fprintf(stderr, "  Cannot read temporary file: %s\n", s_pack_tmp_name);
        g_add_tally.broken = 1;
        undo_entry(arc, entry_start);
        end_line_error();
        return 0;
    }
    if (!g_opts.quiet)
        printf(" OK (%lu->%lu)\n", (unsigned long)h.orig_size, (unsigned long)h.comp_size);
    return 1;
}

// `st` is the status of the path, nullptr when it could not be read.
bool is_the_archive(const struct stat *st)
{
    if (!st)
        return false;
    for (const FileId &id : s_arc_ids)
        if (id.known && st->st_dev == id.dev && st->st_ino == id.ino)
            return true;
    return false;
}

int add_file(FILE *arc, const char *path, const char *arcname, int method, const struct stat *st)
{
    if (is_the_archive(st)) {
        if (!g_opts.quiet)
            printf("  skipping the archive itself:  %s\n", arcname);
        return 1;
    }
    g_add_file_no++;
    if (!g_opts.quiet)
        printf("[%d] adding:  %-40s", g_add_file_no, arcname);
    fflush(stdout);
    int ok = method == 0 ? add_stored(arc, path, arcname)
                         : add_compressed(arc, path, arcname, method);
    if (ok)
        g_add_tally.added++;
    else
        g_add_tally.failed++;
    return ok;
}

int add_any(FILE *arc, const char *path, const char *arcname, int method);

// An empty directory keeps its name as an entry "name/" with no data.
int add_empty_dir(FILE *arc, const char *arcname, const struct stat *st)
{
    char name[256];
    copy_name(name, strip_arc_root(arcname), 254);
    size_t n = strlen(name);
    if (n == 0 || name[n - 1] != '/') {
        name[n] = '/';
        name[n + 1] = 0;
    }
    EntryHeader h;
    fill_header(&h, name, mtime_or_now(st));
    h.method = 0;
    h.is_dir = 1;
    if (!tmb_write_header_lv2(arc, &h)) {
        fprintf(stderr, "  Write error: %s\n", name);
        g_add_tally.broken = 1;
        g_add_tally.failed++;
        return 0;
    }
    g_add_tally.added++;
    return 1;
}

// The listing's type saves a status call for everything but links (and
// for file systems that do not report types).
bool is_link_to_dir(const struct dirent *de, const char *path)
{
    struct stat st;
    if (de->d_type != DT_LNK && de->d_type != DT_UNKNOWN)
        return false;
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Walks one directory. Symbolic links to directories are not followed
// below the top level: a link pointing upwards would make the walk
// endless, so such a link is reported and stored as nothing. Links to
// files are stored as the file they point to.
int add_dir(FILE *arc, const char *path, const char *arcname, int method, const struct stat *st)
{
    if (!g_opts.quiet)
        printf("  adding dir:  %s\n", arcname);
    if (!g_opts.recursive)
        return 1;
    DIR *d = opendir(path);
    if (!d) {
        fprintf(stderr, "  Cannot list directory: %s (%s)\n", path, strerror(errno));
        g_add_tally.failed++;
        return 0;
    }
    int result = 1;
    int entries = 0;
    struct dirent *de;
    while ((de = readdir(d)) != nullptr) {
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
            continue;
        entries++;
        char child[256], child_arc[256];
        if (!join_path_checked(child, path, de->d_name) ||
            !join_path_checked(child_arc, arcname, de->d_name)) {
            g_add_tally.failed++;
            result = 0;
            continue;
        }
        if (is_link_to_dir(de, child)) {
            if (!g_opts.quiet)
                printf("  skipping link to directory:  %s\n", child_arc);
            continue;
        }
        // A failure below the directory makes the directory's result a
        // failure too, so that the caller counts it and reports it.
        if (!add_any(arc, child, child_arc, method))
            result = 0;
    }
    closedir(d);
    if (entries > 0 || g_opts.exclude_empty)
        return result;
    return add_empty_dir(arc, arcname, st);
}

// A path given by the caller is followed even when it is a link to a
// directory; below it add_dir has already passed over such links.
int add_any(FILE *arc, const char *path, const char *arcname, int method)
{
    struct stat st;
    bool have = stat(path, &st) == 0;
    if (have && S_ISDIR(st.st_mode))
        return add_dir(arc, path, arcname, method, &st);
    return add_file(arc, path, arcname, method, have ? &st : nullptr);
}

} // namespace

const char *strip_arc_root(const char *name)
{
    if (g_arc_root_len > 0) {
        size_t n = strlen(name);
        if (n < (size_t)g_arc_root_len)
            return name;
        return name + g_arc_root_len;
    }
    const char *base = name;
    for (const char *p = name; *p; p++)
        if (*p == '/' || *p == ':')
            base = p + 1;
    return base;
}

void add_set_archive(FILE *arc, FILE *old)
{
    FILE *streams[2] = {arc, old};
    for (int i = 0; i < 2; i++) {
        struct stat st;
        FileId &id = s_arc_ids[i];
        id.known = streams[i] && fstat(fileno(streams[i]), &st) == 0;
        if (id.known) {
            id.dev = st.st_dev;
            id.ino = st.st_ino;
        }
    }
}

int add_path(FILE *arc, const char *path, const char *arcname, int method)
{
    return add_any(arc, path, arcname, method);
}
