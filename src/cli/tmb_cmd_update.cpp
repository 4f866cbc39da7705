// The update (u) and freshen (f) commands.
//
// The archive is rebuilt beside itself: the arguments are walked the way a
// walks them, so that every file (and every empty directory) comes with
// the entry name a would store it under; then a map of the old entries of
// those names, a copy of every entry that stays, and the adding of the
// newer files at the end. An entry and a file meet by that name, ignoring
// the case of ASCII letters; for plain file arguments it is the base name.
// An old entry whose newer file then cannot be added is copied back, so
// nothing is lost.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "options.h"
#include "tmb_add.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_io.h"
#include "tmb_match.h"
#include "tmb_progress.h"
#include "tmb_rewrite.h"
#include "tmb_shown.h"
#include "tmb_wildcard.h"
#include "tmb_report.h"

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

// A path that a would store, with everything needed to store it the same
// way later: its archive name and the root rule of its argument.
struct Candidate {
    std::string path, arcname, name;
    int root_len;
    int64_t time;     // 0 when its status cannot be read: it replaces nothing
    bool is_dir;      // an empty directory, stored as an entry "name/"
    bool is_archive;  // the archive being updated
};

// An old entry left out of the copy because its file is newer; kept until
// the file has really been added.
struct Dropped {
    size_t cand;
    int64_t header_pos;
    uint64_t length;  // header and data
};

// The first old entry that meets a candidate: its time (for a directory
// only that it exists).
struct Record {
    bool found;
    int64_t mtime;
};

struct UpdateRun {
    const Options *o;
    AddState as;
    OldArchive old;
    bool have_old;
    FileId old_id;
    bool have_old_id;
    NewArchive tmp;
    std::vector<Candidate> cands;
    // Name to its candidate; a later path of the same name is left alone,
    // so that one run never stores a name twice. The folded name leads to
    // the first candidate that has it.
    std::unordered_map<std::string, size_t> by_name, by_folded;
    std::vector<Record> arcmap;  // one per candidate
    std::vector<Dropped> dropped;
    bool restore_failed;
    int updated, kept, skipped, errors;
};

int64_t time_of(const struct stat *st)
{
    return st ? (int64_t)st->st_mtime : 0;
}

void note_candidate(UpdateRun *run, const char *path, const char *arcname, const char *name,
                    const struct stat *st, bool is_dir)
{
    Candidate c{path, arcname, name, run->as.arc_root_len, time_of(st), is_dir, false};
    c.is_archive = run->have_old_id && st && tmb_file_id(*st) == run->old_id;
    if (c.is_archive)
        c.time = 0;
    if (!run->by_name.emplace(name, run->cands.size()).second) {
        run->skipped++;
        return;
    }
    run->by_folded.emplace(fold_name(name), run->cands.size());
    run->cands.push_back(std::move(c));
}

void note_match(const char *path, void *ctx)
{
    UpdateRun *run = (UpdateRun *)ctx;
    struct stat st;
    bool have = stat(path, &st) == 0;
    run->as.arc_root_len = 0;
    note_candidate(run, path, path, strip_arc_root(run->as, path), have ? &st : nullptr, false);
}

// Walks every argument as a does. What the walk reports (a directory that
// cannot be listed, a path too long) is told at once and counted as an
// error.
void collect_candidates(UpdateRun *run)
{
    AddWalk w;
    w.file = [run](const char *path, const char *arcname, const char *name, const struct stat *st) {
        note_candidate(run, path, arcname, name, st, false);
    };
    w.empty_dir = [run](const char *path, const char *arcname, const char *name, const struct stat *st) {
        note_candidate(run, path, arcname, name, st, true);
    };
    w.say = [](std::function<void()> f) { f(); };
    int failed_before = run->as.add_tally.failed;
    int skipped = run->o->skipped_paths;
    for (int i = 0; i < run->o->nfiles; i++) {
        const char *arg = run->o->files[i];
        // An argument that still holds a wildcard names the matching files,
        // each by its base name.
        if (is_wildcard_arg(arg)) {
            char dir[256], pattern[256];
            split_wildcard_path(arg, dir, pattern);
            skipped += wildcard_scan(tmb_console(), dir, pattern, run->o->recursive, note_match, run);
            continue;
        }
        const char *arcname = add_argument_name(run->as, arg);
        add_walk(run->as, arg, arcname, w);
    }
    run->errors += run->as.add_tally.failed - failed_before + skipped;
    run->as.add_tally.failed = failed_before;
    run->as.arc_root_len = 0;
}

// The candidate an entry meets, or -1: the one of its very name, else the
// first whose name differs only in the case of letters (a tree may hold
// both 'A.txt' and 'a.txt'; each keeps its own entry). A file entry meets
// only a file, a directory entry only a directory.
long candidate_of(const UpdateRun *run, const EntryHeader &h)
{
    auto it = run->by_name.find(h.name);
    if (it == run->by_name.end()) {
        it = run->by_folded.find(fold_name(h.name));
        if (it == run->by_folded.end())
            return -1;
    }
    const Candidate &c = run->cands[it->second];
    return c.is_dir == (h.is_dir != 0) ? (long)it->second : -1;
}

// Pass 1; also proves that the archive ends properly before anything is
// written. Only names of candidates are recorded, so memory follows the
// files named, not the archive.
int build_map(UpdateRun *run)
{
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(&run->old, &h)) == 1) {
        long c = candidate_of(run, h);
        if (c >= 0 && !run->arcmap[(size_t)c].found)  // the first entry counts
            run->arcmap[(size_t)c] = Record{true, h.mtime};
        if (!rewrite_skip_entry(&run->old, &h))
            return 0;
    }
    rewrite_restart(&run->old);
    return r == 0;
}

// Pass 2: copies what stays, notes what a newer file replaces. Directory
// entries always stay.
int copy_pass(UpdateRun *run)
{
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(&run->old, &h)) == 1) {
        uint64_t length = (uint64_t)(h.data_pos - h.header_pos) + h.comp_size;
        long c = h.is_dir ? -1 : candidate_of(run, h);
        if (c >= 0 && h.mtime < run->cands[(size_t)c].time) {
            run->dropped.push_back({(size_t)c, h.header_pos, length});
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

// Puts back the old entries of a candidate whose file was not added.
void restore_dropped(UpdateRun *run, size_t cand)
{
    for (const Dropped &d : run->dropped) {
        if (d.cand != cand || run->restore_failed)
            continue;
        if (!rewrite_copy_entry(&run->old, d.header_pos, d.length, &run->tmp)) {
            run->restore_failed = true;
            return;
        }
        run->kept++;
    }
}

void say(UpdateRun *run, std::function<void()> f)
{
    add_in_turn(run->as, std::move(f));
}

// Pass 3 for one candidate: queued in the order of the walk; what it
// prints and writes comes in its turn.
void add_pass_one(UpdateRun *run, size_t i)
{
    const Candidate &c = run->cands[i];
    if (c.is_archive) {
        say(run, [run, p = c.path] {
            if (!run->o->quiet)
                printf("  skipping the archive itself:  %s\n", tmb_shown(p.c_str()).c_str());
        });
        run->skipped++;
        return;
    }
    const Record &rec = run->arcmap[i];
    const char *line = nullptr;
    if (rec.found)
        line = !c.is_dir && rec.mtime < c.time ? "  updating: %s\n" : nullptr;
    else if (run->o->command == 'u')
        line = "  adding:   %s\n";
    if (!line) {
        run->skipped++;
        say(run, [run, i] { restore_dropped(run, i); });
        return;
    }
    say(run, [run, line, n = c.name] {
        if (!run->o->quiet)
            printf(line, tmb_shown(n.c_str()).c_str());
    });
    run->as.arc_root_len = c.root_len;
    add_path_then(run->as, c.path.c_str(), c.arcname.c_str(), run->o->method,
                  [run, i](int ok, const AddTally &d) {
                      if (ok && d.added > 0) {
                          run->updated++;
                          return;
                      }
                      // Every file that failed is an error of its own, as for a.
                      run->errors += d.failed > 0 ? d.failed : 1;
                      restore_dropped(run, i);
                  });
}

void add_pass(UpdateRun *run)
{
    run->as.add_file_no = run->kept;
    // A tree walk below must pass over both the old and the new archive.
    FILE *out = run->tmp.file.get();
    add_set_archive(run->as, out, run->have_old ? run->old.file.get() : nullptr);
    if (add_begin(run->as, out)) {
        for (size_t i = 0; i < run->cands.size() && !ferror(out) && !run->as.add_tally.broken; i++)
            add_pass_one(run, i);
        add_end(run->as);
    }
    add_set_archive(run->as, nullptr);
    run->as.arc_root_len = 0;
}

int run_update(UpdateRun *run)
{
    int opened = rewrite_open_old(&run->old, run->o->archive, tmb_console(), dbg_sink(run->o->log));
    if (opened < 0)
        return 1;
    run->have_old = opened == 1;
    run->have_old_id = run->have_old && tmb_stream_id(run->old.file.get(), &run->old_id);
    collect_candidates(run);
    run->arcmap.assign(run->cands.size(), Record{false, 0});
    if (run->have_old && !build_map(run))
        return 1;
    if (!rewrite_create(&run->tmp, run->o->archive, tmb_console())) {
        rewrite_report_create(&run->tmp, run->o->archive, errno);
        return 1;
    }
    // Another process may change the archive between the passes; the copy
    // must then have met exactly the entries the map holds.
    if (run->have_old && (!copy_pass(run) || !rewrite_unchanged(&run->old))) {
        rewrite_abort(&run->tmp);
        return 1;
    }
    int added_before = run->as.add_tally.added;
    add_pass(run);
    // Out of disk or memory while adding: the old archive stays as it was.
    if (run->as.add_tally.broken || run->restore_failed || ferror(run->tmp.file.get())) {
        fprintf(stderr, "Cannot build the new archive; %s left unchanged\n", run->o->archive);
        rewrite_abort(&run->tmp);
        return 1;
    }
    // Dropped entries were copied back from the old archive in pass 3.
    if (run->have_old && !rewrite_unchanged(&run->old)) {
        rewrite_abort(&run->tmp);
        return 1;
    }
    // Nothing replaced and nothing added: the archive stays as it is, byte
    // for byte and with its own time.
    if (run->have_old && run->dropped.empty() && run->as.add_tally.added == added_before) {
        rewrite_abort(&run->tmp);
        return 0;
    }
    if (!rewrite_commit(&run->tmp, run->o->archive))
        return 1;
    return 0;
}

} // namespace

int cmd_update(const Options &o)
{
    clock_t start = clock();
    if (o.nfiles <= 0) {
        fprintf(stderr, "No files specified.\n");
        return 1;
    }
    ProgressBar bar = progress_bar(o);
    UpdateRun run{};
    run.o = &o;
    add_init(run.as, o, &bar);
    int failed;
    try {
        // Each file's time is read once, by the walk, so that passes 2 and
        // 3 agree.
        failed = run_update(&run);
    } catch (const std::bad_alloc &) {
        // The list of files and the map grow with the arguments. Without
        // memory for them the old archive stays as it is and no temporary
        // file is left behind.
        fprintf(stderr, "Out of memory.\n");
        if (run.tmp.file)
            rewrite_abort(&run.tmp);
        failed = 1;
    }
    run.old.file.close();
    if (failed)
        return 1;
    printf("\nDone. Updated: %d  Kept: %d  Skipped: %d  Errors: %d\n", run.updated, run.kept,
           run.skipped, run.errors);
    print_elapsed(start);
    fflush(stdout);
    return run.errors > 0 ? 1 : 0;
}
