// The add command: writes a new archive from files, directory trees and
// wildcard arguments, and splits it into parts with -s<KB>.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "tambrix.h"
#include "tmb_add.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_io.h"
#include "tmb_progress.h"
#include "tmb_rewrite.h"
#include "tmb_sfx.h"
#include "tmb_split.h"
#include "tmb_wildcard.h"

namespace {

constexpr size_t kStreamBuf = 65536;

struct AddRun {
    FILE *arc;
    int method;
    int added;
    int errors;
};

void count(AddRun *run, int ok)
{
    if (ok)
        run->added++;
    else
        run->errors++;
}

// A match of the scan is stored under its base name.
void add_match(const char *path, void *ctx)
{
    AddRun *run = (AddRun *)ctx;
    if (ferror(run->arc))
        return;
    g_arc_root_len = 0;
    count(run, add_path(run->arc, path, path, run->method));
}

// An argument that still holds a wildcard when the command runs (the
// expansion at start-up leaves names such as './a*b' of files that really
// carry such characters) is scanned once more here.
void scan_argument(AddRun *run, const char *arg)
{
    char dir[256], pattern[256];
    split_wildcard_path(arg, dir, pattern);
    if (!g_opts.quiet)
        printf("Scanning: %s\n", arg);
    wildcard_scan(dir, pattern, g_opts.recursive, add_match, run);
}

// A directory given by the caller contributes entries named relative to
// it; a file given with a path is stored under its base name.
void add_argument(AddRun *run, const char *arg)
{
    const char *arcname = arg;
    if (arcname[0] == '.' && arcname[1] == '/')
        arcname += 2;
    if (strchr(arg, '*') || strchr(arg, '?')) {
        scan_argument(run, arg);
        return;
    }
    struct stat st;
    bool is_dir = stat(arg, &st) == 0 && S_ISDIR(st.st_mode);
    g_arc_root_len = is_dir ? (int)strlen(arcname) + 1 : 0;
    dbg_log("adding '%s' as '%s' method=%d", arg, arcname, run->method);
    count(run, add_path(run->arc, arg, arcname, run->method));
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

// Everything written so far must have reached the temporary archive; the
// end mark, the closing and the rename follow in rewrite_commit.
bool entries_written(FILE *arc)
{
    return fflush(arc) == 0 && !ferror(arc);
}

} // namespace

int cmd_add()
{
    clock_t start = clock();
    g_add_file_no = 0;
    dbg_open();
    dbg_log("=== cmd_add start ===");
    dbg_log("archive='%s' method=%d nfiles=%d recursive=%d sfx=%d", g_opts.archive, g_opts.method,
            g_opts.nfiles, g_opts.recursive, g_opts.sfx);
    for (int i = 0; i < g_opts.nfiles; i++)
        dbg_log("  files[%d]='%s'", i, g_opts.files[i]);

    if (g_opts.nfiles <= 0) {
        fprintf(stderr, "No files specified.\n");
        return 1;
    }
    // The self-extracting builder keeps its own temporary archive and
    // writes the .run file itself.
    if (g_opts.sfx) {
        FILE *arc = fopen(g_opts.archive, "wb");
        dbg_log("fopen archive '%s' = %s", g_opts.archive, arc ? "OK" : "FAILED");
        if (!arc) {
            fprintf(stderr, "Cannot open/create: %s\n", g_opts.archive);
            return 1;
        }
        setvbuf(arc, nullptr, _IOFBF, kStreamBuf);
        return sfx_build(arc, g_opts.method, start);
    }

    // The archive is written to a temporary file created exclusively beside
    // it and renamed over it only when every byte is written: a failure
    // part-way leaves neither a cut-off archive nor a lost old one.
    NewArchive tmp;
    struct stat arc_st;
    bool is_dir = stat(g_opts.archive, &arc_st) == 0 && S_ISDIR(arc_st.st_mode);
    if (is_dir || !rewrite_create(&tmp, g_opts.archive)) {
        dbg_log("create temporary archive for '%s' FAILED", g_opts.archive);
        fprintf(stderr, "Cannot open/create: %s\n", g_opts.archive);
        return 1;
    }
    dbg_log("temporary archive '%s'", tmp.path);
    FILE *arc = tmp.fp;
    FILE *old = open_old_archive(g_opts.archive);
    add_set_archive(arc, old);
    AddRun run = {arc, g_opts.method, 0, 0};
    for (int i = 0; i < g_opts.nfiles; i++) {
        // Once the archive cannot be written, every further entry would
        // fail the same way.
        if (ferror(arc))
            break;
        add_argument(&run, g_opts.files[i]);
    }
    add_set_archive(nullptr);
    if (old)
        fclose(old);
    run.errors += wildcard_take_skipped();
    bool written = entries_written(arc);
    if (!written) {
        fprintf(stderr, "Write error on archive: %s\n", g_opts.archive);
        rewrite_abort(&tmp);
    } else {
        written = rewrite_commit(&tmp, g_opts.archive);
    }
    if (!written)
        run.errors++;
    dbg_log("=== cmd_add end: added=%d errors=%d ===", run.added, run.errors);
    dbg_close();

    // Only a complete archive is split; the split removes it afterwards.
    // A failed split keeps the archive but must not end in a success status.
    int split_failed = 0;
    if (g_opts.split_kb > 0 && run.errors == 0 && written) {
        printf("\n");
        split_failed = split_file(g_opts.archive, (uint64_t)g_opts.split_kb, 1) != 0;
    }
    printf("\nDone. Added: %d  Errors: %d\n", std::max(run.added, g_add_file_no), run.errors);
    print_elapsed(start);
    fflush(stdout);
    return run.errors > 0 || split_failed ? 1 : 0;
}
