// The optional debug log (-debug1 / -debug2).
#pragma once
#include <cstdio>

extern int g_debug_level;
extern FILE *g_dbg_fp;
extern int g_dbg_tried_open;

void dbg_open();
void dbg_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void dbg_close();
