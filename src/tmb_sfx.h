// Self-extracting archives: the embedded AmigaOS extractor image and the
// builder branch of the add command.
#pragma once
#include <cstddef>
#include <cstdio>
#include <ctime>

extern const unsigned char tmb_stub[];
extern const size_t tmb_stub_len;

// Called by cmd_add when -sfx is given: adds the file arguments and writes
// the ".run" file named by g_opts.archive. Both the entries and the program
// go to exclusive temporaries; the program is renamed into place only when
// complete. Returns the command's exit status.
int sfx_build(int method, clock_t start);
