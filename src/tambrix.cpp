// Entry point: options, archive-name rules, file list, banner, usage and
// dispatch.
#include "tambrix.h"

#include <cstdio>
#include <cstring>

#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_match.h"

Options g_opts;
uint64_t g_inbuf_max = 23488101;
uint64_t g_outbuf_max = 4194304;
const char tmb_verstag[] = "$VER: TAMBRIX 1.0 (30.11.2026) build 119";

namespace {

struct Command {
    int letter;
    int (*run)();
};

// The one place where commands are wired in.
const Command s_commands[] = {
    {'l', cmd_list},   {'v', cmd_list},    {'L', cmd_savelist}, {'a', cmd_add},
    {'x', cmd_extract}, {'e', cmd_extract}, {'t', cmd_test},     {'p', cmd_print},
    {'u', cmd_update}, {'f', cmd_update},  {'d', cmd_delete},   {'s', cmd_split},
    {'j', cmd_join},
};

} // namespace

void usage(const char *) {}
void banner() {}
void init_buffers() {}

int tambrix_main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    for (const Command &c : s_commands)
        if (c.letter == g_opts.command)
            return c.run();
    fprintf(stderr, "Unknown command: %c\n", g_opts.command);
    return 1;
}
