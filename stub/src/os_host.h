/*
 * Controls for the POSIX stand-ins of os_host.c, used by the unit tests:
 * file names are taken relative to a root directory, messages are captured,
 * answers come from a string, and Ctrl+C can be raised before a chosen entry.
 */
#ifndef TMB_STUB_OS_HOST_H
#define TMB_STUB_OS_HOST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts a fresh run: names resolve below `root`; `program` is the name the
 * extractor finds for itself (empty: none). Clears input, output and break. */
void host_reset(const char *root, const char *program);
/* "PROGDIR:" names this directory instead of the root. */
void host_set_progdir(const char *dir);
/* Files may take this many bytes more, then writes fail as on a full disk. */
void host_set_disk_space(long bytes);
/* Answers for the prompt; without a call there is no input stream. */
void host_set_input(const char *data, size_t len);
/* Ctrl+C arrives before the n-th break test (1 = the first entry). */
void host_set_break_at(int n);
/* `name` behaves as held with an exclusive lock by another program: it
 * cannot be locked (os_lock_busy says why), opened, deleted or renamed. */
void host_set_busy(const char *name);
/* Every rename fails (non-zero) or works as it should (0). */
void host_set_renames_fail(int on);
/* Everything written to the output stream so far. */
const char *host_output(size_t *len);
/* Number of write calls to files that were opened by the extractor. */
long host_file_writes(void);

#ifdef __cplusplus
}
#endif

#endif
