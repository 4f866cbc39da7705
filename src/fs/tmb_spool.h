// Archives that are streams: standard input or output ("-"), a pipe, a
// FIFO or a character device can be read or written only once and only
// forwards, while the commands walk an archive back and forth (a header is
// read ahead and stepped back over, x counts the entries before it
// extracts, the workers of -T<n> read entries at their offsets).
//
// So a streamed archive is copied once into a private temporary file,
// which then stands in for it: the commands read a regular file, and
// messages still show the name the user gave. The copy follows the
// archive's own structure and stops where the archive ends (its end mark,
// a damaged header or the end of the stream), so it never holds more than
// the stream really delivered for the archive: a never-ending device such
// as /dev/zero costs one byte. Written the other way, `a -` builds the
// archive in a temporary file and copies it to standard output only once
// it is complete.
#pragma once
#include <cstddef>

#include "tmb_msg.h"

// True for "-" and for an existing name that is neither a regular file nor
// a directory (checked without opening it, so a FIFO is not disturbed).
bool tmb_is_stream_archive(const char *name);

// Copies the archive read from `name` ("-": standard input) into a new
// exclusive temporary in tmb_temp_dir(), registered for removal on every
// way out of the process, signals included; its path goes to `tmp`.
// Returns 0 done, 1 failed (said why on standard error, nothing left).
// The walk's debug lines go to `log`.
struct LogSink;
int tmb_spool_archive(const MessageSink &msg, const char *name, char *tmp, size_t size, const LogSink &log);

// For `a -`: keeps the real standard output for the archive and points
// descriptor 1 at standard error, so that no banner, progress or message
// can ever go into the archive's stream; the kept descriptor goes to
// `kept`. Refuses a terminal. Returns 0 done, 1 failed (said why).
int tmb_stdout_archive_begin(const MessageSink &msg, int *kept);

// Copies the finished archive file `path` to the kept standard output
// `kept`. 1 done; 0 failed (said why).
int tmb_stdout_archive_write(const MessageSink &msg, int kept, const char *path);
