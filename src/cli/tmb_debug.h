// The optional debug log (-debug1 / -debug2).
#pragma once
#include <cstdio>

#include "tmb_log.h"

// The log of one run: opened on the first message, then written one
// flushed line at a time. The program owns it; the modules below get a
// LogSink that writes into it (dbg_sink).
struct DebugLog {
    int debug_level = 0;      // 0 no log, 1 or 2
    FILE *dbg_fp = nullptr;
    int dbg_tried_open = 0;   // an open is tried once
};

// Every call takes the log of the run, or nullptr for none.
void dbg_open(DebugLog *log);
void dbg_log(DebugLog *log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void dbg_close(DebugLog *log);

// A sink whose lines go to `log` (nothing for nullptr or level 0).
LogSink dbg_sink(DebugLog *log);
