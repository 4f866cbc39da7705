// Where the modules below the program send what they have to tell the user.
#pragma once
#include <cstddef>

// The two streams of a message, numbered as the descriptors they usually
// end up on: progress and results, and failures.
enum MsgStream { MSG_OUT = 1, MSG_ERR = 2 };

// A message sink: the program points it at its standard output and error.
// `out` takes the bytes of one message (a whole line or a piece of one,
// like the "[n] adding:" line that the result completes later); `flush`
// pushes out what was held back on `stream`, so that the lines of the two
// streams reach a shared terminal or file in the order they were said.
// Without `out` the messages go nowhere.
struct MessageSink {
    void *user = nullptr;
    void (*out)(void *user, int stream, const char *bytes, size_t n) = nullptr;
    void (*flush)(void *user, int stream) = nullptr;
};

void msg_printf(const MessageSink &sink, int stream, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void msg_puts(const MessageSink &sink, int stream, const char *text);
void msg_flush(const MessageSink &sink, int stream);
