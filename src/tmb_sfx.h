// Self-extracting archives: the embedded AmigaOS extractor image and the
// builder branch of the add command.
#pragma once
#include <cstddef>
#include <cstdio>
#include <ctime>

extern const unsigned char tmb_stub[];
extern const size_t tmb_stub_len;

// Called by cmd_add when -sfx is given: adds the file arguments and writes
// the ".run" file named by o.archive. Both the entries and the program
// go to exclusive temporaries; the program is renamed into place only when
// complete. Returns the command's exit status.
struct AddState;
struct Options;
int sfx_build(AddState &as, const Options &o, clock_t start);
