// The reading commands (l, v, L, x, e, t, p) accept a split part such as
// 'archive.tmb.001': the parts are joined into a temporary archive first,
// the command reads that, and removes it on every way out. An archive
// that is a stream (standard input "-", a pipe, a FIFO) is copied once into
// a temporary archive the same way (tmb_spool.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tmb_stream.h"

struct Options;
struct StandIn;

// Joins when the archive argument names a part, copies it when it is a
// stream. Returns 0 when the command may go on (`in` then holds the
// temporary that stands in for the archive, or none when the archive is
// read as it is) and 1 when the join failed and has reported why.
int tmb_autojoin_begin(StandIn *in, const Options &o);

// Removes the temporary archive, if there is one, and forgets its name.
void tmb_autojoin_end(StandIn *in);

// The archive of a reading command: joined first when named by a part
// (tmb_autojoin_begin), then opened for reading with a stream buffer of its
// own. When it cannot be had, says why ("Cannot open: NAME", the name as
// the user gave it, or the join's own message), removes the temporary join
// and returns no stream. Otherwise the caller ends with tmb_autojoin_end.
BufferedFile tmb_open_archive(StandIn *in, const Options &o);

// The unpacking contexts of x, e and t: one per thread of -T<n> when the
// archive is a regular file of `size` bytes (the workers read it with
// pread), one for an archive read from a pipe (size -1), each with the
// limits of -b. Empty when not even one can be had.
struct ExtractCtx;
std::vector<ExtractCtx *> tmb_unpack_contexts(const Options &o, int64_t size);
void tmb_unpack_contexts_free(std::vector<ExtractCtx *> &ctxs);
