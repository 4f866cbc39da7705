// A file written whole or not at all: the one way every command and the
// library put a new file in place (extracted files, rewritten archives,
// split parts and their sidecar, a joined archive, self-extractors,
// listings, archives the library writes).
//
// The bytes go to a temporary made exclusively (O_EXCL, never through a
// link) beside the target and registered with the clean-up (tmb_cleanup) in
// the same step, so no signal can leave it behind. When complete it takes
// the target's name by one rename: a reader sees the old file or the new
// one, never a part. A rename replaces whatever bears the name, so a
// symbolic link, FIFO or device planted there is never written through, and
// a directory there makes the rename fail with the directory untouched.
//
// Which files are synced before the rename: archives and everything that
// is one or holds one (rewritten and new archives, split parts, the
// sidecar, a joined archive, self-extractors) and the files the library
// and listings write, because losing them to a crash right after the
// rename would lose the user's only copy. Extracted files are not synced:
// their archive still holds them, and a sync per file would make unpacking
// a tree of small files many times slower.
#pragma once
#include <cstdio>
#include <string>
#include <sys/types.h>

struct AtomicFile {
    // The directory both names are in: a descriptor the caller holds open
    // until the file is placed or abandoned, or AT_FDCWD when the names are
    // paths.
    int dirfd = -1;
    std::string tmp;    // the temporary's name
    std::string target; // the name it takes
    bool at = false;    // registered by directory and name (else by path)
};

// Makes the temporary for `target` in the held directory `dirfd`, named
// ".tmb" + random letters + ".tmp", with `mode` less the umask. Returns its
// descriptor (opened read-write), or -1 (errno set; nothing was made).
int tmb_atomic_create_at(AtomicFile *a, int dirfd, const char *target, mode_t mode);

// Makes the temporary for the path `target` beside it, named
// target + "." + a unique part + ".tmp" (a name the user can tell belongs
// to that file), with the permission bits `mode`. Returns it open "w+b",
// or nullptr (errno set; nothing was made).
FILE *tmb_atomic_create_beside(AtomicFile *a, const char *target, mode_t mode);

// Makes sure what was written to `fd` is on the disk. 1 done (or the file
// system keeps no such promise: a pipe, a special file); 0 failed (errno).
int tmb_atomic_sync(int fd);

// Renames the temporary (written, and closed by the caller or not) to the
// target. 1 done; 0 failed (errno kept): the temporary is removed and what
// bore the name stays. Either way the temporary is no longer registered.
int tmb_atomic_place(AtomicFile *a);

// Gives up: the temporary is removed and released; what bore the name
// stays. Harmless when nothing was made.
void tmb_atomic_abort(AtomicFile *a);

// Releases a temporary its writer has already removed: unlinking the name
// again could remove a file someone else made under it meanwhile.
void tmb_atomic_forget(AtomicFile *a);
