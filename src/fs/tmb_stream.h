// Stream buffers the program owns.
//
// glibc takes the size given to setvbuf only together with a buffer:
// without one it allocates the file system's block size (4 KB on most), and
// a large file then moves in one system call per 4 KB. Every stream that
// moves data in bulk (archives, inputs, outputs, temporary files) gets a
// 64 KB buffer of its own instead. A buffer belongs to one stream at a time,
// never to a module, so that streams of different threads cannot share it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

constexpr size_t kTmbStreamBuffer = 65536;

// One stream's buffer. fclose flushes through it, so it must outlive the
// stream it was given to: keep it in the object or scope that closes the
// stream. One buffer may serve several streams one after another.
class StreamBuffer {
public:
    // Gives `fp` full buffering through this buffer and returns `fp`; must
    // come before the first read or write. nullptr passes through. Without
    // memory for the buffer the stream keeps stdio's own: slower, but the
    // same bytes. `size` is fixed by the first call.
    FILE *attach(FILE *fp, size_t size = kTmbStreamBuffer);

private:
    std::unique_ptr<char[]> buf_;
    size_t size_ = 0;
};

// Copies `len` bytes from the position of `in` to `out`.
enum class CopyResult { kDone, kShortRead, kWriteFailed };
CopyResult tmb_copy_bytes(FILE *in, FILE *out, uint64_t len);

// A stream together with its buffer: the stream is closed before the
// buffer goes, on every way out of the scope that holds it.
class BufferedFile {
public:
    BufferedFile() = default;
    explicit BufferedFile(FILE *fp) { reset(fp); }
    ~BufferedFile() { close(); }
    BufferedFile(BufferedFile &&other) noexcept;
    BufferedFile &operator=(BufferedFile &&other) noexcept;
    BufferedFile(const BufferedFile &) = delete;
    BufferedFile &operator=(const BufferedFile &) = delete;

    FILE *get() const { return fp_; }
    explicit operator bool() const { return fp_ != nullptr; }

    // Closes the stream held, if any, and takes `fp` (which may be nullptr),
    // giving it the buffer.
    void reset(FILE *fp = nullptr);
    // fclose's result; 0 when no stream is open.
    int close();
    // 1 when every buffered byte reached the file (see tmb_close_checked).
    int close_checked();

private:
    StreamBuffer buf_;
    FILE *fp_ = nullptr;
};
