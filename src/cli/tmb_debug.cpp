// The debug log: one file per run, opened on the first message and
// written one flushed line at a time so that a crash loses nothing.
#include "tmb_debug.h"

#include <cstdarg>

void dbg_open(DebugLog *log)
{
    if (!log || log->debug_level <= 0 || log->dbg_tried_open)
        return;
    log->dbg_tried_open = 1;
    static const char *const level2[] = {"smb2:tmb_debug.txt", "RAM:tmb_debug.txt", "tmb_debug.txt", nullptr};
    static const char *const level1[] = {"RAM:tmb_debug.txt", "tmb_debug.txt", nullptr};
    for (const char *const *p = log->debug_level >= 2 ? level2 : level1; *p; p++) {
        log->dbg_fp = fopen(*p, "w");
        if (log->dbg_fp)
            break;
    }
    if (!log->dbg_fp)
        return;
    fprintf(log->dbg_fp, "=== TAMBRIX %s build %s debug log start (level=%d) ===\n", "1.0", "119",
            log->debug_level);
    fflush(log->dbg_fp);
}

void dbg_log(DebugLog *log, const char *fmt, ...)
{
    if (!log || log->debug_level <= 0)
        return;
    dbg_open(log);
    if (!log->dbg_fp)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log->dbg_fp, fmt, ap);
    va_end(ap);
    fputc('\n', log->dbg_fp);
    fflush(log->dbg_fp);
}

void dbg_close(DebugLog *log)
{
    if (!log || !log->dbg_fp)
        return;
    fputs("=== TAMBRIX debug log end ===\n", log->dbg_fp);
    fclose(log->dbg_fp);
    log->dbg_fp = nullptr;
}

LogSink dbg_sink(DebugLog *log)
{
    LogSink sink;
    if (!log || log->debug_level <= 0)
        return sink;
    sink.fn = [](void *user, const char *line) { dbg_log(static_cast<DebugLog *>(user), "%s", line); };
    sink.user = log;
    return sink;
}
