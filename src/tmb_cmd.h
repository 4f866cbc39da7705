// The command procedures: each reads g_opts and returns the exit status.
#pragma once

int cmd_list();
int cmd_savelist();
int cmd_add();
int cmd_extract();
int cmd_test();
int cmd_print();
int cmd_update();
int cmd_delete();
int cmd_split();
int cmd_join();

// Expands wildcard arguments of a, u and f before dispatch.
void expand_pack_wildcards();
