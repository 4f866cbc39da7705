// Where the modules below the program send their debug lines.
#pragma once

// A line sink: the program points it at its debug log (-debug1/-debug2);
// without one (`fn` null) the lines are not even formatted. Each call of
// `fn` gets one whole line without its line feed.
struct LogSink {
    void (*fn)(void *user, const char *line) = nullptr;
    void *user = nullptr;

    bool on() const { return fn != nullptr; }
    void line(const char *fmt, ...) const __attribute__((format(printf, 2, 3)));
};
