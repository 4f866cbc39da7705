// Adding one file or directory tree to an archive stream.
#pragma once
#include <cstdio>

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

int add_path(FILE *arc, const char *path, const char *arcname, int method);
const char *strip_arc_root(const char *name);

// Names the archive stream being written, and for u and f also the old
// archive being replaced, so that neither a tree walk nor a pattern stores
// an archive inside itself; nullptr forgets them.
void add_set_archive(FILE *arc, FILE *old = nullptr);
