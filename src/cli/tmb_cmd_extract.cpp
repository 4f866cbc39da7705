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
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>
#include <cstdio>
#include <string>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "options.h"
#include "tmb_autojoin.h"
#include "tmb_cmd.h"
#include "tmb_cleanup.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_match.h"
#include "tmb_method.h"
#include "tmb_io.h"
#include "tmb_outdir.h"
#include "tmb_pool.h"
#include "tmb_progress.h"
#include "tmb_runner.h"
#include "tmb_worker_progress.h"
#include "tmb_report.h"
#include "tmb_shown.h"
#include "tmb_split.h"
#include "tmb_stream.h"

namespace {

constexpr size_t kPathMax = 256;            // 255 characters and the NUL
// Entries above this size (packed or unpacked) show a progress bar, and go
// to a worker alone.
constexpr uint64_t kBarEntryMin = 32768;
// Descriptors kept free for what the run opens besides the target's
// directories and the files being written (the time zone, a message).
constexpr int kSpareDescriptors = 8;
// Every temporary of the jobs in flight has its place in the clean-up
// registry (the main thread's join temporary and a margin besides).
static_assert(kPoolMaxQueue * kRunnerBatchEntries + 16 <= (size_t)kTmbCleanupNames);

// One run of the command: the archive, the counters of the summary and the
// answers given at the overwrite prompt that hold for the rest of the run.
struct ExtractRun {
    const Options *o = nullptr;
    BufferedFile arc;
    StandIn joined;         // a temporary standing in for the archive
    Selection sel;          // the entries the name arguments select
    ProgressBar bar;
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
    EntryRunner *runner = nullptr;    // the entries' jobs, in order
    int arcfd = -1;                   // the archive, read with pread
    std::vector<ExtractCtx *> ctxs;   // one unpacking context per worker
    // One output buffer per worker: a worker writes one file at a time, and
    // its buffer serves them all without an allocation per entry.
    std::vector<StreamBuffer> out_bufs;
    // Descriptors the run may have open at once: the target's directories
    // (held by the walk and by the pending jobs), and one file being
    // written by each worker.
    int descriptor_room = 0;
    // A work directory ending in ':' (an AmigaOS device such as "RAM:")
    // joins its entries without a '/': on this system that last part is a
    // prefix of every entry's first component, not a directory.
    std::string name_prefix;
};

// Finishes the entries still being unpacked, so that what comes next (a
// message, a question) appears after their lines, as with one thread.
void settle(ExtractRun &r)
{
    if (r.runner)
        r.runner->settle();
}

// Output path for an entry name, for messages and the length limit: the
// name below the work directory. An AmigaOS device ("RAM:") or a trailing
// '/' already ends a directory, any other work directory gets a '/' between.
std::string join_path(const char *work_dir, const char *name)
{
    size_t n = strlen(work_dir);
    const char *sep = "/";
    if (n == 0 || work_dir[n - 1] == ':' || work_dir[n - 1] == '/')
        sep = "";
    return std::string(work_dir) + sep + name;
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
    settle(r);
    dbg_log(r.o->log, "unsafe name '%s' (%s) -> refusing", name, reason);
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
int count_wanted(Selection sel, const char *archive, const LogSink &log)
{
    BufferedFile arc(fopen(archive, "rb"));
    FILE *fp = arc.get();
    if (!fp)
        return 0;
    int total = 0;
    int64_t size = tmb_file_size(fp);
    EntryHeader h;
    const char *why = nullptr;
    while (tmb_walk_next(fp, size, &h, &why, log) == TMB_WALK_ENTRY) {
        normalize_name(h.name);
        if (!h.is_dir && file_wanted(sel, h.name))
            total++;
        if (fseeko(fp, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) != 0)
            break;
    }
    return total;
}

void debug_header(ExtractRun &r, const EntryHeader &h)
{
    DebugLog *log = r.o->log;
    if (!log || log->debug_level <= 0)
        return;
    dbg_log(r.o->log, "---");
    dbg_open(r.o->log);
    if (log->dbg_fp) {
        size_t len = strlen(h.name);
        fprintf(log->dbg_fp, "RAW[%s] str='%s' n1=%ld n2=%ld strlen=%ld firstbytes=", "hdr.name",
                h.name, (long)h.comp_size, (long)h.orig_size, (long)len);
        for (size_t i = 0; i < len && i < 8; i++)
            fprintf(log->dbg_fp, "%02x ", (unsigned char)h.name[i]);
        fputc('\n', log->dbg_fp);
        fflush(log->dbg_fp);
    }
    dbg_log(r.o->log, "read_header OK: name='%s' is_dir=%d comp_size=%lu orig_size=%lu method=%d data_pos=%ld",
            h.name, h.is_dir, (unsigned long)h.comp_size, (unsigned long)h.orig_size, h.method,
            (long)h.data_pos);
}

// Asks before replacing an existing name (whatever it is: a file without
// read permission, a link, a FIFO). Returns 1 to go on, 0 when the entry is
// skipped (counted here).
int confirm_overwrite(ExtractRun &r, const std::string &outpath)
{
    dbg_log(r.o->log, "overwrite-check fopen('%s','rb') = %s", outpath.c_str(), "EXISTS");
    if (r.skip_all) {
        dbg_log(r.o->log, "skip_all: skipping");
        r.skipped++;
        return 0;
    }
    if (r.overwrite_all)
        return 1;
    settle(r);
    std::string shown = tmb_shown(outpath.c_str());
    printf("  overwrite %s? [y]es [n]o [A]ll [N]one: ", shown.c_str());
    fflush(stdout);
    // Output that goes to a file or a pipe while the answer is typed in:
    // the question goes to the terminal too, or the run looks hung.
    if (!isatty(STDOUT_FILENO) && isatty(STDIN_FILENO))
        fprintf(stderr, "  overwrite %s? [y]es [n]o [A]ll [N]one: ", shown.c_str());
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
        dbg_log(r.o->log, "skip_all set");
        r.skipped++;
        r.skip_all = 1;
        return 0;
    case 'y':
    case 'Y':
        return 1;
    default:
        dbg_log(r.o->log, "user declined overwrite, skipping");
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
// The failure after the line (already printed by then).
void report_create_failure(ExtractRun &r, const std::string &outpath, int e)
{
    fprintf(stderr, "\n  ERROR: cannot create %s\n", tmb_shown(outpath.c_str()).c_str());
    if (e == ELOOP)
        fprintf(stderr, "  (a symbolic link is in the way; it is not followed)\n");
    else if (e != ENOENT)
        fprintf(stderr, "  (%s)\n", strerror(e));
    r.errors++;
}

void report_cannot_create(ExtractRun &r, const EntryHeader &h, const std::string &outpath, int e)
{
    settle(r);
    print_progress_line(r, h);
    report_create_failure(r, outpath, e);
}

// One file entry being unpacked: what the worker is given and what it
// found. The worker writes the temporary file; everything the user sees,
// the rename and the counters happen in the finish, in archive order.
struct FileJob {
    EntryHeader h;
    OutDirRef dir;          // the entry's directory, shared with the walk
    int dirfd = -1;         // its descriptor
    AtomicFile tmp;         // the file being written, placed as leaf in dirfd
    std::string leaf, outpath;
    std::string target;     // the key of the place the runner holds
    int fd = -1;            // the temporary, open for writing
    // Results.
    int rc = TMB_EXTRACT_FAILED;
    bool no_memory = false; // the decoder's memory could not be had
    uint16_t crc = 0;
    int create_errno = 0;   // the temporary could not be made
    int open_errno = 0;     // the temporary could not be made a stream
    int write_errno = 0;
    WorkerProgress progress; // bytes produced
};

// Unpacks the entry into the temporary file (closed here). On success the
// file is complete, its CRC matched and its time is set.
// With `arcfp` the packed data is read from that stream at its position
// (an archive that cannot be read at an offset: one thread); otherwise
// with pread from `arcfd` (any thread).
void unpack_to_temp(FileJob &j, ExtractCtx *ctx, StreamBuffer &buf, FILE *arcfp, int arcfd,
                    const lzh::Progress &prog)
{
    FILE *out = fdopen(j.fd, "wb");
    if (!out) {
        j.open_errno = errno;
        close(j.fd);
        return;
    }
    buf.attach(out);
    j.rc = arcfp ? tmb_extract(ctx, arcfp, out, &j.h, &j.crc, prog)
                 : tmb_extract_at(ctx, arcfd, j.h.data_pos, out, &j.h, &j.crc, prog);
    j.no_memory = j.rc == TMB_EXTRACT_FAILED && tmb_extract_out_of_memory(ctx);

    // Every byte must reach the file: a full disk or a file size limit shows
    // up in the writes, the final flush or the close, and is an error.
    if (ferror(out) || fflush(out) != 0)
        j.write_errno = errno ? errno : EIO;
    bool crc_ok = j.rc == TMB_EXTRACT_OK && j.crc == j.h.crc;
    // The time is set through the descriptor, before the close, on the
    // file that will take the name.
    if (crc_ok && !j.write_errno && j.h.mtime > 0) {
        FileTime ts[2];
        ts[0].tv_sec = ts[1].tv_sec = (time_t)j.h.mtime;
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        futimens(fileno(out), ts);
    }
    if (fclose(out) != 0 && !j.write_errno)
        j.write_errno = errno ? errno : EIO;
}

// Reports how the unpacking went. Returns 0 when the file is good, or 1.
int report_unpacked(ExtractRun &r, const FileJob &j)
{
    const char *shown = nullptr;
    std::string s = tmb_shown(j.outpath.c_str());
    shown = s.c_str();
    if (j.open_errno || j.write_errno) {
        int e = j.open_errno ? j.open_errno : j.write_errno;
        dbg_log(r.o->log, "write to '%s' failed, errno=%d", j.outpath.c_str(), e);
        printf(" ERROR\n");
        fflush(stdout);
        fprintf(stderr, "  ERROR: cannot write %s: %s\n", shown, strerror(e));
        return 1;
    }
    if (j.rc != TMB_EXTRACT_OK) {
        if (j.no_memory)
            fputs("Not enough memory to unpack\n", stderr);
        dbg_log(r.o->log, "tmb_extract returned non-zero (failure)");
        printf(" ERROR\n");
        fflush(stdout);
        tmb_report_entry(j.h.name, tmb_extract_reason(j.rc));
        return 1;
    }
    dbg_log(r.o->log, "tmb_extract returned 0, expected_crc=%04X got_crc=%04X", j.h.crc, (unsigned)j.crc);
    if (j.crc != j.h.crc) {
        printf(" CRC ERR (exp %04X got %04X)\n", j.h.crc, (unsigned)j.crc);
        tmb_report_entry(j.h.name, "CRC mismatch (damaged)");
        return 1;
    }
    return 0;
}

// The finish of a file entry: the outcome, and the rename into place.
void finish_file(ExtractRun &r, FileJob &j)
{
    int failed = report_unpacked(r, j);
    if (failed) {
        tmb_atomic_abort(&j.tmp);
    } else if (!tmb_atomic_place(&j.tmp)) {
        int e = errno;
        printf(" ERROR\n");
        fprintf(stderr, "  ERROR: cannot create %s: %s\n", tmb_shown(j.outpath.c_str()).c_str(),
                strerror(e));
        failed = 1;
    }
    r.runner->release(j.target);
    if (failed) {
        r.errors++;
        return;
    }
    printf(" OK\n");
    r.extracted++;
}

// A worker's part of a file entry: the temporary and the unpacking.
// Made with the mode of a new file from the start: the temporary holds
// nothing that the finished file would not show.
void worker_unpack(FileJob &j, ExtractRun &run, int w, const lzh::Progress &prog)
{
    j.fd = tmb_atomic_create_at(&j.tmp, j.dirfd, j.leaf.c_str(), 0666);
    if (j.fd < 0) {
        j.create_errno = errno;
        return;
    }
    FILE *arcfp = run.arcfd < 0 ? run.arc.get() : nullptr;
    unpack_to_temp(j, run.ctxs[(size_t)w], run.out_bufs[(size_t)w], arcfp, run.arcfd, prog);
    if (arcfp)
        run.at_next = !ferror(arcfp);
}

// The main thread's part, in archive order, after the line.
void finish_job(ExtractRun &run, FileJob &j)
{
    if (j.create_errno) {
        report_create_failure(run, j.outpath, j.create_errno);
        run.runner->release(j.target);
    } else {
        finish_file(run, j);
    }
    // Let go here, on this thread, which counts the open directories; the
    // job itself may be freed on a worker.
    j.dir = nullptr;
}

// Decodes one file entry into `leaf` of `dir`: on a worker when there are
// several, the outcome reported in archive order.
void extract_file(ExtractRun &r, const EntryHeader &h, const OutDirRef &dir, const std::string &leaf,
                  const std::string &outpath, const std::string &target)
{
    dbg_log(r.o->log, "attempting fopen('%s', \"wb\")", outpath.c_str());
    auto j = std::make_shared<FileJob>();
    j->h = h;
    j->leaf = leaf;
    j->outpath = outpath;
    j->target = target;
    // The job holds the directory open: the walk may move on to others
    // before the job is done.
    j->dir = dir;
    j->dirfd = dir->fd();
    dbg_log(r.o->log, "calling tmb_extract for '%s'", outpath.c_str());
    r.runner->hold(target);
    ExtractRun *run = &r;
    // The worker makes the temporary too (the creates are the costly
    // system calls of a tree). The line appears in the finish, or, for an
    // entry with a bar, when it is the oldest one still being unpacked; the
    // bar follows the worker.
    bool bar = h.orig_size >= kBarEntryMin || h.comp_size >= kBarEntryMin;
    if (!bar && r.arcfd >= 0) {
        r.runner->add(
            h.comp_size, [j, run](int w) { worker_unpack(*j, *run, w, {}); },
            [j, run] {
                print_progress_line(*run, j->h);
                finish_job(*run, *j);
            });
        return;
    }
    // Unpacking on this thread (one worker), the bar is drawn as it goes;
    // a worker's progress is replayed when this thread looks.
    bool inline_bar = r.runner->workers() == 1;
    lzh::Progress prog = inline_bar ? tmb_prog_sink(r.bar) : j->progress.sink(h.orig_size);
    r.runner->add_alone(
        [j, run, prog](int w) { worker_unpack(*j, *run, w, prog); },
        [j, run] {
            j->progress.show(tmb_prog_sink(run->bar));
            tmb_prog_end(run->bar);
            finish_job(*run, *j);
        },
        [j, run] {
            print_progress_line(*run, j->h);
            tmb_prog_begin(run->bar, j->h.orig_size);
        },
        [j, run] { j->progress.show(tmb_prog_sink(run->bar)); });
}

// Reports a failure to make or enter a directory of the target.
void report_dir_failure(ExtractRun &r, const std::string &where, int e)
{
    settle(r);
    std::string shown = tmb_shown(where.c_str());
    if (e == ELOOP)
        fprintf(stderr, "  ERROR: not writing below %s: it is a symbolic link\n", shown.c_str());
    else
        fprintf(stderr, "  ERROR: cannot create directory %s: %s\n", shown.c_str(), strerror(e));
    r.errors++;
}

// The directory `rel` names below the target (whole: a directory entry),
// or the one its file goes into. Null when it cannot be opened: with
// `*root_errno` set when the target itself cannot be (not reported yet),
// else after reporting the level below it that failed.
OutDirRef open_dirs(ExtractRun &r, const std::string &rel, bool whole, std::string *leaf, int *root_errno)
{
    *root_errno = 0;
    if (outdir_root(r.out) < 0) {
        *root_errno = errno;
        return nullptr;
    }
    std::string failed;
    OutDirRef dir = outdir_walk(r.out, rel.c_str(), whole, leaf, &failed);
    if (!dir) {
        // `failed` already holds the prefix: join it to the target alone.
        const std::string &root = r.out.root_path;
        std::string where = root.empty() || root.back() == '/' ? root + failed : root + "/" + failed;
        report_dir_failure(r, where, errno);
    }
    return dir;
}

// The place a name takes in the target, one spelling for every way of
// writing it ("a//b", "./a/b" and "a/b" are one file), as the walk reads it.
std::string target_key(const std::vector<std::string> &levels)
{
    std::string key;
    for (const std::string &l : levels)
        key += (key.empty() ? "" : "/") + l;
    return key;
}

// An entry waits for every pending one that one thread would have put in
// place before it, on its way: a file still being unpacked where this
// entry wants a directory (the walk must meet the file, as on one thread),
// or a file of the very place this entry takes (it must be there to be
// asked about, or to be in the way of a directory).
void settle_if_in_the_way(ExtractRun &r, const std::vector<std::string> &levels)
{
    r.runner->wait_for(levels);
}

// Keeps the descriptors within the process's limit: when this entry's
// levels might not fit beside those held by pending entries, they are
// finished first and let go of theirs, which leaves what one thread holds.
void make_room(ExtractRun &r, size_t levels)
{
    if (r.out.open + (int)levels + r.runner->workers() > r.descriptor_room)
        settle(r);
}

void report_too_long(ExtractRun &r, const std::string &outpath, const EntryHeader &h)
{
    settle(r);
    fprintf(stderr, "Path too long: %s%s\n", tmb_shown(outpath.c_str()).c_str(),
            h.name_cut ? " (the name stored in the archive is longer)" : "");
}

void handle_entry(ExtractRun &r, EntryHeader &h)
{
    debug_header(r, h);
    normalize_name(h.name);
    dbg_log(r.o->log, "name after backslash normalization: '%s'", h.name);

    if (!file_wanted(r.sel, h.name)) {
        dbg_log(r.o->log, "file_wanted('%s') returned FALSE -> skipping", h.name);
        r.skipped++;
        return;
    }
    dbg_log(r.o->log, "file_wanted('%s') returned TRUE -> proceeding", h.name);

    if (h.is_dir) {
        dbg_log(r.o->log, "entry is a directory");
        if (r.strip_paths)
            return;
        std::string outpath = join_path(r.o->work_dir, h.name);
        if (outpath.size() >= kPathMax || h.name_cut) {
            report_too_long(r, outpath, h);
            r.errors++;
        } else if (const char *why = unsafe_reason(h.name)) {
            refuse_unsafe(r, h.name, why);
        } else {
            dbg_log(r.o->log, "directory outpath='%s', calling mkdirs", outpath.c_str());
            std::string rel = r.name_prefix + h.name;
            std::vector<std::string> levels = outdir_levels(rel.c_str());
            settle_if_in_the_way(r, levels);
            make_room(r, levels.size());
            int root_errno;
            if (!open_dirs(r, rel, true, nullptr, &root_errno) && root_errno)
                report_dir_failure(r, r.out.root_path, root_errno);
        }
        return;
    }

    const char *outname = h.name;
    if (r.strip_paths) {
        const char *slash = strrchr(h.name, '/');
        if (slash)
            outname = slash + 1;
    }
    std::string outpath = join_path(r.o->work_dir, outname);
    dbg_log(r.o->log, "built outpath='%s' (work_dir='%s', name='%s', strip_paths=%d)", outpath.c_str(),
            r.o->work_dir, outname, r.strip_paths);
    // A path that does not fit is refused, never cut: a cut name could be
    // another entry's file or take the place of a directory. The same for
    // a name the header reader could not hold whole.
    if (outpath.size() >= kPathMax || h.name_cut) {
        report_too_long(r, outpath, h);
        r.errors++;
        return;
    }
    if (const char *why = unsafe_reason(outname)) {
        refuse_unsafe(r, h.name, why);
        return;
    }
    // "." or "a/.": the name ends in a directory (the target itself for
    // "."), where no file can be written.
    const char *last = strrchr(outname, '/');
    if (strcmp(last ? last + 1 : outname, ".") == 0) {
        settle(r);
        fprintf(stderr, "  ERROR: refusing entry '%s': its name ends in '.', a directory, not a file\n",
                tmb_shown(h.name).c_str());
        r.errors++;
        return;
    }
    // An entry that cannot be unpacked touches nothing: no directory, no
    // question, no file.
    if (!tmb_extract_supported(&h)) {
        settle(r);
        print_progress_line(r, h);
        printf(" ERROR\n");
        fprintf(stderr, "Unsupported method: %s: %s\n", tmb_method_name(h.method),
                tmb_shown(h.name).c_str());
        r.errors++;
        return;
    }
    dbg_log(r.o->log, "calling mkdirs('%s') for parent directories", outpath.c_str());
    std::string rel = r.name_prefix + outname;
    std::vector<std::string> levels = outdir_levels(rel.c_str());
    settle_if_in_the_way(r, levels);
    make_room(r, levels.size());
    std::string leaf;
    int root_errno;
    OutDirRef dir = open_dirs(r, rel, false, &leaf, &root_errno);
    if (!dir) {
        if (root_errno)
            report_cannot_create(r, h, outpath, root_errno);
        return;
    }
    int dirfd = dir->fd();
    struct stat st;
    bool exists = fstatat(dirfd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const char *why = !exists                ? nullptr
                      : is_an_input(r, st)   ? "it is the archive being read"
                      : S_ISDIR(st.st_mode) ? "a directory is in the way"
                                             : nullptr;
    // Beside the parts a joined archive came from, a file of a part's name
    // (or the sidecar's) would change that series, even a part not there yet.
    if (!why && tmb_joined_series_member(r.joined, dirfd, leaf.c_str()))
        why = "it would be a part or the sidecar of the archive being read";
    if (why) {
        settle(r);
        fprintf(stderr, "  ERROR: not writing %s: %s\n", tmb_shown(outpath.c_str()).c_str(), why);
        r.errors++;
        return;
    }
    if (exists) {
        if (!r.o->force_overwrite && !confirm_overwrite(r, outpath)) {
            return;
        }
    } else {
        dbg_log(r.o->log, "overwrite-check fopen('%s','rb') = %s", outpath.c_str(), "does not exist");
    }
    extract_file(r, h, dir, leaf, outpath, target_key(levels));
}

} // namespace

int cmd_extract(const Options &o)
{
    ExtractRun r;
    r.o = &o;
    r.bar = progress_bar(o);
    r.strip_paths = o.command == 'e';
    r.arc = tmb_open_archive(&r.joined, o);
    if (!r.arc)
        return 1;
    const char *shown_archive = tmb_archive_shown(r.joined, o.archive);
    const char *read_archive = tmb_archive_read(r.joined, o.archive);
    r.sel = file_selection(o.files, o.nfiles);

    dbg_open(o.log);
    dbg_log(o.log, "=== cmd_extract start ===");
    dbg_log(o.log, "archive='%s' work_dir='%s' strip_paths=%d force_overwrite=%d", read_archive,
            o.work_dir, r.strip_paths, o.force_overwrite);
    dbg_log(o.log, "nfiles=%d (file filter list; if >0, ONLY these names are extracted)", o.nfiles);
    for (int i = 0; i < o.nfiles; i++)
        dbg_log(o.log, "  files[%d]='%s'", i, o.files[i]);

    r.total = count_wanted(r.sel, read_archive, dbg_sink(o.log));
    clock_t start = clock();

    FILE *arc = r.arc.get();
    FileId arc_id;
    if (tmb_stream_id(arc, &arc_id))
        r.inputs.push_back(arc_id);
    for (const FileId &id : r.joined.join_inputs)
        r.inputs.push_back(id);
    // The target: the work directory, less a last part ending in ':' that
    // is a name prefix here (see ExtractRun).
    std::string root = o.work_dir;
    if (!root.empty() && root.back() == ':') {
        size_t slash = root.rfind('/');
        r.name_prefix = root.substr(slash == std::string::npos ? 0 : slash + 1);
        root.erase(slash == std::string::npos ? 0 : slash + 1);
    }
    outdir_init(r.out, root.c_str());

    dbg_log(o.log, "fopen archive '%s' = %s", read_archive, "OK");
    printf("Extracting: %s\n\n", shown_archive);
    fflush(stdout);

    // Entries are unpacked on every core when the archive is a regular file
    // (the workers read it with pread); a pipe is read in order.
    int64_t size = tmb_file_size(arc);
    r.ctxs = tmb_unpack_contexts(o, size);
    if (r.ctxs.empty()) {
        fputs("Not enough memory to unpack\n", stderr);
        r.arc.close();
        outdir_close(r.out);
        tmb_autojoin_end(&r.joined);
        dbg_close(o.log);
        return 1;
    }
    int workers = (int)r.ctxs.size();
    r.out_bufs.resize((size_t)workers);
    r.descriptor_room = outdir_free_descriptors() - kSpareDescriptors;
    OrderedPool pool(workers, tmb_pool_queue(workers));
    EntryRunner runner(pool);
    r.runner = &runner;
    r.arcfd = size >= 0 ? fileno(arc) : -1;

    // Damage, a read error or a file that is no archive must not pass for
    // the end: what came before is extracted, then the run fails.
    EntryHeader h;
    const char *why = nullptr;
    int64_t pos = 0;
    int walk;
    file_wanted_begin(r.sel);
    while ((walk = tmb_walk_next(arc, size, &h, &why, dbg_sink(o.log))) == TMB_WALK_ENTRY) {
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
    settle(r);
    if (walk < 0) {
        fflush(stdout);
        tmb_report_walk_damage(shown_archive, pos, why);
        r.errors++;
    }
    // A name that selects nothing is a mistake (a typo, a wrong case).
    int unmatched = file_wanted_unmatched(r.sel);
    tmb_unpack_contexts_free(r.ctxs);

    printf("\nDone. Extracted: %d  Skipped: %d  Errors: %d\n", r.extracted, r.skipped, r.errors);
    print_elapsed(start);
    fflush(stdout);
    r.arc.close();
    outdir_close(r.out);
    tmb_autojoin_end(&r.joined);
    dbg_log(o.log, "=== cmd_extract end: extracted=%d skipped=%d errors=%d ===", r.extracted, r.skipped,
            r.errors);
    dbg_close(o.log);
    return r.errors > 0 || unmatched > 0 ? 1 : 0;
}
