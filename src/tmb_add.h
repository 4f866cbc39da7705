// Adding one file or directory tree to an archive stream.
#pragma once
#include <cstdio>
#include <functional>

extern int g_arc_root_len;
extern int g_add_file_no;

// What the calls of add_path have done since the tally was last cleared:
// entries actually written, and failures, one for each file that could not
// be added and each directory that could not be listed, however deep below
// the path given. add_path's own result only says whether anything failed.
// `broken` is set when the failure lies with the archive being built, not
// with an input: the archive or the packing temporary could not be written
// (a full disk), or memory ran out. The callers then give up the new
// archive and keep the old one as it was.
struct AddTally {
    int added;
    int failed;
    int broken;
};
extern AddTally g_add_tally;

// Adds one path (a file, or a tree with -r) to the archive stream `arc`;
// 1 when everything below it went in. Files are packed on the threads of
// -T<n>, and the entries are written and reported in the order of the walk
// before add_path returns.
int add_path(FILE *arc, const char *path, const char *arcname, int method);

// For many paths in a row: add_begin starts the packing threads for `arc`
// (0, reported, when it cannot), add_path_then queues each path without
// waiting for it, and `done` is called in turn, once every entry below the
// path is written, with whether all went well and the tally of that path
// alone. add_end finishes everything queued. Between add_begin and add_end,
// add_path uses the same threads.
int add_begin(FILE *arc);
void add_path_then(const char *path, const char *arcname, int method,
                   std::function<void(int ok, const AddTally &delta)> done);
void add_end();
// Runs `f` in turn after what is queued (at once without add_begin): for
// the callers' own lines between paths.
void add_in_turn(std::function<void()> f);
const char *strip_arc_root(const char *name);

// Says on standard error that no entry went in, so `archive` is left as it
// was (or not created): an archive of nothing is never what was asked for.
void add_report_nothing_added(const char *archive);

// Names the archive stream being written, and for u and f also the old
// archive being replaced, so that neither a tree walk nor a pattern stores
// an archive inside itself; nullptr forgets them.
void add_set_archive(FILE *arc, FILE *old = nullptr);
