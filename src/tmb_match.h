// Case-insensitive compare, name patterns and entry selection.
#pragma once

int tmb_strcasecmp(const char *a, const char *b);
int match_simple(const char *pattern, const char *name);
int file_wanted(const char *name);

// The name arguments that select nothing, like tar's "Not found in
// archive": file_wanted notes every argument that selects a name, from the
// last file_wanted_begin on; file_wanted_unmatched then writes
// "No entry matches: NAME" on standard error for each argument that
// selected none, and returns their number.
void file_wanted_begin();
int file_wanted_unmatched();
