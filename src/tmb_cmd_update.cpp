// The update (u) and freshen (f) commands.
//
// The archive is rebuilt beside itself in three passes: a map of the old
// entries (name and time), a copy of every entry that stays, and the
// adding of the newer files at the end. Entries and file arguments meet by
// base name, ignoring the case of ASCII letters. An old entry whose newer
// file then cannot be added is copied back, so nothing is lost.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tambrix.h"
#include "tmb_add.h"
#include "tmb_cmd.h"
#include "tmb_io.h"
#include "tmb_match.h"
#include "tmb_progress.h"
#include "tmb_rewrite.h"

namespace {

// Names meet with the ASCII letters folded to upper case, the same rule as
// tmb_strcasecmp: two names are equal by it exactly when their folded forms
// are equal, so a hash table can stand in for a search with it.
std::string fold_name(const char *name)
{
    std::string s(name);
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 32);
    return s;
}

// The folded base name of every file argument, with the first argument
// that has it. Only entries of these names can ever be replaced.
std::unordered_map<std::string, int> s_argnames;

// The map of the old archive: for each name of s_argnames that some entry
// (no directory) has, the time of the first such entry. Entries no argument
// names are not recorded, so memory follows the arguments, not the archive.
std::unordered_map<std::string, int64_t> s_arcmap;

// An old entry left out of the copy because its file is newer; kept until
// the file has really been added.
struct Dropped {
    int arg;
    int64_t header_pos;
    uint64_t length;  // header and data
};

struct UpdateRun {
    OldArchive old;
    bool have_old;
    NewArchive tmp;
    std::vector<int64_t> file_time;
    std::vector<bool> is_archive;  // the argument names the archive itself
    std::vector<Dropped> dropped;
    int updated, kept, skipped, errors;
};

// A directory argument never replaces a file entry: without -r it adds
// nothing, and the entry would be dropped for nothing. Its time counts as 0,
// like that of a path whose status cannot be read.
int64_t file_time(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || S_ISDIR(st.st_mode))
        return 0;
    return (int64_t)st.st_mtime;
}

void note_argument_names()
{
    s_argnames.clear();
    for (int i = 0; i < g_opts.nfiles; i++)
        s_argnames.emplace(fold_name(strip_arc_root(g_opts.files[i])), i);
}

// The first file argument whose base name is the entry's name, or -1.
int first_matching_arg(const char *entry_name)
{
    auto it = s_argnames.find(fold_name(entry_name));
    return it == s_argnames.end() ? -1 : it->second;
}

// Pass 1; also proves that the archive ends properly before anything is
// written.
int build_map(UpdateRun *run)
{
    s_arcmap.clear();
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(&run->old, &h)) == 1) {
        if (!h.is_dir) {
            std::string key = fold_name(h.name);
            if (s_argnames.count(key))
                s_arcmap.emplace(std::move(key), h.mtime);  // the first entry stays
        }
        if (!rewrite_skip_entry(&run->old, &h))
            return 0;
    }
    rewrite_restart(&run->old);
    return r == 0;
}

// Pass 2: copies what stays, notes what a newer file replaces.
int copy_pass(UpdateRun *run)
{
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(&run->old, &h)) == 1) {
        uint64_t length = (uint64_t)(h.data_pos - h.header_pos) + h.comp_size;
        int arg = h.is_dir ? -1 : first_matching_arg(h.name);
        if (arg >= 0 && h.mtime < run->file_time[arg]) {
            run->dropped.push_back({arg, h.header_pos, length});
            if (!rewrite_skip_entry(&run->old, &h))
                return 0;
            continue;
        }
        if (!rewrite_copy_entry(&run->old, h.header_pos, length, &run->tmp))
            return 0;
        run->kept++;
    }
    return r == 0;
}

// Puts back the old entries of an argument whose file was not added.
int restore_dropped(UpdateRun *run, int arg)
{
    for (const Dropped &d : run->dropped) {
        if (d.arg != arg)
            continue;
        if (!rewrite_copy_entry(&run->old, d.header_pos, d.length, &run->tmp))
            return 0;
        run->kept++;
    }
    return 1;
}

// The old archive must never be stored inside the new one (a pattern such
// as '*' easily names it). Such an argument gets the time 0, so that it
// replaces no entry either.
void find_archive_arguments(UpdateRun *run)
{
    FileId arc;
    run->is_archive.assign((size_t)g_opts.nfiles, false);
    if (!run->have_old || !tmb_stream_id(run->old.file.get(), &arc))
        return;
    for (int i = 0; i < g_opts.nfiles; i++) {
        if (tmb_path_is(g_opts.files[i], arc)) {
            run->is_archive[(size_t)i] = true;
            run->file_time[(size_t)i] = 0;
        }
    }
}

// Pass 3 for one argument; 0 only when the new archive cannot be written.
int add_pass_one(UpdateRun *run, int i)
{
    const char *arg = g_opts.files[i];
    const char *base = strip_arc_root(arg);
    if (run->is_archive[(size_t)i]) {
        if (!g_opts.quiet)
            printf("  skipping the archive itself:  %s\n", arg);
        run->skipped++;
        return 1;
    }
    auto rec = s_arcmap.find(fold_name(base));
    bool add = false;
    if (rec != s_arcmap.end()) {
        if (rec->second >= run->file_time[i]) {
            run->skipped++;
        } else {
            if (!g_opts.quiet)
                printf("  updating: %s\n", base);
            add = true;
        }
    } else if (g_opts.command == 'f') {
        run->skipped++;
    } else {
        if (!g_opts.quiet)
            printf("  adding:   %s\n", base);
        add = true;
    }
    AddTally before = g_add_tally;
    FILE *out = run->tmp.file.get();
    if (add && add_path(out, arg, arg, g_opts.method)) {
        run->updated++;
        return !ferror(out);
    }
    if (g_add_tally.broken)
        return 0;
    // Every file that failed below a directory argument is an error of its
    // own, as for a.
    if (add) {
        int failed = g_add_tally.failed - before.failed;
        run->errors += failed > 0 ? failed : 1;
    }
    if (ferror(out))
        return 0;
    return restore_dropped(run, i);
}

int run_update(UpdateRun *run)
{
    int opened = rewrite_open_old(&run->old, g_opts.archive);
    if (opened < 0)
        return 1;
    run->have_old = opened == 1;
    find_archive_arguments(run);
    if (run->have_old && !build_map(run))
        return 1;
    if (!rewrite_create(&run->tmp, g_opts.archive)) {
        rewrite_report_create(&run->tmp, g_opts.archive, errno);
        return 1;
    }
    // Another process may change the archive between the passes; the copy
    // must then have met exactly the entries the map holds.
    if (run->have_old && (!copy_pass(run) || !rewrite_unchanged(&run->old))) {
        rewrite_abort(&run->tmp);
        return 1;
    }
    g_add_file_no = run->kept;
    // A tree walk below must pass over both the old and the new archive.
    add_set_archive(run->tmp.file.get(), run->have_old ? run->old.file.get() : nullptr);
    for (int i = 0; i < g_opts.nfiles; i++)
        if (!add_pass_one(run, i))
            break;  // rewrite_commit reports the failed write
    add_set_archive(nullptr);
    // Out of disk or memory while adding: the old archive stays as it was.
    if (g_add_tally.broken) {
        fprintf(stderr, "Cannot build the new archive; %s left unchanged\n", g_opts.archive);
        rewrite_abort(&run->tmp);
        return 1;
    }
    // Dropped entries were copied back from the old archive in pass 3.
    if (run->have_old && !rewrite_unchanged(&run->old)) {
        rewrite_abort(&run->tmp);
        return 1;
    }
    if (!rewrite_commit(&run->tmp, g_opts.archive))
        return 1;
    return 0;
}

} // namespace

int cmd_update()
{
    clock_t start = clock();
    if (g_opts.nfiles <= 0) {
        fprintf(stderr, "No files specified.\n");
        return 1;
    }
    g_arc_root_len = 0;
    g_add_tally = AddTally{0, 0, 0};
    UpdateRun run{};
    int failed;
    try {
        // Each file's time is read once, so that passes 2 and 3 agree.
        for (int i = 0; i < g_opts.nfiles; i++)
            run.file_time.push_back(file_time(g_opts.files[i]));
        note_argument_names();
        failed = run_update(&run);
    } catch (const std::bad_alloc &) {
        // The map grows with the archive. Without memory for it the old
        // archive stays as it is and no temporary file is left behind.
        fprintf(stderr, "Out of memory.\n");
        if (run.tmp.file)
            rewrite_abort(&run.tmp);
        failed = 1;
    }
    run.old.file.close();
    s_arcmap.clear();
    s_argnames.clear();
    if (failed)
        return 1;
    printf("\nDone. Updated: %d  Kept: %d  Skipped: %d  Errors: %d\n", run.updated, run.kept,
           run.skipped, run.errors);
    print_elapsed(start);
    fflush(stdout);
    return run.errors > 0 ? 1 : 0;
}
