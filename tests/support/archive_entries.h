// Reading an archive back in tests, through the program's own header
// reader: every entry with its header fields and its bytes as stored.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "testkit.h"

namespace testkit {

struct ArchiveEntry {
    std::string name;
    int method = -1;
    uint64_t orig_size = 0;
    uint64_t comp_size = 0;
    uint16_t crc = 0;
    int64_t mtime = 0;
    int level = 0;
    Bytes raw;  // header and packed data exactly as stored
};

// Entries up to the first zero byte where a header would start (or the end
// of the file). `ended_with_marker` tells whether a zero byte ended it.
std::vector<ArchiveEntry> read_entries(const std::string &path, bool *ended_with_marker = nullptr);

// Just the names, in archive order.
std::vector<std::string> entry_names(const std::string &path);

// Names of the files in a directory (not recursive), sorted.
std::vector<std::string> list_dir(const std::string &dir);

} // namespace testkit
