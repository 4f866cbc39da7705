// Temporary files that must not outlive the process: a file registered here
// is removed at exit (also through exit() from a fatal error) and when the
// process is stopped by SIGINT, SIGTERM, SIGHUP or SIGPIPE, unless it was released
// first (after the owner removed it or renamed it into place).
//
// Temporaries are made through tmb_create_temp and tmb_create_temp_at
// (tmb_io), which register them in the same step; the owner releases them.
#pragma once

// Room for names in open directories (the temporaries extraction makes, one
// per entry in flight) and for whole paths (the few temporaries of the
// single-threaded commands). Extraction keeps at most its pool's queue of
// jobs in flight, each with a bounded number of temporaries; it checks at
// compile time that they all fit.
constexpr int kTmbCleanupNames = 8192 + 64;
constexpr int kTmbCleanupPaths = 32;

// 1 when registered; 0 when every slot is taken or the name is too long.
int tmb_cleanup_add(const char *path);
void tmb_cleanup_release(const char *path);

// The same for a file named relative to an open directory (unlinkat), so
// that the cleanup never follows a path that may have changed under it.
// The directory must stay open while the file is registered.
int tmb_cleanup_add_at(int dirfd, const char *name);
void tmb_cleanup_release_at(int dirfd, const char *name);

// Around making and registering a temporary, on any thread. enter blocks
// the handled signals on the calling thread (leave restores them), so no
// signal can come between the create and the registration there; a signal
// taken on another thread waits until the file is registered (it takes
// microseconds) before it removes the files. Once a signal is ending the
// process, enter returns 0 (signals left as they were) and no file may be
// made. Between enter and leave the thread makes one file and registers it,
// nothing else: the handler waits for it.
int tmb_cleanup_enter_create();
void tmb_cleanup_leave_create();
