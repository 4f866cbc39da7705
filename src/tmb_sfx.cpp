// Not built yet.
#include "tmb_sfx.h"

int sfx_build(FILE *, int, clock_t)
{
    fputs("Self-extracting archives are not available in this build\n", stderr);
    return 1;
}
