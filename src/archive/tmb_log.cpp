// Formatting a debug line for a LogSink.
#include "tmb_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

void LogSink::line(const char *fmt, ...) const
{
    if (!fn)
        return;
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? (size_t)n : 0, '\0');
    if (n > 0)
        vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    fn(user, text.c_str());
}
