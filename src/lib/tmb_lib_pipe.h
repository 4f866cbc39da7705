// An entry's unpacked bytes pulled by the caller.
//
// The extraction driver pushes the bytes it produces into an output stream
// until the entry ends; the library's caller wants to pull them into its
// own buffer, a piece at a time. So the driver runs on a thread of its own,
// writing into a stream whose every write waits until the caller has
// copied the piece out. Nothing is buffered beyond the driver's own output
// piece (64 KB), and the decoder is the program's, unchanged.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "tmb_header.h"
#include "tmb_lib.h"
#include "tmb_method.h"

class EntryPipe {
public:
    EntryPipe() = default;
    ~EntryPipe() { stop(); }
    EntryPipe(const EntryPipe &) = delete;
    EntryPipe &operator=(const EntryPipe &) = delete;

    // Starts unpacking `h`, whose packed data starts at the position of
    // `arc`; the stream is the thread's until stop() or the end. TAMBRIX_OK,
    // or an error with nothing started.
    int start(ExtractCtx *ctx, FILE *arc, const EntryHeader &h, const LibSettings *set);
    // Copies up to `cap` unpacked bytes to `dst`, waiting for them; 0 once
    // the driver has finished, when result() tells how it ended.
    size_t pull(uint8_t *dst, size_t cap);
    // The driver's result (TMB_EXTRACT_*) and the CRC-16 of the bytes, once
    // pull() has returned 0.
    int result() const { return rc_; }
    uint16_t crc() const { return crc_; }
    // True when the driver was stopped by the cancel flag.
    bool cancelled() const { return cancelled_; }
    // Makes the driver give up at its next write and waits for its thread.
    void stop();

private:
    static ssize_t write_piece(void *cookie, const char *buf, size_t n);
    void run(ExtractCtx *ctx, FILE *arc, FILE *out, EntryHeader h);

    std::mutex mu_;
    std::condition_variable cv_;
    const LibSettings *set_ = nullptr;
    const char *piece_ = nullptr; // the write waiting to be taken
    size_t len_ = 0, off_ = 0;
    bool stop_ = false, done_ = false, cancelled_ = false;
    int rc_ = TMB_EXTRACT_FAILED;
    uint16_t crc_ = 0;
    std::thread thread_;
};
