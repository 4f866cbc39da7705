// Rebuilding an archive beside itself (update, freshen, delete): entries
// are copied byte for byte into a temporary archive that replaces the old
// one by an atomic rename, and only when every byte was written.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "tmb_atomic.h"
#include "tmb_header.h"
#include "tmb_msg.h"
#include "tmb_stream.h"

// An archive opened for copying, with its size for the damage checks.
// The entries of each walk are summed up (count and a digest of their
// positions and sizes), so that a later walk can prove it saw the same
// entries as the first.
struct OldArchive {
    BufferedFile file;
    const char *path = nullptr;
    int64_t size = 0;
    struct timespec mtime = {};
    uint64_t entries = 0, layout = 0;              // the walk under way
    uint64_t first_entries = 0, first_layout = 0;  // the walk before the last restart
    LogSink log;                                    // the header reader's debug lines
    MessageSink msg;                                // what is said about it
};

// Opens the archive "rb". 1 opened; 0 it does not exist (errno ENOENT);
// -1 it exists but cannot be read (a message has been printed). The
// header reader's debug lines go to `log`.
int rewrite_open_old(OldArchive *old, const char *path, const MessageSink &msg, const LogSink &log = {});

// Reads the next entry: 1 an entry (the stream stands at its data, data_pos
// is set), 0 the real end (a zero byte where a header starts, or the end of
// the file exactly at an entry boundary), -1 damage (a message has been
// printed: an unreadable header, data running past the end of the file, or
// bytes after the end mark that are not padding, which the rewritten
// archive would lose).
int rewrite_next_entry(OldArchive *old, EntryHeader *h);

// Moves the stream past the entry's data.
int rewrite_skip_entry(OldArchive *old, const EntryHeader *h);

// Walks every entry; 1 when the archive ends properly. The stream is left
// at the start again, ready for the copying walk.
int rewrite_check(OldArchive *old);

// Ends a walk over every entry and goes back to the start for the next.
void rewrite_restart(OldArchive *old);

// After the copying walk: 1 when it met exactly the entries of the walk
// before it and the file has not been modified since it was opened; else
// a message is printed and 0 is returned (another process changed the
// archive, and what was copied may not be all of it).
int rewrite_unchanged(OldArchive *old);

// The temporary archive: created exclusively beside the archive as
// "<archive>.XXXXXX.tmp" with the old archive's permission bits. When the
// archive name is a symbolic link, "beside the archive" means beside the
// file the link points at: that file is replaced and the link stays.
struct NewArchive {
    BufferedFile file;
    char path[512] = "";
    char target[512] = "";  // the name the new archive is renamed to
    int stdout_fd = -1;     // for the archive "-": the standard output it goes to
    MessageSink msg;        // what is said about it (set by rewrite_create)
    AtomicFile beside;      // the temporary beside the archive (not for "-")
};

// Copies header and data of an entry unchanged: 1 done, 0 failed (message
// printed). The old stream is left past the entry.
int rewrite_copy_entry(OldArchive *old, int64_t header_pos, uint64_t length, NewArchive *out);

// 1 when the temporary archive is open; 0 on failure (errno set).
int rewrite_create(NewArchive *tmp, const char *archive, const MessageSink &msg);
// After a failed rewrite_create: "Cannot create temp file: DIR (reason)",
// with the directory where it was to be made (no name was made).
void rewrite_report_create(const NewArchive *tmp, const char *archive, int err);

// Ends the new archive, closes it and renames it over the archive. On any
// failure a message is printed, the temporary file is removed, the old
// archive stays as it was, and 0 is returned.
int rewrite_commit(NewArchive *tmp, const char *archive);

// Closes the temporary file, making sure every byte reached the disk, and
// renames it to tmp->target. On failure a message is printed, the
// temporary file is removed and 0 is returned. (rewrite_commit is this
// after the end mark; the self-extracting builder uses it alone.)
int rewrite_install(NewArchive *tmp, const char *archive);

// Gives up: closes and removes the temporary archive.
void rewrite_abort(NewArchive *tmp);
