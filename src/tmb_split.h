// Splitting files into numbered parts with a sidecar, and joining them.
//
// A file "name" is cut into parts "name.001", "name.002", ... of a fixed
// size; concatenating them in number order gives the file back. The text
// sidecar "name.info" records the size and the CRC-16 of the whole file so
// that a join can be verified.
#pragma once
#include <cstdint>
#include <vector>

#include "tmb_io.h"

// Splits `path` into parts of `part_kb` KB and writes the sidecar. With
// `remove_after` non-zero the file is removed once parts and sidecar are
// complete. Returns 0 on success, 1 on failure; on failure the file is
// never removed.
int split_file(const char *path, uint64_t part_kb, int remove_after);

// Joins the parts of the series that `part_name` (any part, e.g.
// "arc.tmb.002") belongs to, starting at part 1, into `out_path`, and
// verifies the result against the sidecar when there is one. Honours
// g_opts.force_overwrite and g_opts.quiet. Returns 0 on success, 1 on
// failure; a failed or unverifiable-because-broken output is removed.
int join_parts(const char *part_name, const char *out_path);

// 1 when g_opts.archive ends in a point and three digits (a part name).
int looks_like_split_part();

// When g_opts.archive is a part name, joins the parts into a new temporary
// file "$TMPDIR/tambrix_joined_<unique>.tmp" (/tmp without TMPDIR) (created exclusively), points
// g_opts.archive at it and returns its path. Returns nullptr when the
// archive is no part name or when the join failed (the failure is already
// reported and nothing is left behind).
//
// Caller contract for reading commands:
//
//     if (looks_like_split_part()) {
//         const char *tmp = maybe_join_for_read();
//         if (!tmp)
//             return 1;
//         JoinedReadGuard guard(tmp);   // removes the file on every way out
//         ... read g_opts.archive ...
//     }
//
// or call release_joined_for_read(tmp) by hand on every return path.
const char *maybe_join_for_read();

// Lets the temporary file `tmp` (registered for clean-up) stand in for
// the archive as a joined series does: g_opts.archive points at it, the
// messages show the name the user gave, release_joined_for_read removes it.
void stand_in_for_archive(const char *tmp);

// Removes the temporary file returned by maybe_join_for_read. Does nothing
// for nullptr; calling it twice is harmless.
void release_joined_for_read(const char *tmp);

// The archive as the user named it: the part name while a joined
// temporary stands in for it, else g_opts.archive. For messages.
const char *tmb_archive_shown();

// The parts and the sidecar read by the current auto-join (empty when
// there is none): an extraction must not write over them.
const std::vector<FileId> &tmb_join_inputs();

// True while a joined temporary stands in for the archive when the file
// `leaf` in the open directory `dirfd` would be a part or the sidecar of
// the series it was joined from (a part not yet present included): an
// extraction beside the series must not change it.
bool tmb_joined_series_member(int dirfd, const char *leaf);

// Scope guard that calls release_joined_for_read when it goes out of scope.
class JoinedReadGuard {
public:
    explicit JoinedReadGuard(const char *tmp) : tmp_(tmp) {}
    ~JoinedReadGuard() { release_joined_for_read(tmp_); }
    JoinedReadGuard(const JoinedReadGuard &) = delete;
    JoinedReadGuard &operator=(const JoinedReadGuard &) = delete;

private:
    const char *tmp_;
};
