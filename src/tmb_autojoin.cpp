// Auto-join and the archive stream for the reading commands; see
// tmb_autojoin.h.
#include "tmb_autojoin.h"

#include <cstdio>

#include "tambrix.h"
#include "tmb_method.h"
#include "tmb_pool.h"
#include "tmb_spool.h"
#include "tmb_split.h"

int tmb_autojoin_begin(char *tmp, size_t size)
{
    tmp[0] = '\0';
    if (!looks_like_split_part()) {
        // A stream is read once, into a temporary that the command then
        // reads as a file.
        if (!tmb_is_stream_archive(g_opts.archive))
            return 0;
        if (tmb_spool_archive(g_opts.archive, tmp, size))
            return 1;
        stand_in_for_archive(tmp);
        return 0;
    }
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

std::vector<ExtractCtx *> tmb_unpack_contexts(int64_t size)
{
    int workers = size >= 0 ? tmb_thread_count(g_opts.threads) : 1;
    std::vector<ExtractCtx *> ctxs;
    for (int w = 0; w < workers; w++) {
        ExtractCtx *ctx = tmb_extract_new(g_inbuf_max, g_outbuf_max);
        if (!ctx)
            break;
        ctxs.push_back(ctx);
    }
    return ctxs;
}

void tmb_unpack_contexts_free(std::vector<ExtractCtx *> &ctxs)
{
    for (ExtractCtx *ctx : ctxs)
        tmb_extract_free(ctx);
    ctxs.clear();
}
