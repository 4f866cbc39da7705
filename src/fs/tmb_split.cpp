// Splitting a file into numbered parts, the sidecar, joining with
// verification, and the auto-join used by the reading commands.
//
// Parts are plain byte slices without a header of their own: "file.001",
// "file.002", ... (three digits at least, four from part 1000 on). Every
// part but the last holds exactly the part size; the last holds the rest,
// so an empty file gives no part at all. The sidecar "file.info" is a text
// file of five lines:
//
//     TAMBRIXSPLIT 1
//     name=<base name of the file>
//     size=<bytes>
//     parts=<count>
//     crc16=<four upper-case hex digits>
//
// The CRC-16 is the archive CRC (tmb_crc16) carried across part boundaries,
// one checksum for the whole file. A join reads only the size= and crc16=
// lines; the later of two equal keys counts.
//
// Every write and every close is checked: a full disk must show up as an
// error at the split, not as a damaged file at the join. Part, sidecar and
// output names are built in 256-byte buffers; a name that does not fit is
// refused rather than cut, since a cut name could hit another part or the
// input itself.
#include "tmb_split.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "tmb_cleanup.h"
#include "tmb_header.h"
#include "tmb_atomic.h"
#include "tmb_io.h"

namespace {

constexpr size_t COPY_BUF_SIZE = 65536;
constexpr size_t NAME_SIZE = 256;

// "Part name": longer than 4 characters, ending in '.' and three digits.
int is_part_name(const char *p)
{
    size_t n = strlen(p);
    if (n <= 4 || p[n - 4] != '.')
        return 0;
    for (size_t i = n - 3; i < n; i++)
        if (p[i] < '0' || p[i] > '9')
            return 0;
    return 1;
}

// Builds "base.NNN"; 0 (with a message) when it does not fit.
int make_part_name(const MessageSink &m, char *buf, const char *base, unsigned long k)
{
    int n = snprintf(buf, NAME_SIZE, "%s.%03lu", base, k);
    if (n < 0 || (size_t)n >= NAME_SIZE) {
        msg_printf(m, MSG_ERR, "Name too long: %s.%03lu\n", base, k);
        return 0;
    }
    return 1;
}

int make_info_name(const MessageSink &m, char *buf, const char *base)
{
    int n = snprintf(buf, NAME_SIZE, "%s.info", base);
    if (n < 0 || (size_t)n >= NAME_SIZE) {
        msg_printf(m, MSG_ERR, "Name too long: %s.info\n", base);
        return 0;
    }
    return 1;
}

int write_all(const MessageSink &m, FILE *fp, const void *buf, size_t len, const char *name)
{
    if (len && fwrite(buf, 1, len, fp) != len) {
        msg_printf(m, MSG_ERR, "Cannot write: %s (%s)\n", name, strerror(errno));
        return 0;
    }
    return 1;
}

// Closes a stream written so far without error (`ok`), and reports when
// buffered bytes did not reach the file. After an error already reported
// the stream is only closed.
int close_checked(const MessageSink &m, FILE *fp, const char *name, int ok)
{
    if (!ok) {
        fclose(fp);
        return 0;
    }
    errno = 0;
    // Parts, the sidecar and a joined archive reach the disk before they
    // take their names (tmb_atomic's rule for archives).
    int synced = fflush(fp) == 0 && tmb_atomic_sync(fileno(fp));
    if (!tmb_close_checked(fp) || !synced) {
        msg_printf(m, MSG_ERR, "Cannot write: %s (%s)\n", name,
                   errno ? strerror(errno) : "write error");
        return 0;
    }
    return 1;
}

// Removes a file left behind by a failed operation, but only a regular
// file: an output that is a device or a link to one is left alone.
void remove_output(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode))
        remove(path);
}

// Every file a split or a join makes (part, sidecar, joined output) is
// written whole or not at all (tmb_atomic): a link planted at a part name
// in a shared directory cannot redirect the write.
FILE *create_beside(const char *final_name, AtomicFile *tmp)
{
    return tmb_atomic_create_beside(tmp, final_name, tmb_new_file_mode());
}

// ---------------------------------------------------------------- split

struct SplitResult {
    unsigned long parts = 0;
    uint64_t total = 0;
    uint16_t crc = 0;
    unsigned long placed = 0;  // parts renamed into place, removed on failure
    // A part that cannot be created is reported by its one line alone; the
    // other failures add a line that says what became of the file.
    bool create_failed = false;
};

// Reads the next chunk of at most `want` bytes; 0 at the end of the file.
// A read error is reported and gives -1.
long read_chunk(const MessageSink &m, FILE *in, const char *path, unsigned char *buf, uint64_t want)
{
    size_t n = want < COPY_BUF_SIZE ? (size_t)want : COPY_BUF_SIZE;
    size_t got = fread(buf, 1, n, in);
    if (got == 0 && ferror(in)) {
        msg_printf(m, MSG_ERR, "Cannot read: %s (%s)\n", path, strerror(errno));
        return -1;
    }
    return (long)got;
}

// Writes one part: the `got` bytes already in `buf`, then further chunks
// until the part is full or the file ends.
int fill_part(const MessageSink &m, FILE *in, const char *path, FILE *part, const char *part_name,
              uint64_t part_bytes, unsigned char *buf, long got, SplitResult &r)
{
    uint64_t room = part_bytes;
    while (got > 0) {
        if (!write_all(m, part, buf, (size_t)got, part_name))
            return 0;
        r.crc = tmb_crc16(buf, (size_t)got, r.crc);
        r.total += (uint64_t)got;
        room -= (uint64_t)got;
        if (room == 0)
            return 1;
        got = read_chunk(m, in, path, buf, room);
    }
    return got == 0;
}

// The part loop. The first chunk of a part is read before the part is
// created, so a part exists only when at least one byte is left for it and
// a size that is an exact multiple of the part size gives no empty part.
//
// The streams are unbuffered: every transfer is a whole chunk of up to
// 64 KB, which goes to the system in one call instead of being copied
// through a stdio buffer.
int write_parts(const SplitSettings &set, FILE *in, const char *path, uint64_t part_bytes, unsigned char *buf,
                SplitResult &r)
{
    const MessageSink &m = set.msg;
    char part_name[NAME_SIZE];
    AtomicFile tmp;
    for (;;) {
        long got = read_chunk(m, in, path, buf, part_bytes);
        if (got <= 0)
            return got == 0;

        r.parts++;
        if (!make_part_name(m, part_name, path, r.parts))
            return 0;
        FILE *part = create_beside(part_name, &tmp);
        if (!part) {
            msg_printf(m, MSG_ERR, "Cannot create: %s\n", part_name);
            r.create_failed = true;
            return 0;
        }
        setvbuf(part, nullptr, _IONBF, 0);
        if (!set.quiet) {
            msg_printf(m, MSG_OUT, "  writing: %s\n", part_name);
            msg_flush(m, MSG_OUT);
        }
        int ok = fill_part(m, in, path, part, part_name, part_bytes, buf, got, r);
        if (!close_checked(m, part, part_name, ok)) {
            tmb_atomic_abort(&tmp);
            return 0;
        }
        if (!tmb_atomic_place(&tmp)) {
            msg_printf(m, MSG_ERR, "Cannot create: %s\n", part_name);
            r.create_failed = true;
            return 0;
        }
        r.placed = r.parts;
    }
}

// A failed split takes back the parts it made: a series that stops short
// would join into a file that is not the original.
void remove_placed_parts(const MessageSink &m, const char *path, const SplitResult &r)
{
    char part_name[NAME_SIZE];
    for (unsigned long k = 1; k <= r.placed; k++)
        if (make_part_name(m, part_name, path, k))
            remove(part_name);
}

// Parts numbered after the last one written may remain from an earlier,
// longer split of the same name. A join reads every part up to the first
// gap, so they would be glued onto this file: remove them.
int remove_stale_parts(const MessageSink &m, const char *path, const FileId &in_id, unsigned long parts)
{
    char part_name[NAME_SIZE];
    for (unsigned long k = parts + 1;; k++) {
        int n = snprintf(part_name, NAME_SIZE, "%s.%03lu", path, k);
        if (n < 0 || (size_t)n >= NAME_SIZE)
            return 1;
        struct stat st;
        if (lstat(part_name, &st) != 0)
            return 1;
        // Only files and links go; anything else is not ours to remove.
        int removable = (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) && tmb_file_id(st) != in_id;
        if (!removable || remove(part_name) != 0) {
            msg_printf(m, MSG_ERR, "Cannot remove stale part: %s\n", part_name);
            return 0;
        }
        msg_printf(m, MSG_OUT, "Removed stale part: %s\n", part_name);
    }
}

int write_sidecar(const MessageSink &m, const char *info_name, const char *path, const SplitResult &r)
{
    AtomicFile tmp;
    FILE *fp = create_beside(info_name, &tmp);
    if (!fp) {
        msg_printf(m, MSG_ERR, "Cannot create: %s\n", info_name);
        return 0;
    }
    int ok = fprintf(fp, "TAMBRIXSPLIT 1\nname=%s\nsize=%lu\nparts=%lu\ncrc16=%04X\n",
                     tmb_base_name(path), (unsigned long)r.total, r.parts, (unsigned)r.crc) > 0;
    if (!ok)
        msg_printf(m, MSG_ERR, "Cannot write: %s (%s)\n", info_name, strerror(errno));
    if (!close_checked(m, fp, info_name, ok)) {
        tmb_atomic_abort(&tmp);
        return 0;
    }
    if (!tmb_atomic_place(&tmp)) {
        msg_printf(m, MSG_ERR, "Cannot create: %s (%s)\n", info_name, strerror(errno));
        return 0;
    }
    return 1;
}

// Measures the size by seeking to the end, as the "Splitting:" line wants
// it before the first byte is copied.
int measure(const MessageSink &m, FILE *in, const char *path, uint64_t &size)
{
    off_t end;
    if (fseeko(in, 0, SEEK_END) != 0 || (end = ftello(in)) < 0 || fseeko(in, 0, SEEK_SET) != 0) {
        msg_printf(m, MSG_ERR, "Cannot read: %s (%s)\n", path, strerror(errno));
        return 0;
    }
    size = (uint64_t)end;
    return 1;
}

// ----------------------------------------------------------------- join

struct Expected {
    int present = 0;  // a sidecar was found
    int have_size = 0, have_crc = 0, have_parts = 0;
    uint64_t size = 0;
    unsigned crc = 0;
    unsigned long parts = 0;  // only to name a missing part
};

// Reads the size=, crc16= and parts= keys; every other line (the magic
// line too) is ignored. Lines longer than 255 characters are read in pieces.
void read_sidecar(FILE *fp, Expected &e)
{
    char line[NAME_SIZE];
    while (fgets(line, sizeof line, fp)) {
        if (strncmp(line, "size=", 5) == 0) {
            e.size = strtoull(line + 5, nullptr, 10);
            e.have_size = 1;
        } else if (strncmp(line, "parts=", 6) == 0) {
            e.parts = strtoul(line + 6, nullptr, 10);
            e.have_parts = 1;
        } else if (strncmp(line, "crc16=", 6) == 0) {
            e.crc = (unsigned)(strtoul(line + 6, nullptr, 16) & 0xFFFF);
            e.have_crc = 1;
        }
    }
}


// Opens a file to read whole: only a regular file. A FIFO or a device
// would block or never end (a link to /dev/zero would fill the disk with
// parts). O_NONBLOCK keeps the open itself from waiting on a FIFO. The
// inputs of a join are also never reached through a symbolic link (it
// could make the join read any file of the user's): `follow` 0. Returns
// nullptr with errno set (ENOENT: there is no such file; ELOOP: a link;
// EINVAL: not a regular file); `id` receives the identity of the file.
FILE *open_regular(const char *path, bool follow, FileId &id)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    id = tmb_file_id(st);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *fp = fdopen(fd, "rb");
    if (!fp)
        close(fd);
    return fp;
}

FILE *open_join_input(const char *path, FileId &id)
{
    return open_regular(path, false, id);
}

// The directory a path lies in ("." when it names none) and its last part;
// false when that directory cannot be looked at.
bool place_of(const char *path, FileId *dir, std::string *leaf)
{
    const char *slash = strrchr(path, '/');
    std::string d = slash ? std::string(path, (size_t)(slash - path) + 1) : std::string(".");
    struct stat st;
    if (stat(d.c_str(), &st) != 0)
        return false;
    *dir = tmb_file_id(st);
    *leaf = slash ? slash + 1 : path;
    return true;
}

// True when `leaf` names a member of the series `stem`: "stem.info" or a
// part "stem.NNN" numbered as parts are named (001 to 999, then 1000 on).
bool is_series_name(const std::string &stem, const char *leaf)
{
    size_t n = stem.size();
    if (strncmp(leaf, stem.c_str(), n) != 0 || leaf[n] != '.')
        return false;
    const char *num = leaf + n + 1;
    if (strcmp(num, "info") == 0)
        return true;
    size_t len = strspn(num, "0123456789");
    if (len < 3 || len > 19 || num[len] != '\0')
        return false;
    unsigned long k = strtoul(num, nullptr, 10);
    char made[24];
    snprintf(made, sizeof made, "%03lu", k);
    return k >= 1 && strcmp(made, num) == 0;
}

// The series the last join read, by the identity of its directory and the
// name its members start with: a file written under a member's name there
// (a part not yet present included) would become part of the series.

void report_refused_input(const MessageSink &m, const char *path)
{
    const char *why = errno == ELOOP ? "it is a symbolic link"
                      : errno == EINVAL ? "not a regular file"
                                        : strerror(errno);
    msg_printf(m, MSG_ERR, "Cannot read: %s (%s)\n", path, why);
}

// Refuses an output that is one of the parts or the sidecar: opening it for
// writing would destroy the input before it is read.
int output_is_input(const MessageSink &m, const char *base, const char *info_name, const char *out_path)
{
    // An output named as a member of the series (a part not there yet
    // included) would replace it, or join into the series and lengthen it.
    // Names are compared in the directory they lie in, found by its
    // identity: "./arc.004" and "sub/../arc.004" are "arc.004".
    FileId out_dir, base_dir;
    std::string out_leaf, stem;
    if (place_of(out_path, &out_dir, &out_leaf) && place_of(base, &base_dir, &stem) &&
        out_dir == base_dir && is_series_name(stem, out_leaf.c_str())) {
        msg_printf(m, MSG_ERR, "Output would overwrite its own input: %s\n", out_path);
        return 1;
    }
    struct stat out_st;
    if (stat(out_path, &out_st) != 0)
        return 0;
    FileId out_id = tmb_file_id(out_st);
    char part_name[NAME_SIZE];
    int hit = tmb_path_is(info_name, out_id);
    for (unsigned long k = 1; !hit; k++) {
        struct stat ps;
        int n = snprintf(part_name, NAME_SIZE, "%s.%03lu", base, k);
        if (n < 0 || (size_t)n >= NAME_SIZE || stat(part_name, &ps) != 0)
            break;
        hit = tmb_file_id(ps) == out_id;
    }
    if (hit)
        msg_printf(m, MSG_ERR, "Output would overwrite its own input: %s\n", out_path);
    return hit;
}

// Copies one open part to the output. Stops early, successfully, once the
// output holds more than `limit` bytes: the verification then fails on the
// size without the join reading on through whatever the parts hold.
int copy_part(const MessageSink &m, FILE *part, const char *part_name, FILE *out, const char *out_path,
              unsigned char *buf, uint64_t limit, uint64_t &total, uint16_t &crc)
{
    for (;;) {
        size_t got = fread(buf, 1, COPY_BUF_SIZE, part);
        if (got == 0) {
            if (ferror(part)) {
                msg_printf(m, MSG_ERR, "Cannot read: %s (%s)\n", part_name, strerror(errno));
                return 0;
            }
            return 1;
        }
        if (!write_all(m, out, buf, got, out_path))
            return 0;
        crc = tmb_crc16(buf, got, crc);
        total += got;
        if (total > limit)
            return 1;
    }
}

// The part loop: 1, 2, 3, ... up to the first part that does not exist.
int copy_parts(const SplitSettings &set, std::vector<FileId> &inputs, const char *base, FILE *out, const char *out_path, const FileId &out_id,
               uint64_t limit, unsigned char *buf, unsigned long &parts, uint64_t &total,
               uint16_t &crc)
{
    const MessageSink &m = set.msg;
    char part_name[NAME_SIZE];
    for (unsigned long k = 1;; k++) {
        if (!make_part_name(m, part_name, base, k))
            return 0;
        FileId part_id;
        FILE *part = open_join_input(part_name, part_id);
        if (!part) {
            if (errno != ENOENT) {
                report_refused_input(m, part_name);
                return 0;
            }
            return 1;
        }
        setvbuf(part, nullptr, _IONBF, 0);
        if (part_id == out_id) {
            // The output was created under a part's name: reading it while
            // writing it would never end.
            fclose(part);
            msg_printf(m, MSG_ERR, "Output would overwrite its own input: %s\n", out_path);
            return 0;
        }
        inputs.push_back(part_id);
        if (!set.quiet) {
            msg_printf(m, MSG_OUT, "  reading: %s\n", part_name);
            msg_flush(m, MSG_OUT);
        }
        int ok = copy_part(m, part, part_name, out, out_path, buf, limit, total, crc);
        fclose(part);
        if (!ok)
            return 0;
        parts++;
        if (total > limit)
            return 1;
    }
}

// Reads the sidecar before the parts, so that its size bounds the join.
// 0 when it is there but cannot be used (a link, the output itself).
int load_expected(const MessageSink &m, std::vector<FileId> &inputs, const char *info_name, const char *out_path, const FileId &out_id, Expected &e)
{
    FileId id;
    FILE *fp = open_join_input(info_name, id);
    if (!fp) {
        if (errno == ENOENT)
            return 1;
        report_refused_input(m, info_name);
        return 0;
    }
    if (id == out_id) {
        fclose(fp);
        msg_printf(m, MSG_ERR, "Output would overwrite its own input: %s\n", out_path);
        return 0;
    }
    inputs.push_back(id);
    e.present = 1;
    read_sidecar(fp, e);
    fclose(fp);
    return 1;
}

// Compares the joined bytes with the sidecar. Returns the join's result.
// A short result from fewer parts than the sidecar counts names the part
// after the last one read: the series ended there, so that part is missing.
int verify(const SplitSettings &set, const char *base, const char *info_name, const Expected &e, unsigned long parts,
           uint64_t total, uint16_t crc)
{
    const MessageSink &m = set.msg;
    if (!e.present) {
        // Said on standard error even under -q: a script must be able to
        // tell that nothing vouches for these bytes.
        msg_printf(m, MSG_ERR, "No .info sidecar found (%s) -- cannot verify integrity\n", info_name);
        return 0;
    }
    if (!e.have_size || !e.have_crc)
        return 0;
    if (e.size != total || e.crc != crc) {
        msg_printf(m, MSG_ERR,
                   "VERIFICATION FAILED: expected size=%lu crc16=%04X, got size=%lu crc16=%04X\n",
                   (unsigned long)e.size, e.crc, (unsigned long)total, (unsigned)crc);
        if (total < e.size && e.have_parts && parts < e.parts)
            msg_printf(m, MSG_ERR, "Missing part: %s.%03lu\n", base, parts + 1);
        return 1;
    }
    if (!set.quiet)
        msg_printf(m, MSG_OUT, "Verified OK against %s (size and CRC16 match)\n", info_name);
    return 0;
}

// Joins the parts of `base` into the open, empty stream `out` of the file
// `file` and closes it; messages name the output `out_path`. On failure the
// file is removed (when it is a regular file).
int join_into(const SplitSettings &set, StandIn *in, const char *base, FILE *out, const char *file,
              const char *out_path)
{
    const MessageSink &m = set.msg;
    setvbuf(out, nullptr, _IONBF, 0);  // whole chunks go straight out
    char info_name[NAME_SIZE];
    FileId out_id;
    int named = make_info_name(m, info_name, base);
    if (!named || !tmb_stream_id(out, &out_id)) {
        if (named)
            msg_printf(m, MSG_ERR, "Cannot create: %s (%s)\n", out_path, strerror(errno));
        fclose(out);
        remove_output(file);
        return 1;
    }
    in->join_inputs.clear();
    in->series_set = place_of(base, &in->series_dir, &in->series_stem);
    Expected e;
    if (!load_expected(m, in->join_inputs, info_name, out_path, out_id, e)) {
        fclose(out);
        remove_output(file);
        return 1;
    }
    unsigned char *buf = static_cast<unsigned char *>(malloc(COPY_BUF_SIZE));
    if (!buf) {
        fclose(out);
        msg_printf(m, MSG_ERR, "Out of memory\n");
        remove_output(file);
        return 1;
    }
    if (!set.quiet)
        msg_printf(m, MSG_OUT, "Joining: %s -> %s\n", base, out_path);

    unsigned long parts = 0;
    uint64_t total = 0;
    uint16_t crc = 0;
    uint64_t limit = e.have_size ? e.size : UINT64_MAX;
    int ok = copy_parts(set, in->join_inputs, base, out, out_path, out_id, limit, buf, parts, total, crc);
    free(buf);
    ok = close_checked(m, out, out_path, ok);
    if (!ok) {
        msg_printf(m, MSG_ERR, "Removing incomplete output: %s\n", out_path);
        remove_output(file);
        return 1;
    }
    if (parts == 0) {
        msg_printf(m, MSG_ERR, "No parts found matching: %s.001\n", base);
        remove_output(file);
        return 1;
    }
    if (!set.quiet)
        msg_printf(m, MSG_OUT, "\nJoined %lu part(s), %lu bytes total, CRC16=%04X\n", parts,
                   (unsigned long)total, (unsigned)crc);
    int result = verify(set, base, info_name, e, parts, total, crc);
    if (result) {
        msg_printf(m, MSG_ERR, "Removing corrupted output: %s\n", out_path);
        remove_output(file);
    }
    msg_flush(m, MSG_OUT);
    return result;
}

} // namespace

int split_file(const SplitSettings &set, const char *path, uint64_t part_kb, int remove_after)
{
    const MessageSink &m = set.msg;
    // Part sizes are counted in KB; a size whose byte count does not fit in
    // 64 bits (a negative count widened with its sign, say) is no size.
    if (part_kb == 0 || part_kb > UINT64_MAX / 1024) {
        msg_printf(m, MSG_ERR, "Invalid part size: %lu\n", 0UL);
        return 1;
    }
    uint64_t part_bytes = part_kb * 1024;
    char info_name[NAME_SIZE];
    if (!make_info_name(m, info_name, path))
        return 1;

    // Only a regular file is split (a link to one is followed): a
    // directory's "size" is whatever the file system reports for a seek,
    // and a device or a FIFO has no end to split up to.
    FileId in_id;
    FILE *in = open_regular(path, true, in_id);
    if (!in) {
        msg_printf(m, MSG_ERR, "Cannot open: %s\n", path);
        return 1;
    }
    uint64_t size = 0;
    setvbuf(in, nullptr, _IONBF, 0);
    if (!measure(m, in, path, size)) {
        fclose(in);
        return 1;
    }
    unsigned char *buf = static_cast<unsigned char *>(malloc(COPY_BUF_SIZE));
    if (!buf) {
        fclose(in);
        msg_printf(m, MSG_ERR, "Out of memory\n");
        return 1;
    }
    msg_printf(m, MSG_OUT, "Splitting: %s (%lu bytes) into %luKB parts\n", path, (unsigned long)size,
               (unsigned long)part_kb);

    SplitResult r;
    int ok = write_parts(set, in, path, part_bytes, buf, r);
    free(buf);
    fclose(in);
    if (ok)
        ok = remove_stale_parts(m, path, in_id, r.parts);
    // The sidecar describes the parts as written; it equals the measured
    // size unless the file changed while it was being split.
    if (ok)
        ok = write_sidecar(m, info_name, path, r);
    if (!ok) {
        remove_placed_parts(m, path, r);
        if (!r.create_failed)
            msg_printf(m, MSG_ERR, "Split failed: %s is %s\n", path,
                       remove_after ? "kept, not removed" : "unchanged");
        msg_flush(m, MSG_OUT);
        return 1;
    }

    msg_printf(m, MSG_OUT, "\nDone. %lu part(s) written, CRC16=%04X\n", r.parts, (unsigned)r.crc);
    msg_printf(m, MSG_OUT, "Info file: %s\n", info_name);
    if (remove_after) {
        if (remove(path) == 0)
            msg_printf(m, MSG_OUT, "Removed original: %s\n", path);
        else
            msg_printf(m, MSG_ERR, "Warning: could not remove original %s\n", path);
    }
    msg_flush(m, MSG_OUT);
    return 0;
}

int join_parts(const SplitSettings &set, const char *part_name, const char *out_path)
{
    const MessageSink &m = set.msg;
    char base[NAME_SIZE];
    snprintf(base, sizeof base, "%s", part_name);
    if (!is_part_name(base) || strlen(part_name) >= NAME_SIZE) {
        msg_printf(m, MSG_ERR,
                   "Expected a part filename ending in .NNN (e.g. archive.tmb.001), got: %s\n",
                   part_name);
        return 1;
    }
    base[strlen(base) - 4] = '\0';

    char info_name[NAME_SIZE];
    if (!make_info_name(m, info_name, base))
        return 1;
    // A link counts as an existing output even when it leads nowhere; with
    // -o it is replaced by the joined file, never written through.
    struct stat out_st;
    if (!set.force_overwrite && lstat(out_path, &out_st) == 0) {
        msg_printf(m, MSG_ERR, "Output file already exists: %s (use -o to overwrite)\n", out_path);
        return 1;
    }
    if (output_is_input(m, base, info_name, out_path))
        return 1;
    // A device, a FIFO or a directory (or a link to one) is never replaced
    // by the joined file: as root, "-o /dev/null" would otherwise replace
    // the system's device with a plain file.
    struct stat old_st;
    int old_fd = tmb_open_to_replace(m, out_path, &old_st);
    if (old_fd == -2)
        return 1;
    if (old_fd >= 0)
        close(old_fd);
    // Joined beside the output and renamed into place when verified: an
    // existing output stays whole until then.
    AtomicFile tmp;
    FILE *out = create_beside(out_path, &tmp);
    if (!out) {
        msg_printf(m, MSG_ERR, "Cannot create: %s\n", out_path);
        return 1;
    }
    StandIn read;
    if (join_into(set, &read, base, out, tmp.tmp.c_str(), out_path) != 0) {
        tmb_atomic_forget(&tmp);  // join_into has removed it
        return 1;
    }
    if (!tmb_atomic_place(&tmp)) {
        msg_printf(m, MSG_ERR, "Cannot create: %s (%s)\n", out_path, strerror(errno));
        return 1;
    }
    return 0;
}

int looks_like_split_part(const char *archive)
{
    return is_part_name(archive);
}

const char *maybe_join_for_read(StandIn *in, const SplitSettings &set, const char *archive)
{
    const MessageSink &m = set.msg;
    if (!looks_like_split_part(archive))
        return nullptr;
    if (!set.quiet)
        msg_printf(m, MSG_OUT, "Detected split parts -- joining before extraction.\n");

    // The name is unique and the file is created exclusively (mode 0600),
    // so neither a second process nor a planted file or link can be hit.
    // The process id only makes the name easy to trace.
    char prefix[NAME_SIZE];
    snprintf(prefix, sizeof prefix, "%s/tambrix_joined_%d_", tmb_temp_dir(), (int)getpid());
    FILE *out = tmb_create_temp(prefix, ".tmp", in->tmpname, sizeof in->tmpname);
    if (!out) {
        msg_printf(m, MSG_ERR, "Cannot create temporary file: %s (%s)\n", tmb_temp_dir(), strerror(errno));
        in->tmpname[0] = '\0';
        return nullptr;
    }

    char base[NAME_SIZE];
    snprintf(base, sizeof base, "%s", archive);
    base[strlen(base) - 4] = '\0';
    if (join_into(set, in, base, out, in->tmpname, in->tmpname) != 0) {
        tmb_cleanup_release(in->tmpname);  // join_into has removed the file
        in->tmpname[0] = '\0';
        return nullptr;
    }
    snprintf(in->user_archive, sizeof in->user_archive, "%s", archive);
    return in->tmpname;
}

void stand_in_for_archive(StandIn *in, const char *tmp, const char *archive)
{
    snprintf(in->tmpname, sizeof in->tmpname, "%s", tmp);
    snprintf(in->user_archive, sizeof in->user_archive, "%s", archive);
}

void release_joined_for_read(StandIn *in, const char *tmp)
{
    if (!tmp || !*tmp)
        return;
    remove(tmp);
    tmb_cleanup_release(tmp);
    // The guard holds a pointer to tmpname: clearing it makes a second call
    // a no-op instead of removing a file someone else made under that name.
    if (tmp == in->tmpname) {
        in->tmpname[0] = '\0';
        in->user_archive[0] = '\0';
        in->join_inputs.clear();
        in->series_set = false;
    }
}

const char *tmb_archive_shown(const StandIn &in, const char *archive)
{
    return in.tmpname[0] && in.user_archive[0] ? in.user_archive : archive;
}

const char *tmb_archive_read(const StandIn &in, const char *archive)
{
    return in.tmpname[0] && in.user_archive[0] ? in.tmpname : archive;
}

bool tmb_joined_series_member(const StandIn &in, int dirfd, const char *leaf)
{
    struct stat st;
    // Only while a joined temporary stands in for the archive.
    return in.series_set && in.tmpname[0] && in.user_archive[0] && fstat(dirfd, &st) == 0 &&
           tmb_file_id(st) == in.series_dir && is_series_name(in.series_stem, leaf);
}
