// Removal of registered temporary files on every way out of the process.
//
// The slots are fixed arrays so that the signal handler only reads plain
// memory and calls unlinkat(), which is async-signal-safe. The handler
// takes no lock: each slot has an atomic state, and a slot is filled
// before it is published as used. The handler claims a used slot (a
// compare-and-swap) before it reads the name, so the owner can no longer
// release it and fill it again with another name while it is read.
//
// Registering and releasing take a lock among threads (two threads never
// pick one slot; a release reads names that only lock holders write). Every
// thread blocks the handled signals while it holds that lock, so the
// handler never runs on a thread that holds it, and a thread that waits
// for it never waits for the handler.
#include "tmb_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

enum SlotState : int { kFree, kFilling, kUsed, kSwept };

template <int N, size_t W> struct Table {
    std::atomic<int> state[N];
    int dirfd[N];  // AT_FDCWD for plain paths
    char name[N][W];
    std::atomic<int> high{0};  // no slot at or above this was ever used
};

// Names made in open directories are short (".tmb", twelve letters,
// ".tmp"); whole paths may be as long as the system allows.
Table<kTmbCleanupNames, 32> s_names;
Table<kTmbCleanupPaths, 4096> s_paths;

bool s_installed = false;
std::mutex s_lock;
std::atomic<int> s_creating{0};   // threads between enter and leave
std::atomic<bool> s_dying{false}; // the files are being removed for good
thread_local sigset_t t_saved_mask;

sigset_t handled_set()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kHandled)
        sigaddset(&set, sig);
    return set;
}

// The handled signals blocked on this thread for as long as it lives.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set = handled_set();
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t old_;
};

template <int N, size_t W> int put(Table<N, W> &t, int dirfd, const char *name)
{
    if (strlen(name) >= W)
        return 0;
    for (int i = 0; i < N; i++)
        if (t.state[i].load(std::memory_order_relaxed) == kFree) {
            t.state[i].store(kFilling, std::memory_order_relaxed);
            strcpy(t.name[i], name);
            t.dirfd[i] = dirfd;
            if (i >= t.high.load(std::memory_order_relaxed))
                t.high.store(i + 1, std::memory_order_release);
            t.state[i].store(kUsed, std::memory_order_release);
            return 1;
        }
    return 0;
}

template <int N, size_t W> int drop(Table<N, W> &t, int dirfd, const char *name)
{
    int high = t.high.load(std::memory_order_relaxed);
    for (int i = 0; i < high; i++) {
        int used = kUsed;
        if (t.state[i].load(std::memory_order_acquire) == kUsed && t.dirfd[i] == dirfd &&
            strcmp(t.name[i], name) == 0) {
            // Fails only when the files are being removed: the slot is theirs.
            t.state[i].compare_exchange_strong(used, kFree, std::memory_order_acq_rel);
            return 1;
        }
    }
    return 0;
}

template <int N, size_t W> void sweep(Table<N, W> &t)
{
    int high = t.high.load(std::memory_order_acquire);
    for (int i = 0; i < high; i++) {
        int used = kUsed;
        if (t.state[i].compare_exchange_strong(used, kSwept, std::memory_order_acq_rel))
            unlinkat(t.dirfd[i], t.name[i], 0);
    }
}

// Lock-free atomics and nanosleep only: safe in a handler. A thread that
// entered before the flag was set finishes making and registering its
// file (nothing it does then waits for the thread running this); one that
// comes after sees the flag and makes none.
void remove_all()
{
    s_dying.store(true);
    while (s_creating.load() != 0) {
        struct timespec pause = {0, 100000};
        nanosleep(&pause, nullptr);
    }
    sweep(s_names);
    sweep(s_paths);
}

void on_exit_remove() { remove_all(); }

void on_signal(int sig)
{
    remove_all();
    signal(sig, SIG_DFL);
    raise(sig);  // blocked until the handler returns, then it ends the process
}

void install_once()
{
    if (s_installed)
        return;
    s_installed = true;
    atexit(on_exit_remove);
    // SIGPIPE: p writing into a pipe whose reader has gone.
    for (int sig : kHandled) {
        struct sigaction old;
        // A signal the caller chose to ignore stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        // A second signal while the files are removed waits: it would end
        // the process half-way.
        sa.sa_mask = handled_set();
        sigaction(sig, &sa, nullptr);
    }
}

} // namespace

int tmb_cleanup_add_at(int dirfd, const char *name)
{
    SignalsHeld held;
    std::lock_guard<std::mutex> hold(s_lock);
    install_once();
    return put(s_names, dirfd, name) || put(s_paths, dirfd, name);
}

void tmb_cleanup_release_at(int dirfd, const char *name)
{
    SignalsHeld held;
    std::lock_guard<std::mutex> hold(s_lock);
    if (!drop(s_names, dirfd, name))
        drop(s_paths, dirfd, name);
}

int tmb_cleanup_add(const char *path) { return tmb_cleanup_add_at(AT_FDCWD, path); }

void tmb_cleanup_release(const char *path) { tmb_cleanup_release_at(AT_FDCWD, path); }

int tmb_cleanup_enter_create()
{
    sigset_t set = handled_set();
    pthread_sigmask(SIG_BLOCK, &set, &t_saved_mask);
    {
        // The handler is in place before the first file exists.
        std::lock_guard<std::mutex> hold(s_lock);
        install_once();
    }
    s_creating.fetch_add(1);
    if (s_dying.load()) {
        s_creating.fetch_sub(1);
        pthread_sigmask(SIG_SETMASK, &t_saved_mask, nullptr);
        return 0;
    }
    return 1;
}

void tmb_cleanup_leave_create()
{
    s_creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &t_saved_mask, nullptr);
}
