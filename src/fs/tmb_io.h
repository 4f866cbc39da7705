// Small file helpers shared by the commands: file identities and base
// names, exclusive temporary files and checked closing.
#pragma once
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

#include "tmb_atomic.h"
#include "tmb_msg.h"
#include "tmb_stream.h"

// A file's identity: device and inode. Two names, links or open streams
// lead to the same file exactly when their identities are equal.
struct FileId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FileId &) const = default;
};

FileId tmb_file_id(const struct stat &st);
// The identity of the file an open stream reads or writes; false when the
// system cannot say.
bool tmb_stream_id(FILE *fp, FileId *id);
// True when `path` exists and is the file `id` (also through a symbolic or
// a hard link).
bool tmb_path_is(const char *path, const FileId &id);

// The part of a path after its last '/' or ':' (an AmigaOS device name
// such as "RAM:" ends in ':'); the whole path when it has neither.
const char *tmb_base_name(const char *path);

// The directory a path's file lies in, as a message names it: "." for a
// bare name, "/" for a file at the root.
std::string tmb_dir_of(const char *path);

// Creates a new file exclusively (O_EXCL, mode 0600) named
// prefix + unique part + suffix and opens it "w+b". The name is stored in
// `path` (at most `size` bytes). Returns nullptr on failure (errno set;
// `path` then names no file). The file is registered for removal on every
// way out (tmb_cleanup) in the same step, with no gap a signal could fall
// into; the owner calls tmb_cleanup_release once it is removed or renamed.
FILE *tmb_create_temp(const char *prefix, const char *suffix, char *path, size_t size);

// Creates a new file exclusively (O_EXCL | O_NOFOLLOW; `mode`, less the
// umask) in the open directory `dirfd`, named ".tmb" + twelve random
// letters + ".tmp"; the name goes to `name` (at least 24 bytes). Returns
// the descriptor, or -1 (errno set; EINTR when a signal is ending the
// process). Registered like tmb_create_temp's files
// (tmb_cleanup_release_at); may be called on any thread.
int tmb_create_temp_at(int dirfd, char *name, size_t size, mode_t mode);

// The permission bits a new file gets from open or fopen: 0666 less the
// umask. Exclusive temporaries are made private (0600) and take these
// bits, or the replaced file's, before they are renamed into place.
mode_t tmb_new_file_mode();

// The directory for the program's own temporary files: $TMPDIR when set
// and not empty, else /tmp.
const char *tmb_temp_dir();

// Follows the symbolic links of a name the user gave, one after another,
// to the name of the file they finally point at (which need not exist yet),
// so that a file rewritten under that name is replaced where it lives and
// the links stay. A name that is no link is copied as it is. Returns 0 when
// the result does not fit in `size` or the links loop (errno set).
int tmb_follow_links(const char *path, char *out, size_t size);

// Opens an existing file that a command is about to replace, to look at it
// first: only a regular file, and without waiting on a FIFO. Returns the
// descriptor (`st` filled in), -1 when there is no such file, or -2 after
// saying why it cannot be replaced ("Cannot open/create: PATH (reason)").
int tmb_open_to_replace(const MessageSink &msg, const char *path, struct stat *st);

// Flushes and closes; 1 when every buffered byte reached the file.
int tmb_close_checked(FILE *fp);

// A file written whole or not at all: the bytes go to an exclusive
// temporary file beside it, which takes the file's name only once complete.
// A symbolic link named as the file is kept: the file it points to is the
// one replaced. Until then what was there stays, through any failure or
// signal (the temporary is registered for removal).
struct SafeOutput {
    BufferedFile file;
    std::string path; // the file that will be replaced (a link resolved)
    AtomicFile tmp;   // its temporary (none for a device or pipe)
};

// 1 when the temporary is open for writing; 0 on failure (errno set).
int tmb_output_open(SafeOutput *o, const char *path);
// Flushes, syncs, closes and renames into place: 1 done; 0 failed (errno
// set), the temporary removed and the old file untouched.
int tmb_output_commit(SafeOutput *o);
// Gives up: the temporary goes, the old file stays.
void tmb_output_abort(SafeOutput *o);
