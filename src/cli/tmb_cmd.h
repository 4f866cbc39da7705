// The command procedures: each takes the options of the run and returns the
// exit status.
#pragma once
#include <vector>

struct Options;

int cmd_list(const Options &o);
int cmd_savelist(const Options &o);
int cmd_add(const Options &o);
int cmd_extract(const Options &o);
int cmd_test(const Options &o);
int cmd_print(const Options &o);
int cmd_update(const Options &o);
int cmd_delete(const Options &o);
int cmd_split(const Options &o);
int cmd_join(const Options &o);

// What split and join take from the options.
struct SplitSettings;
SplitSettings split_settings(const Options &o);

// Sets up a run of adding as the options ask, showing each file on `bar`
// (none: nothing shown).
struct AddState;
struct ProgressBar;
void add_init(AddState &as, const Options &o, ProgressBar *bar);

// Expands wildcard arguments of a, u and f before dispatch. The memory the
// new argument list takes goes to `owned` (freed by the caller).
void expand_pack_wildcards(Options &o, std::vector<void *> &owned);
