// The failure lines of the commands.
#include "tmb_report.h"

#include <cstdio>
#include <cstring>

#include "tmb_match.h"
#include "tmb_method.h"
#include "tmb_shown.h"

void tmb_report_entry(const char *name, const char *reason)
{
    fprintf(stderr, "  ERROR: %s: %s\n", tmb_shown(name).c_str(), reason);
}

const char *tmb_extract_reason(int rc)
{
    switch (rc) {
    case TMB_EXTRACT_DAMAGED:
        return "the packed data ends before the entry does (damaged)";
    case TMB_EXTRACT_UNSUPPORTED:
        return "unsupported method";
    default:
        return "cannot unpack";
    }
}

void tmb_report_walk_damage(const char *archive, int64_t pos, const char *why)
{
    if (strcmp(why, "read error") == 0)
        fprintf(stderr, "Read error: %s\n", archive);
    else if (pos == 0 && strcmp(why, "unreadable entry header") == 0)
        fprintf(stderr, "Not an LZH archive: %s (%s)\n", archive, why);
    else
        fprintf(stderr, "Damaged archive: %s (%s at offset %lld)\n", archive, why, (long long)pos);
}

int file_wanted_unmatched(const Selection &sel)
{
    int n = 0;
    for (size_t i = 0; i < sel.selected.size() && i < (size_t)sel.nfiles; i++) {
        if (sel.selected[i])
            continue;
        fprintf(stderr, "No entry matches: %s\n", tmb_shown(sel.files[i]).c_str());
        n++;
    }
    return n;
}

namespace {

FILE *console_stream(int stream) { return stream == MSG_ERR ? stderr : stdout; }

void console_out(void *, int stream, const char *bytes, size_t n) { fwrite(bytes, 1, n, console_stream(stream)); }

void console_flush(void *, int stream) { fflush(console_stream(stream)); }

} // namespace

MessageSink tmb_console()
{
    MessageSink sink;
    sink.out = console_out;
    sink.flush = console_flush;
    return sink;
}
