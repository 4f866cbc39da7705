// Case-insensitive compare, name patterns and entry selection.
#pragma once

int tmb_strcasecmp(const char *a, const char *b);
int match_simple(const char *pattern, const char *name);
int file_wanted(const char *name);
