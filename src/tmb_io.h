// Small file helpers shared by the commands: exclusive temporary files and
// checked closing.
#pragma once
#include <cstdio>

// Creates a new file exclusively (O_EXCL, mode 0600) named
// prefix + unique part + suffix and opens it "w+b". The name is stored in
// `path` (at most `size` bytes). Returns nullptr on failure.
FILE *tmb_create_temp(const char *prefix, const char *suffix, char *path, size_t size);

// Flushes and closes; 1 when every buffered byte reached the file.
int tmb_close_checked(FILE *fp);
