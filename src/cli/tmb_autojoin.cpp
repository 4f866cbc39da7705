// Auto-join and the archive stream for the reading commands; see
// tmb_autojoin.h.
#include "tmb_autojoin.h"

#include <cstdio>

#include "options.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_method.h"
#include "tmb_pool.h"
#include "tmb_spool.h"
#include "tmb_split.h"
#include "tmb_report.h"

int tmb_autojoin_begin(StandIn *in, const Options &o)
{
    if (!looks_like_split_part(o.archive)) {
        // A stream is read once, into a temporary that the command then
        // reads as a file.
        if (!tmb_is_stream_archive(o.archive))
            return 0;
        char tmp[sizeof in->tmpname];
        if (tmb_spool_archive(tmb_console(), o.archive, tmp, sizeof tmp, dbg_sink(o.log)))
            return 1;
        stand_in_for_archive(in, tmp, o.archive);
        return 0;
    }
    return maybe_join_for_read(in, split_settings(o), o.archive) ? 0 : 1;
}

void tmb_autojoin_end(StandIn *in)
{
    if (in->tmpname[0])
        release_joined_for_read(in, in->tmpname);
}

BufferedFile tmb_open_archive(StandIn *in, const Options &o)
{
    if (tmb_autojoin_begin(in, o))
        return BufferedFile();
    BufferedFile arc(fopen(tmb_archive_read(*in, o.archive), "rb"));
    if (!arc) {
        fprintf(stderr, "Cannot open: %s\n", tmb_archive_shown(*in, o.archive));
        tmb_autojoin_end(in);
    }
    return arc;
}

std::vector<ExtractCtx *> tmb_unpack_contexts(const Options &o, int64_t size)
{
    int workers = size >= 0 ? tmb_thread_count(o.threads) : 1;
    std::vector<ExtractCtx *> ctxs;
    for (int w = 0; w < workers; w++) {
        ExtractCtx *ctx = tmb_extract_new(o.inbuf_max, o.outbuf_max);
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
