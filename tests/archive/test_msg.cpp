// The message sink of the layers below the program: each message reaches
// the sink whole, in one call, on its own stream (one call is one write on
// an unbuffered standard error, so lines of parallel writers never mix),
// and a flush reaches the sink with the stream it is for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmb_msg.h"

namespace {

struct Said {
    int stream;
    std::string bytes;  // "" with flushed set: a flush
    bool flushed = false;
};

MessageSink recorder(std::vector<Said> *said)
{
    MessageSink sink;
    sink.user = said;
    sink.out = [](void *u, int stream, const char *bytes, size_t n) {
        static_cast<std::vector<Said> *>(u)->push_back({stream, std::string(bytes, n)});
    };
    sink.flush = [](void *u, int stream) { static_cast<std::vector<Said> *>(u)->push_back({stream, "", true}); };
    return sink;
}

TEST(MessageSink, EachMessageArrivesWholeOnItsStream)
{
    // Whole message lengths around the size formatted without the heap
    // (512 bytes), and far beyond it (a deep path in a message).
    const size_t totals[] = {18, 19, 510, 511, 512, 513, 4000};
    for (size_t total : totals) {
        std::vector<Said> said;
        MessageSink sink = recorder(&said);
        size_t len = total - 18;  // "Cannot open: " and " (7)\n" around the name
        std::string name(len, 'n');
        for (size_t i = 0; i < len; i++)
            name[i] = (char)('a' + i % 26);
        msg_printf(sink, MSG_ERR, "Cannot open: %s (%d)\n", name.c_str(), 7);
        msg_printf(sink, MSG_OUT, "[%d] adding:  %-4s", 3, "x");
        ASSERT_EQ(said.size(), 2u) << total;
        EXPECT_EQ(said[0].stream, MSG_ERR);
        EXPECT_EQ(said[0].bytes, "Cannot open: " + name + " (7)\n") << total;
        EXPECT_EQ(said[1].stream, MSG_OUT);
        EXPECT_EQ(said[1].bytes, "[3] adding:  x   ");
    }
}

TEST(MessageSink, PutsAndFlushKeepTheirOrderAndStream)
{
    std::vector<Said> said;
    MessageSink sink = recorder(&said);
    msg_puts(sink, MSG_OUT, " OK\n");
    msg_flush(sink, MSG_OUT);
    msg_puts(sink, MSG_ERR, "");
    msg_flush(sink, MSG_ERR);
    ASSERT_EQ(said.size(), 4u);
    EXPECT_EQ(said[0].bytes, " OK\n");
    EXPECT_FALSE(said[0].flushed);
    EXPECT_TRUE(said[1].flushed);
    EXPECT_EQ(said[1].stream, MSG_OUT);
    EXPECT_EQ(said[2].stream, MSG_ERR);
    EXPECT_EQ(said[2].bytes, "");
    EXPECT_TRUE(said[3].flushed);
    EXPECT_EQ(said[3].stream, MSG_ERR);
}

} // namespace
