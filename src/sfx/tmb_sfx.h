// Self-extracting archives: the embedded AmigaOS extractor image and the
// builder branch of the add command.
#pragma once
#include <cstddef>
#include <cstdio>
#include <ctime>

extern const unsigned char tmb_stub[];
extern const size_t tmb_stub_len;

// The builder of the self-extracting file: adds `files` (each one path, a
// directory's entries named relative to it) with `method` and writes the
// program `archive` (a ".run" file). Both the entries and the program go
// to exclusive temporaries; the program is renamed into place only when
// complete. Returns 1 when the program was built (`*added` entries went
// in, `*errors` inputs failed), 0 when it was not (said why).
struct AddState;
int sfx_build(AddState &as, const char *archive, char *const *files, int nfiles, int method, int *added,
              int *errors);
