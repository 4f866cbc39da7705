// Splitting files into numbered parts with a sidecar, and joining them.
#pragma once
#include <cstdint>

int split_file(const char *path, uint64_t part_kb, int remove_after);
int join_parts(const char *part_name, const char *out_path);
int looks_like_split_part();
const char *maybe_join_for_read();
