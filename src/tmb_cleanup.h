// Temporary files that must not outlive the process: a file registered here
// is removed at exit (also through exit() from a fatal error) and when the
// process is stopped by SIGINT, SIGTERM, SIGHUP or SIGPIPE, unless it was released
// first (after the owner removed it or renamed it into place).
#pragma once

// 1 when registered; 0 when every slot is taken (the file then simply has
// no safety net, the owner still removes it on its normal ways out).
int tmb_cleanup_add(const char *path);
void tmb_cleanup_release(const char *path);

// The same for a file named relative to an open directory (unlinkat), so
// that the cleanup never follows a path that may have changed under it.
// The directory must stay open while the file is registered.
int tmb_cleanup_add_at(int dirfd, const char *name);
void tmb_cleanup_release_at(int dirfd, const char *name);

// Around making a temporary on a thread other than the main one: between
// enter and leave the file is made and registered. A signal that ends the
// process waits for such a file to be registered (it takes microseconds),
// and once it has come, enter fails, so no file is made that the clean-up
// could miss. enter returns 0 then.
int tmb_cleanup_enter_create();
void tmb_cleanup_leave_create();
