// What the library's handles share: their settings and the guard that keeps
// C++ exceptions inside the library.
#pragma once
#include <cstdint>
#include <new>

#include "tambrix.h"

struct LibSettings {
    tambrix_progress_fn progress = nullptr;
    void *progress_user = nullptr;
    const volatile int *cancel = nullptr;

    // Read with an atomic load: the caller may set the flag on another
    // thread while a worker of the handle looks at it.
    bool cancelled() const { return cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED) != 0; }
    void report(uint64_t done, uint64_t total) const
    {
        if (progress)
            progress(progress_user, done, total);
    }
};

// Runs `f` and returns its code; memory that runs out, or any other
// exception, becomes a code too.
template <class F> int lib_guard(F &&f) noexcept
{
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return TAMBRIX_E_NOMEM;
    } catch (...) {
        return TAMBRIX_E_NOMEM;
    }
}

// The method number of "-lh0-", "-lh5-", "-lh6-" or "-lh7-" (NULL: 5); -1
// for anything else.
int lib_pack_method(const char *method);
