// Not built yet: leaves the arguments as they are.
#include "tmb_cmd.h"

void expand_pack_wildcards() {}
