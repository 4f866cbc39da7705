// Not built yet: answers like an unknown command.
#include <cstdio>
#include "tambrix.h"
#include "tmb_cmd.h"
int cmd_delete()
{
    fprintf(stderr, "Unknown command: %c\n", g_opts.command);
    return 1;
}
