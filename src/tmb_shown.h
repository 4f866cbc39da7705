// Entry names as they may be shown on a terminal.
#pragma once
#include <cstdint>
#include <string>

// `name` with every control byte (below 0x20, and 0x7F) written as a
// backslash and three octal digits, so that a name read from an archive
// cannot move the cursor, erase lines or fake output. Other bytes, UTF-8
// sequences included, are kept. Names written to disk are never changed.
std::string tmb_shown(const char *name);

// The standard-error line of an entry that failed: "  ERROR: NAME: REASON".
// Scripts see every failure there, whatever goes to standard output.
void tmb_report_entry(const char *name, const char *reason);

// The reason for a failed tmb_extract result, for tmb_report_entry.
const char *tmb_extract_reason(int rc);

// Says on standard error why the walk of `archive` stopped before its end:
// at offset 0 the file is no LZH archive; elsewhere the archive is damaged.
void tmb_report_walk_damage(const char *archive, int64_t pos, const char *why);
