// The commands x and e: write the selected entries of an archive out as
// files. x keeps the directory part of each entry name and creates the
// directories it needs; e writes every file under its base name. Both write
// below the work directory (-d, or a file argument ending in ':' or '/').
//
// Entry names come from the archive and are not trusted: a name that would
// leave the work directory (absolute, or with a '..' level) is refused, and
// below the work directory every level is opened through the descriptor of
// the level above without following a link (tmb_outdir). Each file is
// unpacked into an exclusive temporary file in its directory and renamed
// over its name only once the whole entry came out with a matching CRC, so
// an entry that fails never damages the file that was there, a hard link is
// replaced rather than written through, and a FIFO or device in the way is
// never opened.
#include <cerrno>
#include <cstdio>
#include <string>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tambrix.h"
#include "tmb_autojoin.h"
#include "tmb_cmd.h"
#include "tmb_cleanup.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_match.h"
#include "tmb_method.h"
#include "tmb_io.h"
#include "tmb_outdir.h"
#include "tmb_progress.h"
#include "tmb_shown.h"
#include "tmb_split.h"
#include "tmb_stream.h"

namespace {

constexpr size_t kPathMax = 256;            // 255 characters and the NUL

// One run of the command: the archive, the counters of the summary and the
// answers given at the overwrite prompt that hold for the rest of the run.
struct ExtractRun {
    BufferedFile arc;
    // One output is open at a time; its buffer serves every extracted file,
    // which spares an allocation per entry.
    StreamBuffer output_buf;
    int strip_paths = 0;    // e: base names only
    int total = 0;          // entries expected, from the pre-count pass
    int index = 0;
    int extracted = 0;
    int skipped = 0;
    int errors = 0;
    int overwrite_all = 0;  // answer 'A'
    int skip_all = 0;       // answer 'N'
    std::vector<FileId> inputs;  // the archive and the parts it was joined from
    bool at_next = false;   // the archive stands at the next header already
    OutDir out;             // the target tree
    // A work directory ending in ':' (an AmigaOS device such as "RAM:")
    // joins its entries without a '/': on this system that last part is a
    // prefix of every entry's first component, not a directory.
    std::string name_prefix;
};

// Output path for an entry name, for messages and the length limit: the
// name below the work directory. An AmigaOS device ("RAM:") or a trailing
// '/' already ends a directory, any other work directory gets a '/' between.
std::string join_path(const char *name)
{
    size_t n = strlen(g_opts.work_dir);
    const char *sep = "/";
    if (n == 0 || g_opts.work_dir[n - 1] == ':' || g_opts.work_dir[n - 1] == '/')
        sep = "";
    return std::string(g_opts.work_dir) + sep + name;
}

// Why an entry's relative output name is not safe to create, or nullptr.
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

void refuse_unsafe(ExtractRun &r, const char *name, const char *reason)
{
    dbg_log("unsafe name '%s' (%s) -> refusing", name, reason);
    fprintf(stderr, "  WARNING: refusing entry '%s': %s would leave the target directory\n",
            tmb_shown(name).c_str(), reason);
    r.errors++;
}

// Names written on MS-DOS and Windows separate levels with '\'.
void normalize_name(char *name)
{
    for (char *s = name; *s; s++)
        if (*s == '\\')
            *s = '/';
}

// Entries the main loop will take up as files, for the "[i/n]" counter:
// the same test as the loop's, after the same backslash rule.
int count_wanted(const char *archive)
{
    BufferedFile arc(fopen(archive, "rb"));
    FILE *fp = arc.get();
    if (!fp)
        return 0;
    int total = 0;
    int64_t size = tmb_file_size(fp);
    EntryHeader h;
    const char *why = nullptr;
    while (tmb_walk_next(fp, size, &h, &why) == TMB_WALK_ENTRY) {
        normalize_name(h.name);
        if (!h.is_dir && file_wanted(h.name))
            total++;
        if (fseeko(fp, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) != 0)
            break;
    }
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

// Asks before replacing an existing name (whatever it is: a file without
// read permission, a link, a FIFO). Returns 1 to go on, 0 when the entry is
// skipped (counted here).
int confirm_overwrite(ExtractRun &r, const std::string &outpath)
{
    dbg_log("overwrite-check fopen('%s','rb') = %s", outpath.c_str(), "EXISTS");
    if (r.skip_all) {
        dbg_log("skip_all: skipping");
        r.skipped++;
        return 0;
    }
    if (r.overwrite_all)
        return 1;
    printf("  overwrite %s? [y]es [n]o [A]ll [N]one: ", tmb_shown(outpath.c_str()).c_str());
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

// True when `st`, the status of an output name, is the archive being read,
// one of the parts or the sidecar it was joined from (or a hard link to
// one of them): replacing it would destroy the user's archive.
bool is_an_input(const ExtractRun &r, const struct stat &st)
{
    for (const FileId &id : r.inputs)
        if (tmb_file_id(st) == id)
            return true;
    return false;
}

// Seconds and nanoseconds, the record futimens takes (as in stat's st_mtim).
using FileTime = decltype(stat::st_mtim);

// The "[i/n]" line. The total comes from a pass before this one; should
// the archive hold more than that pass saw, the total grows with the index.
void print_progress_line(ExtractRun &r, const EntryHeader &h)
{
    r.index++;
    if (r.index > r.total && r.total != 0)
        r.total = r.index;
    std::string name = tmb_shown(h.name);
    if (r.total != 0)
        printf("[%d/%d] %s: %-40s", r.index, r.total, "inflating", name.c_str());
    else
        printf("  %s: %-40s", "inflating", name.c_str());
    fflush(stdout);
}

// The create failure of a file entry, after its "[i/n]" line.
void report_cannot_create(ExtractRun &r, const EntryHeader &h, const std::string &outpath, int e)
{
    print_progress_line(r, h);
    fprintf(stderr, "\n  ERROR: cannot create %s\n", tmb_shown(outpath.c_str()).c_str());
    if (e == ELOOP)
        fprintf(stderr, "  (a symbolic link is in the way; it is not followed)\n");
    else if (e != ENOENT)
        fprintf(stderr, "  (%s)\n", strerror(e));
    r.errors++;
}

// Unpacks one entry into the open temporary file `fd` (closed here). On
// success the file is complete, its CRC matched and its time is set; the
// caller renames it. Returns 0, or 1 after reporting.
int unpack_to_temp(ExtractRun &r, const EntryHeader &h, int fd, const std::string &outpath)
{
    FILE *out = fdopen(fd, "wb");
    if (!out) {
        int e = errno;
        close(fd);
        printf(" ERROR\n");
        fprintf(stderr, "  ERROR: cannot write %s: %s\n", tmb_shown(outpath.c_str()).c_str(),
                strerror(e));
        return 1;
    }
    r.output_buf.attach(out);
    dbg_log("calling tmb_extract for '%s'", outpath.c_str());
    int rc = tmb_extract(r.arc.get(), out, &h);
    r.at_next = !ferror(r.arc.get());

    // Every byte must reach the file: a full disk or a file size limit shows
    // up in the writes, the final flush or the close, and is an error.
    int write_errno = 0;
    if (ferror(out) || fflush(out) != 0)
        write_errno = errno ? errno : EIO;
    bool crc_ok = rc == TMB_EXTRACT_OK && (g_extract_crc & 0xFFFF) == h.crc;
    // The time is set through the descriptor, before the close, on the
    // file that will take the name.
    if (crc_ok && !write_errno && h.mtime > 0) {
        FileTime ts[2];
        ts[0].tv_sec = ts[1].tv_sec = (time_t)h.mtime;
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        futimens(fileno(out), ts);
    }
    if (fclose(out) != 0 && !write_errno)
        write_errno = errno ? errno : EIO;
    tmb_prog_end();

    if (write_errno) {
        dbg_log("write to '%s' failed, errno=%d", outpath.c_str(), write_errno);
        printf(" ERROR\n");
        fflush(stdout);
        fprintf(stderr, "  ERROR: cannot write %s: %s\n", tmb_shown(outpath.c_str()).c_str(),
                strerror(write_errno));
        return 1;
    }
    if (rc != TMB_EXTRACT_OK) {
        dbg_log("tmb_extract returned non-zero (failure)");
        printf(" ERROR\n");
        fflush(stdout);
        tmb_report_entry(h.name, tmb_extract_reason(rc));
        return 1;
    }
    dbg_log("tmb_extract returned 0, expected_crc=%04X got_crc=%04X", h.crc,
            (unsigned)(g_extract_crc & 0xFFFF));
    if (!crc_ok) {
        printf(" CRC ERR (exp %04X got %04X)\n", h.crc, (unsigned)(g_extract_crc & 0xFFFF));
        tmb_report_entry(h.name, "CRC mismatch (damaged)");
        return 1;
    }
    return 0;
}

// Decodes one file entry into `leaf` of `dirfd` and reports the outcome.
void extract_file(ExtractRun &r, const EntryHeader &h, int dirfd, const std::string &leaf,
                  const std::string &outpath)
{
    dbg_log("attempting fopen('%s', \"wb\")", outpath.c_str());
    char tmp[32];
    // Made with the mode of a new file from the start: it holds nothing
    // that the finished file would not show.
    int fd = tmb_create_temp_at(dirfd, tmp, sizeof tmp, 0666);
    if (fd < 0) {
        int e = errno;
        dbg_log("fopen('%s', \"wb\") FAILED, errno=%d", outpath.c_str(), e);
        report_cannot_create(r, h, outpath, e);
        return;
    }
    print_progress_line(r, h);
    // Goes on every way out, signals included, until renamed into place.
    tmb_cleanup_add_at(dirfd, tmp);
    tmb_prog_begin(h.orig_size);
    int failed = unpack_to_temp(r, h, fd, outpath);
    if (!failed && renameat(dirfd, tmp, dirfd, leaf.c_str()) != 0) {
        int e = errno;
        printf(" ERROR\n");
        fprintf(stderr, "  ERROR: cannot create %s: %s\n", tmb_shown(outpath.c_str()).c_str(),
                strerror(e));
        failed = 1;
    }
    if (failed)
        unlinkat(dirfd, tmp, 0);
    tmb_cleanup_release_at(dirfd, tmp);
    if (failed) {
        r.errors++;
        return;
    }
    printf(" OK\n");
    r.extracted++;
}

// Reports a failure to make or enter a directory of the target.
void report_dir_failure(ExtractRun &r, const std::string &where, int e)
{
    std::string shown = tmb_shown(where.c_str());
    if (e == ELOOP)
        fprintf(stderr, "  ERROR: not writing below %s: it is a symbolic link\n", shown.c_str());
    else
        fprintf(stderr, "  ERROR: cannot create directory %s: %s\n", shown.c_str(), strerror(e));
    r.errors++;
}

// The directory `name` names below the target (whole: a directory entry),
// or the one its file goes into. -1 with errno set when the target itself
// cannot be opened (not reported); -2 after reporting a level below it.
int open_dirs(ExtractRun &r, const char *name, bool whole, std::string *leaf)
{
    if (outdir_root(r.out, !r.strip_paths) < 0)
        return -1;
    std::string rel = r.name_prefix + name;
    std::string failed;
    int fd = outdir_walk(r.out, rel.c_str(), whole, leaf, &failed);
    if (fd < 0) {
        // `failed` already holds the prefix: join it to the target alone.
        const std::string &root = r.out.root_path;
        std::string where = root.empty() || root.back() == '/' ? root + failed : root + "/" + failed;
        report_dir_failure(r, where, errno);
        return -2;
    }
    return fd;
}

void report_too_long(const std::string &outpath, const EntryHeader &h)
{
    fprintf(stderr, "Path too long: %s%s\n", tmb_shown(outpath.c_str()).c_str(),
            h.name_cut ? " (the name stored in the archive is longer)" : "");
}

void handle_entry(ExtractRun &r, EntryHeader &h)
{
    debug_header(h);
    normalize_name(h.name);
    dbg_log("name after backslash normalization: '%s'", h.name);

    if (!file_wanted(h.name)) {
        dbg_log("file_wanted('%s') returned FALSE -> skipping", h.name);
        r.skipped++;
        return;
    }
    dbg_log("file_wanted('%s') returned TRUE -> proceeding", h.name);

    if (h.is_dir) {
        dbg_log("entry is a directory");
        if (r.strip_paths)
            return;
        std::string outpath = join_path(h.name);
        if (outpath.size() >= kPathMax || h.name_cut) {
            report_too_long(outpath, h);
            r.errors++;
        } else if (const char *why = unsafe_reason(h.name)) {
            refuse_unsafe(r, h.name, why);
        } else {
            dbg_log("directory outpath='%s', calling mkdirs", outpath.c_str());
            if (open_dirs(r, h.name, true, nullptr) == -1)
                report_dir_failure(r, r.out.root_path, errno);
        }
        return;
    }

    const char *outname = h.name;
    if (r.strip_paths) {
        const char *slash = strrchr(h.name, '/');
        if (slash)
            outname = slash + 1;
    }
    std::string outpath = join_path(outname);
    dbg_log("built outpath='%s' (work_dir='%s', name='%s', strip_paths=%d)", outpath.c_str(),
            g_opts.work_dir, outname, r.strip_paths);
    // A path that does not fit is refused, never cut: a cut name could be
    // another entry's file or take the place of a directory. The same for
    // a name the header reader could not hold whole.
    if (outpath.size() >= kPathMax || h.name_cut) {
        report_too_long(outpath, h);
        r.errors++;
        return;
    }
    if (const char *why = unsafe_reason(outname)) {
        refuse_unsafe(r, h.name, why);
        return;
    }
    // An entry that cannot be unpacked touches nothing: no directory, no
    // question, no file.
    if (!tmb_extract_supported(&h)) {
        print_progress_line(r, h);
        printf(" ERROR\n");
        fprintf(stderr, "Unsupported method: %s: %s\n", tmb_method_name(h.method),
                tmb_shown(h.name).c_str());
        r.errors++;
        return;
    }
    dbg_log("calling mkdirs('%s') for parent directories", outpath.c_str());
    std::string leaf;
    int dirfd = open_dirs(r, outname, false, &leaf);
    if (dirfd == -1) {
        report_cannot_create(r, h, outpath, errno);
        return;
    }
    if (dirfd < 0) {
        return;
    }
    struct stat st;
    if (fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        std::string shown = tmb_shown(outpath.c_str());
        const char *why = is_an_input(r, st) ? "it is the archive being read"
                          : S_ISDIR(st.st_mode) ? "a directory is in the way"
                                                : nullptr;
        if (why) {
            fprintf(stderr, "  ERROR: not writing %s: %s\n", shown.c_str(), why);
            r.errors++;
            return;
        }
        if (!g_opts.force_overwrite && !confirm_overwrite(r, outpath)) {
            return;
        }
    } else {
        dbg_log("overwrite-check fopen('%s','rb') = %s", outpath.c_str(), "does not exist");
    }
    extract_file(r, h, dirfd, leaf, outpath);
}

} // namespace

int cmd_extract()
{
    ExtractRun r;
    r.strip_paths = g_opts.command == 'e';
    char joined[kPathMax];
    r.arc = tmb_open_archive(joined, sizeof joined);
    if (!r.arc)
        return 1;
    const char *shown_archive = tmb_archive_shown();

    dbg_open();
    dbg_log("=== cmd_extract start ===");
    dbg_log("archive='%s' work_dir='%s' strip_paths=%d force_overwrite=%d", g_opts.archive,
            g_opts.work_dir, r.strip_paths, g_opts.force_overwrite);
    dbg_log("nfiles=%d (file filter list; if >0, ONLY these names are extracted)", g_opts.nfiles);
    for (int i = 0; i < g_opts.nfiles; i++)
        dbg_log("  files[%d]='%s'", i, g_opts.files[i]);

    r.total = count_wanted(g_opts.archive);
    clock_t start = clock();

    FILE *arc = r.arc.get();
    FileId arc_id;
    if (tmb_stream_id(arc, &arc_id))
        r.inputs.push_back(arc_id);
    for (const FileId &id : tmb_join_inputs())
        r.inputs.push_back(id);
    // The target: the work directory, less a last part ending in ':' that
    // is a name prefix here (see ExtractRun).
    std::string root = g_opts.work_dir;
    if (!root.empty() && root.back() == ':') {
        size_t slash = root.rfind('/');
        r.name_prefix = root.substr(slash == std::string::npos ? 0 : slash + 1);
        root.erase(slash == std::string::npos ? 0 : slash + 1);
    }
    outdir_init(r.out, root.c_str());

    dbg_log("fopen archive '%s' = %s", g_opts.archive, "OK");
    printf("Extracting: %s\n\n", shown_archive);
    fflush(stdout);

    // Damage, a read error or a file that is no archive must not pass for
    // the end: what came before is extracted, then the run fails.
    int64_t size = tmb_file_size(arc);
    EntryHeader h;
    const char *why = nullptr;
    int64_t pos = 0;
    int walk;
    while ((walk = tmb_walk_next(arc, size, &h, &why)) == TMB_WALK_ENTRY) {
        r.at_next = h.comp_size == 0;
        handle_entry(r, h);
        // Whatever the entry read of its data, the next header is here.
        // (A seek costs a system call per entry: only when needed.)
        pos = h.data_pos + (int64_t)h.comp_size;
        if (!r.at_next && fseeko(arc, (off_t)pos, SEEK_SET) != 0) {
            walk = TMB_WALK_DAMAGED;
            why = "cannot seek";
            break;
        }
    }
    if (walk < 0) {
        fflush(stdout);
        tmb_report_walk_damage(shown_archive, pos, why);
        r.errors++;
    }

    printf("\nDone. Extracted: %d  Skipped: %d  Errors: %d\n", r.extracted, r.skipped, r.errors);
    print_elapsed(start);
    fflush(stdout);
    r.arc.close();
    outdir_close(r.out);
    tmb_autojoin_end(joined);
    dbg_log("=== cmd_extract end: extracted=%d skipped=%d errors=%d ===", r.extracted, r.skipped,
            r.errors);
    dbg_close();
    return r.errors > 0 ? 1 : 0;
}
