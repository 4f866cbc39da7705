// The add command: writes a new archive from files, directory trees and
// wildcard arguments, and splits it into parts with -s<KB>.
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "options.h"
#include <string>

#include "tmb_add.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_progress.h"
#include "tmb_report.h"
#include "tmb_rewrite.h"
#include "tmb_shown.h"
#include "tmb_sfx.h"
#include "tmb_split.h"
#include "tmb_wildcard.h"

namespace {

struct AddRun {
    const Options *o;
    AddState *as;
    FILE *arc;
    int method;
    int added;
    int errors;
};

// Adds one path and counts what really happened below it: every entry
// written, every file that failed however deep in a tree. A failure that
// left no count of its own still counts once.
// The count comes in the path's turn, once its entries are written (the
// files are packed on every core meanwhile).
void add_counted(AddRun *run, const char *path, const char *arcname)
{
    add_path_then(*run->as, path, arcname, run->method, [run](int ok, const AddTally &d) {
        run->added += d.added;
        run->errors += d.failed > 0 ? d.failed : !ok;
    });
}

// A match of the scan is stored under its base name.
void add_match(const char *path, void *ctx)
{
    AddRun *run = (AddRun *)ctx;
    if (ferror(run->arc))
        return;
    run->as->arc_root_len = 0;
    add_counted(run, path, path);
}

// An argument that still holds a wildcard when the command runs (the
// expansion at start-up leaves names such as './a*b' of files that really
// carry such characters) is scanned once more here.
void scan_argument(AddRun *run, const char *arg)
{
    char dir[256], pattern[256];
    split_wildcard_path(arg, dir, pattern);
    add_in_turn(*run->as, [quiet = run->o->quiet, a = std::string(arg)] {
        if (!quiet)
            printf("Scanning: %s\n", tmb_shown(a.c_str()).c_str());
    });
    run->errors += wildcard_scan(tmb_console(), dir, pattern, run->o->recursive, add_match, run);
}

// A directory given by the caller contributes entries named relative to
// it; a file given with a path is stored under its base name.
void add_argument(AddRun *run, const char *arg)
{
    if (strchr(arg, '*') || strchr(arg, '?')) {
        scan_argument(run, arg);
        return;
    }
    const char *arcname = add_argument_name(*run->as, arg);
    dbg_log(run->o->log, "adding '%s' as '%s' method=%d", arg, arcname, run->method);
    add_counted(run, arg, arcname);
}

// An archive already under the name is replaced only when the new one is
// complete; until then it must not be stored inside the new one either
// (a tree walk of '.' or a pattern such as '*' names it). Its stream only
// tells the walk which file it is; nullptr when there is none.
FILE *open_old_archive(const char *archive)
{
    struct stat st;
    if (stat(archive, &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    return fopen(archive, "rb");
}

// An existing file is replaced only when it holds an archive (a sound
// entry header at its start, or the end mark of an archive without entries
// alone) or nothing at all: a text file named by mistake, a name shifted
// into the archive's place by a stray argument, or one of the many files
// that start with a zero byte must not be lost. 1 when the name may be
// written.
int may_replace(const char *archive, const LogSink &log)
{
    struct stat st;
    int fd = tmb_open_to_replace(tmb_console(), archive, &st);
    if (fd < 0)
        return fd == -1;
    FILE *fp = st.st_size > 0 ? fdopen(fd, "rb") : nullptr;
    if (!fp) {
        close(fd);
        return st.st_size == 0;
    }
    EntryHeader h;
    const char *why = nullptr;
    int r = tmb_walk_next(fp, (int64_t)st.st_size, &h, &why, log);
    // An archive whose first entry is cut short is still an archive.
    int is_archive = r == TMB_WALK_ENTRY || r == TMB_WALK_END || r == TMB_WALK_CUT;
    fclose(fp);
    if (!is_archive)
        fprintf(stderr, "Not an LZH archive, not replaced: %s\n", archive);
    return is_archive;
}

bool archive_exists(const char *archive)
{
    struct stat st;
    return stat(archive, &st) == 0;
}

// Everything written so far must have reached the temporary archive; the
// end mark, the closing and the rename follow in rewrite_commit.
bool entries_written(FILE *arc)
{
    return fflush(arc) == 0 && !ferror(arc);
}

} // namespace

void add_init(AddState &as, const Options &o, ProgressBar *bar)
{
    as.set.quiet = o.quiet;
    as.set.recursive = o.recursive;
    as.set.exclude_empty = o.exclude_empty;
    as.set.optimal = o.optimal;
    as.set.threads = o.threads;
    as.log = dbg_sink(o.log);
    as.msg = tmb_console();
    if (bar) {
        as.progress.user = bar;
        as.progress.begin = [](void *b, uint64_t total) { tmb_prog_begin(*static_cast<ProgressBar *>(b), total); };
        as.progress.end = [](void *b) { tmb_prog_end(*static_cast<ProgressBar *>(b)); };
        as.progress.bytes = tmb_prog_sink(*bar);
    }
}

int cmd_add(const Options &o)
{
    clock_t start = clock();
    ProgressBar bar = progress_bar(o);
    AddState as;
    add_init(as, o, &bar);
    dbg_open(o.log);
    dbg_log(o.log, "=== cmd_add start ===");
    dbg_log(o.log, "archive='%s' method=%d nfiles=%d recursive=%d sfx=%d", o.archive, o.method,
            o.nfiles, o.recursive, o.sfx);
    for (int i = 0; i < o.nfiles; i++)
        dbg_log(o.log, "  files[%d]='%s'", i, o.files[i]);

    if (o.nfiles <= 0) {
        fprintf(stderr, "No files specified.\n");
        return 1;
    }
    // The self-extracting builder writes the .run file its own way, through
    // temporaries as well.
    if (o.sfx) {
        int added = 0, errors = 0;
        if (!sfx_build(as, o.archive, o.files, o.nfiles, o.method, &added, &errors))
            return 1;
        printf("\nSelf-extracting archive: %s\n", o.archive);
        print_elapsed(start);
        fflush(stdout);
        dbg_log(o.log, "=== cmd_add end (sfx): added=%d errors=%d ===", added, errors);
        dbg_close(o.log);
        return errors != 0;
    }
    bool to_stdout = strcmp(o.archive, "-") == 0;
    if (!to_stdout && !may_replace(o.archive, dbg_sink(o.log)))
        return 1;

    // The archive is written to a temporary file created exclusively beside
    // it (beside the file a symbolic link of that name points at) and
    // renamed over it only when every byte is written: a failure part-way
    // leaves neither a cut-off archive nor a lost old one.
    NewArchive tmp;
    if (!rewrite_create(&tmp, o.archive, tmb_console())) {
        dbg_log(o.log, "create temporary archive for '%s' FAILED", o.archive);
        fprintf(stderr, "Cannot open/create: %s (%s)\n", o.archive, strerror(errno));
        return 1;
    }
    dbg_log(o.log, "temporary archive '%s'", tmp.path);
    tmp.stdout_fd = o.stdout_fd;
    FILE *arc = tmp.file.get();
    FILE *old = to_stdout ? nullptr : open_old_archive(o.archive);
    add_set_archive(as, arc, old);
    AddRun run = {&o, &as, arc, o.method, 0, 0};
    if (add_begin(as, arc)) {
        // Once the archive cannot be built, every further entry would fail
        // the same way (paths already queued then write and tell nothing).
        for (int i = 0; i < o.nfiles && !ferror(arc) && !as.add_tally.broken; i++)
            add_argument(&run, o.files[i]);
        add_end(as);
    }
    add_set_archive(as, nullptr);
    if (old)
        fclose(old);
    run.errors += o.skipped_paths;
    // A new archive that lacks entries for want of disk or memory does not
    // replace the old one; inputs that could not be read are only counted.
    // One without any entry replaces nothing either: a mistyped argument
    // must not cost an archive.
    bool stream_ok = entries_written(arc);
    bool written = stream_ok && !as.add_tally.broken;
    bool empty = written && run.added == 0;
    if (!written) {
        // A failure that was not the archive's own write (a packing
        // temporary that could not be made, memory) has been named already.
        fprintf(stderr, "%s: %s; %s\n", stream_ok ? "Archive not built" : "Write error on archive",
                o.archive, archive_exists(o.archive) ? "left unchanged" : "not created");
        rewrite_abort(&tmp);
        run.errors++;
    } else if (empty) {
        rewrite_abort(&tmp);
        add_report_nothing_added(as, o.archive);
        written = false;
    } else if (!rewrite_commit(&tmp, o.archive)) {
        written = false;
        run.errors++;
    }
    dbg_log(o.log, "=== cmd_add end: added=%d errors=%d ===", run.added, run.errors);
    dbg_close(o.log);

    // Only a complete archive is split; the split removes it afterwards.
    // A failed split keeps the archive but must not end in a success status.
    int split_failed = 0;
    if (o.split_kb > 0 && run.errors == 0 && written) {
        printf("\n");
        split_failed = split_file(split_settings(o), o.archive, (uint64_t)o.split_kb, 1) != 0;
    }
    printf("\nDone. Added: %d  Errors: %d\n", run.added, run.errors);
    print_elapsed(start);
    fflush(stdout);
    return run.errors > 0 || empty || split_failed ? 1 : 0;
}
