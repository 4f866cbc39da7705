// Splitting files into numbered parts with a sidecar, and joining them.
//
// A file "name" is cut into parts "name.001", "name.002", ... of a fixed
// size; concatenating them in number order gives the file back. The text
// sidecar "name.info" records the size and the CRC-16 of the whole file so
// that a join can be verified.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tmb_io.h"
#include "tmb_msg.h"

// What split and join take from the options: whether they talk (the
// "writing:", "reading:" and verification lines) and whether a join may
// replace an existing output; and where what they say goes.
struct SplitSettings {
    int quiet = 0;
    int force_overwrite = 0;
    MessageSink msg;
};

// A temporary file that stands in for the archive of a reading command: the
// parts of a series joined, or a streamed archive copied (tmb_spool). The
// command reads the temporary; messages show the name the user gave.
struct StandIn {
    char tmpname[256] = "";
    char user_archive[256] = "";     // the name the user gave
    // The parts and the sidecar read by the join (an extraction must not
    // write over them), and the directory and stem of the series.
    std::vector<FileId> join_inputs;
    bool series_set = false;
    FileId series_dir{};
    std::string series_stem;
};

// Splits `path` into parts of `part_kb` KB and writes the sidecar. With
// `remove_after` non-zero the file is removed once parts and sidecar are
// complete. Returns 0 on success, 1 on failure; on failure the file is
// never removed.
int split_file(const SplitSettings &set, const char *path, uint64_t part_kb, int remove_after);

// Joins the parts of the series that `part_name` (any part, e.g.
// "arc.tmb.002") belongs to, starting at part 1, into `out_path`, and
// verifies the result against the sidecar when there is one. Returns 0 on
// success, 1 on failure; a failed or unverifiable-because-broken output is
// removed.
int join_parts(const SplitSettings &set, const char *part_name, const char *out_path);

// 1 when `archive` ends in a point and three digits (a part name).
int looks_like_split_part(const char *archive);

// When `archive` is a part name, joins the parts into a new temporary file
// "$TMPDIR/tambrix_joined_<unique>.tmp" (/tmp without TMPDIR) (created
// exclusively), which then stands in for the archive (`in`), and returns its
// path. Returns nullptr when the archive is no part name or when the join
// failed (the failure is already reported and nothing is left behind).
//
// Caller contract for reading commands:
//
//     StandIn in;
//     if (looks_like_split_part(archive)) {
//         const char *tmp = maybe_join_for_read(&in, set, archive);
//         if (!tmp)
//             return 1;
//         JoinedReadGuard guard(&in, tmp);   // removes the file on every way out
//         ... read tmb_archive_read(in, archive) ...
//     }
//
// or call release_joined_for_read(&in, tmp) by hand on every return path.
const char *maybe_join_for_read(StandIn *in, const SplitSettings &set, const char *archive);

// Lets the temporary file `tmp` (registered for clean-up) stand in for
// `archive` as a joined series does: release_joined_for_read removes it.
void stand_in_for_archive(StandIn *in, const char *tmp, const char *archive);

// Removes the temporary file returned by maybe_join_for_read. Does nothing
// for nullptr; calling it twice is harmless.
void release_joined_for_read(StandIn *in, const char *tmp);

// The archive as the user named it: the name given while a temporary stands
// in for it, else `archive`. For messages.
const char *tmb_archive_shown(const StandIn &in, const char *archive);

// The file to read: the temporary while one stands in, else `archive`.
const char *tmb_archive_read(const StandIn &in, const char *archive);

// True while a joined temporary stands in for the archive when the file
// `leaf` in the open directory `dirfd` would be a part or the sidecar of
// the series it was joined from (a part not yet present included): an
// extraction beside the series must not change it.
bool tmb_joined_series_member(const StandIn &in, int dirfd, const char *leaf);

// Scope guard that calls release_joined_for_read when it goes out of scope.
class JoinedReadGuard {
public:
    JoinedReadGuard(StandIn *in, const char *tmp) : in_(in), tmp_(tmp) {}
    ~JoinedReadGuard() { release_joined_for_read(in_, tmp_); }
    JoinedReadGuard(const JoinedReadGuard &) = delete;
    JoinedReadGuard &operator=(const JoinedReadGuard &) = delete;

private:
    StandIn *in_;
    const char *tmp_;
};
