// The extraction driver on a thread of its own, its output pulled by the
// caller (see tmb_lib_pipe.h).
#include "tmb_lib_pipe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

ssize_t EntryPipe::write_piece(void *cookie, const char *buf, size_t n)
{
    auto *p = static_cast<EntryPipe *>(cookie);
    std::unique_lock<std::mutex> lock(p->mu_);
    if (!p->stop_ && p->set_->cancelled()) {
        p->stop_ = true;
        p->cancelled_ = true;
    }
    if (p->stop_) {
        errno = ECANCELED;
        return -1;
    }
    p->piece_ = buf;
    p->len_ = n;
    p->off_ = 0;
    p->cv_.notify_all();
    p->cv_.wait(lock, [p] { return p->off_ == p->len_ || p->stop_; });
    bool taken = p->off_ == p->len_;
    p->piece_ = nullptr;
    p->len_ = p->off_ = 0;
    if (!taken) {
        errno = ECANCELED;
        return -1;
    }
    return (ssize_t)n;
}

void EntryPipe::run(ExtractCtx *ctx, FILE *arc, FILE *out, EntryHeader h)
{
    uint16_t crc = 0;
    int rc = tmb_extract(ctx, arc, out, &h, &crc);
    fclose(out);
    std::lock_guard<std::mutex> lock(mu_);
    rc_ = rc;
    crc_ = crc;
    done_ = true;
    cv_.notify_all();
}

int EntryPipe::start(ExtractCtx *ctx, FILE *arc, const EntryHeader &h, const LibSettings *set)
{
    set_ = set;
    cookie_io_functions_t io = {};
    io.write = write_piece;
    FILE *out = fopencookie(this, "wb", io);
    if (!out)
        return TAMBRIX_E_NOMEM;
    // Each of the driver's writes reaches write_piece whole, unbuffered.
    setvbuf(out, nullptr, _IONBF, 0);
    try {
        thread_ = std::thread(&EntryPipe::run, this, ctx, arc, out, h);
    } catch (...) {
        fclose(out);
        return TAMBRIX_E_NOMEM;
    }
    return TAMBRIX_OK;
}

size_t EntryPipe::pull(uint8_t *dst, size_t cap)
{
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return off_ < len_ || done_; });
    if (off_ < len_) {
        size_t k = std::min(cap, len_ - off_);
        memcpy(dst, piece_ + off_, k);
        off_ += k;
        if (off_ == len_)
            cv_.notify_all();
        return k;
    }
    lock.unlock();
    if (thread_.joinable())
        thread_.join();
    return 0;
}

void EntryPipe::stop()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}
