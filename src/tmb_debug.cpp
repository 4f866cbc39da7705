// The debug log: one file per process, opened on the first message and
// written one flushed line at a time so that a crash loses nothing.
#include "tmb_debug.h"

#include <cstdarg>

int g_debug_level = 0;
FILE *g_dbg_fp = nullptr;
int g_dbg_tried_open = 0;

void dbg_open()
{
    if (g_debug_level <= 0 || g_dbg_tried_open)
        return;
    g_dbg_tried_open = 1;
    static const char *const level2[] = {"smb2:tmb_debug.txt", "RAM:tmb_debug.txt", "tmb_debug.txt", nullptr};
    static const char *const level1[] = {"RAM:tmb_debug.txt", "tmb_debug.txt", nullptr};
    for (const char *const *p = g_debug_level >= 2 ? level2 : level1; *p; p++) {
        g_dbg_fp = fopen(*p, "w");
        if (g_dbg_fp)
            break;
    }
    if (!g_dbg_fp)
        return;
    fprintf(g_dbg_fp, "=== TAMBRIX %s build %s debug log start (level=%d) ===\n", "1.0", "119",
            g_debug_level);
    fflush(g_dbg_fp);
}

void dbg_log(const char *fmt, ...)
{
    if (g_debug_level <= 0)
        return;
    dbg_open();
    if (!g_dbg_fp)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_dbg_fp, fmt, ap);
    va_end(ap);
    fputc('\n', g_dbg_fp);
    fflush(g_dbg_fp);
}

void dbg_close()
{
    if (!g_dbg_fp)
        return;
    fputs("=== TAMBRIX debug log end ===\n", g_dbg_fp);
    fclose(g_dbg_fp);
    g_dbg_fp = nullptr;
}
