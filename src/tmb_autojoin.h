// The reading commands (x, e, t, p) accept a split part such as
// 'archive.tmb.001': the parts are joined into a temporary archive first,
// the command reads that, and removes it on every way out.
#pragma once
#include <cstddef>

// Joins when the archive argument names a part. Returns 0 when the command
// may go on (`tmp` then holds the temporary path, or is empty when no join
// was needed) and 1 when the join failed and has reported why.
int tmb_autojoin_begin(char *tmp, size_t size);

// Removes the temporary archive, if there is one, and forgets its name.
void tmb_autojoin_end(char *tmp);
