// Wildcard arguments of the adding commands ('*', '?' and the AmigaOS '#?'),
// expanded by the program itself by listing directories.
#pragma once

#include "tmb_msg.h"

// A growable list of owned strings: capacity 256 at first, then doubled.
struct StrList {
    char **items;
    int count;
    int capacity;
};

// Appends a copy of `s`; on lack of memory the string is left out.
void expand_list_add(StrList *list, const char *s);
void expand_list_free(StrList *list);

// Builds "<dir>/<name>" in a 256-byte buffer, cut at 255 characters like
// every path of the program.
void join_path_cut(char *out, const char *dir, const char *name);

// Builds "<dir>/<name>" like join_path_cut when it fits in 255 characters
// and returns 1; otherwise prints "  Path too long: <dir>/<name>" on
// standard error and returns 0. A cut path would name another file, often
// the directory itself, so a walk must neither descend into it nor add it.
int join_path_checked(const MessageSink &msg, char *out, const char *dir, const char *name);

// 1 when the argument holds '*', '?' or '#?'.
int is_wildcard_arg(const char *arg);

// Splits at the last '/' or ':': `dir` gets the text up to and including
// it (empty when there is none), `pattern` the rest; 256-byte buffers.
void split_wildcard_path(const char *arg, char *dir, char *pattern);

// Lists `dir` ("." when empty) and, with `recursive`, every directory below
// it, breadth-first in listing order, and calls `on_match` with the path
// "<dir>/<name>" of each non-directory entry whose name matches `pattern`.
// Symbolic links are never followed into directories here. A path too long
// to hold is reported (join_path_checked) and passed over.
// Returns the number of paths passed over as too long; the adding commands
// count them as errors.
int wildcard_scan(const MessageSink &msg, const char *dir, const char *pattern, int recursive,
                  void (*on_match)(const char *path, void *ctx), void *ctx);
