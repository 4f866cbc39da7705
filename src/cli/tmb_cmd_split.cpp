// The commands s (split a file into numbered parts) and j (join them).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "tmb_cmd.h"
#include "tmb_report.h"
#include "tmb_split.h"

namespace {

// Reads a part size the way atoi would: leading blanks, an optional sign,
// then digits up to the first other character ("880k" is 880, "abc" 0).
// The value is a signed 32-bit count; one outside that range, like a
// negative one, is no part size and gives 0.
long parse_part_kb(const char *s)
{
    while (isspace((unsigned char)*s))
        s++;
    int negative = 0;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > INT32_MAX)
            return 0;
    }
    return negative ? 0 : (long)v;
}

} // namespace

SplitSettings split_settings(const Options &o)
{
    SplitSettings set;
    set.quiet = o.quiet;
    set.force_overwrite = o.force_overwrite;
    set.msg = tmb_console();
    return set;
}

int cmd_split(const Options &o)
{
    SplitSettings set = split_settings(o);
    if (o.nfiles == 0) {
        fprintf(stderr, "Usage: split <file> <size_in_kb>\n");
        return 1;
    }
    long kb = parse_part_kb(o.files[0]);
    if (kb <= 0) {
        fprintf(stderr, "Invalid part size: %lu\n", 0UL);
        return 1;
    }
    // s always keeps the file it split.
    return split_file(set, o.archive, (uint64_t)kb, 0);
}

int cmd_join(const Options &o)
{
    SplitSettings set = split_settings(o);
    if (o.nfiles > 0)
        return join_parts(set, o.archive, o.files[0]);
    // Default output: the part name without its ".NNN".
    char out[256];
    snprintf(out, sizeof out, "%s", o.archive);
    if (looks_like_split_part(o.archive))
        out[strlen(out) - 4] = '\0';
    return join_parts(set, o.archive, out);
}
