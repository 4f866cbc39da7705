// Adding one file or directory tree to an archive stream.
#pragma once
#include <cstdio>

extern int g_arc_root_len;
extern int g_add_file_no;

int add_path(FILE *arc, const char *path, const char *arcname, int method);
const char *strip_arc_root(const char *name);

// Names the archive stream being written, so that neither a tree walk nor
// a pattern adds the archive to itself; nullptr forgets it.
void add_set_archive(FILE *arc);
