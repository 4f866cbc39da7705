// The temporary-file registry as the library links it.
//
// The program removes its temporaries when a signal ends it, through
// handlers it installs the first time a temporary is made. A library must
// not take over its caller's signals, so the library is linked with this
// registry instead: it keeps nothing and installs nothing. Each handle
// removes its own temporaries on every way out of its calls; only a
// process that dies in the middle leaves one behind, as the header says.
#include "tmb_cleanup.h"

int tmb_cleanup_add(const char *) { return 1; }
void tmb_cleanup_release(const char *) {}
int tmb_cleanup_add_at(int, const char *) { return 1; }
void tmb_cleanup_release_at(int, const char *) {}
int tmb_cleanup_enter_create() { return 1; }
void tmb_cleanup_leave_create() {}
