// Removal of registered temporary files on every way out of the process.
//
// The slots are fixed arrays so that the signal handler only reads plain
// memory and calls unlink(), which is async-signal-safe. Parallel commands
// keep a temporary per job in flight, so there are slots for many; a slot
// is filled before it is marked used, so the handler never sees half a
// name. Threads other than the main one block the signals (tmb_pool), and
// registering takes a lock so that two threads never pick one slot.
#include "tmb_cleanup.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kSlots = 320;
constexpr size_t kPathMax = 1024;

char s_paths[kSlots][kPathMax];
int s_dirfds[kSlots];  // AT_FDCWD for plain paths
volatile sig_atomic_t s_used[kSlots];
bool s_installed = false;
std::mutex s_lock;
std::atomic<int> s_creating{0};   // threads between enter and leave
std::atomic<bool> s_dying{false}; // a signal is ending the process

void remove_all()
{
    for (int i = 0; i < kSlots; i++)
        if (s_used[i]) {
            unlinkat(s_dirfds[i], s_paths[i], 0);
            s_used[i] = 0;
        }
}

void on_exit_remove() { remove_all(); }

void on_signal(int sig)
{
    // Lock-free atomics: safe in a handler. A thread that entered before
    // this store finishes making and registering its file; one that comes
    // after sees the flag and makes none.
    s_dying.store(true);
    while (s_creating.load() != 0) {
    }
    remove_all();
    signal(sig, SIG_DFL);
    raise(sig);
}

void install_once()
{
    if (s_installed)
        return;
    s_installed = true;
    atexit(on_exit_remove);
    // SIGPIPE: p writing into a pipe whose reader has gone.
    const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    for (int sig : sigs) {
        struct sigaction old;
        // A signal the caller chose to ignore stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

} // namespace

int tmb_cleanup_add_at(int dirfd, const char *name)
{
    if (strlen(name) >= kPathMax)
        return 0;
    std::lock_guard<std::mutex> hold(s_lock);
    install_once();
    for (int i = 0; i < kSlots; i++)
        if (!s_used[i]) {
            strcpy(s_paths[i], name);
            s_dirfds[i] = dirfd;
            s_used[i] = 1;
            return 1;
        }
    return 0;
}

void tmb_cleanup_release_at(int dirfd, const char *name)
{
    std::lock_guard<std::mutex> hold(s_lock);
    for (int i = 0; i < kSlots; i++)
        if (s_used[i] && s_dirfds[i] == dirfd && strcmp(s_paths[i], name) == 0) {
            s_used[i] = 0;
            return;
        }
}

int tmb_cleanup_add(const char *path) { return tmb_cleanup_add_at(AT_FDCWD, path); }

void tmb_cleanup_release(const char *path) { tmb_cleanup_release_at(AT_FDCWD, path); }

int tmb_cleanup_enter_create()
{
    s_creating.fetch_add(1);
    if (s_dying.load()) {
        s_creating.fetch_sub(1);
        return 0;
    }
    return 1;
}

void tmb_cleanup_leave_create() { s_creating.fetch_sub(1); }
