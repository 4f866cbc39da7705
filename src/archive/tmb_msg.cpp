// Formatting a message for a MessageSink.
#include "tmb_msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

void msg_printf(const MessageSink &sink, int stream, const char *fmt, ...)
{
    if (!sink.out)
        return;
    // Most messages are one short line: format on the stack, and only a
    // longer one (a deep path) on the heap.
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if ((size_t)n < sizeof small) {
        va_end(again);
        sink.out(sink.user, stream, small, (size_t)n);
        return;
    }
    std::string text((size_t)n, '\0');
    vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    sink.out(sink.user, stream, text.data(), text.size());
}

void msg_puts(const MessageSink &sink, int stream, const char *text)
{
    if (sink.out)
        sink.out(sink.user, stream, text, strlen(text));
}

void msg_flush(const MessageSink &sink, int stream)
{
    if (sink.flush)
        sink.flush(sink.user, stream);
}
