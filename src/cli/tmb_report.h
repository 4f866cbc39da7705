// What the commands print about entries and archives: the failure lines
// of standard error and the listing line.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tmb_msg.h"

struct EntryHeader;
struct Selection;

// The standard-error line of an entry that failed: "  ERROR: NAME: REASON".
// Scripts see every failure there, whatever goes to standard output.
void tmb_report_entry(const char *name, const char *reason);

// The reason for a failed tmb_extract result, for tmb_report_entry.
const char *tmb_extract_reason(int rc);

// Says on standard error why the walk of `archive` stopped before its end:
// at offset 0 the file is no LZH archive; elsewhere the archive is damaged.
void tmb_report_walk_damage(const char *archive, int64_t pos, const char *why);

// The listing line of an entry (l, v, L) and its date text.
void tmb_print_header(const EntryHeader *h, int verbose);
void tmb_format_time(int64_t t, char *buf, size_t size);

// The name arguments that select nothing, like tar's "Not found in
// archive": writes "No entry matches: NAME" on standard error for each
// argument of `sel` that selected no entry, and returns their number.
int file_wanted_unmatched(const Selection &sel);

// The sink through which the layers below the program talk: MSG_OUT goes
// to standard output, MSG_ERR to standard error, each through its stdio
// stream, so that their buffering and the program's own lines interleave
// as if the layers had printed themselves.
MessageSink tmb_console();
