// Case-insensitive compare, name patterns and entry selection.
#pragma once
#include <vector>

int tmb_strcasecmp(const char *a, const char *b);
int match_simple(const char *pattern, const char *name);

// The name arguments of a command that select entries (all entries when
// there are none), and which of them have selected one so far.
struct Selection {
    char *const *files = nullptr;
    int nfiles = 0;
    std::vector<char> selected; // one flag per argument
};

// A selection by `nfiles` patterns (none: every entry).
Selection file_selection(char *const *files, int nfiles);

// True when an entry of this name is selected: by its whole name or by its
// base name.
int file_wanted(Selection &sel, const char *name);

// file_wanted notes every argument that selects a name, from the last
// file_wanted_begin on (see file_wanted_unmatched).
void file_wanted_begin(Selection &sel);
