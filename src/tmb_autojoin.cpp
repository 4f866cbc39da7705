// Auto-join and the archive stream for the reading commands; see
// tmb_autojoin.h.
#include "tmb_autojoin.h"

#include <cstdio>

#include "tambrix.h"
#include "tmb_split.h"

int tmb_autojoin_begin(char *tmp, size_t size)
{
    tmp[0] = '\0';
    if (!looks_like_split_part())
        return 0;
    const char *joined = maybe_join_for_read();
    if (!joined)
        return 1;
    snprintf(tmp, size, "%s", joined);
    return 0;
}

void tmb_autojoin_end(char *tmp)
{
    if (tmp[0]) {
        release_joined_for_read(tmp);
        tmp[0] = '\0';
    }
}

BufferedFile tmb_open_archive(char *tmp, size_t size)
{
    if (tmb_autojoin_begin(tmp, size))
        return BufferedFile();
    BufferedFile arc(fopen(g_opts.archive, "rb"));
    if (!arc) {
        fprintf(stderr, "Cannot open: %s\n", tmb_archive_shown());
        tmb_autojoin_end(tmp);
    }
    return arc;
}
