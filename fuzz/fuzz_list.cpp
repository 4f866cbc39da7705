// Fuzz target: the listing. Every entry the reader returns goes through
// the listing line printer in both forms, and the whole l and v commands
// run over the same bytes as a file. Standard output goes to /dev/null.
#include <cstring>

#include "fuzz_common.h"
#include "options.h"
#include "tmb_cmd.h"
#include "tmb_header.h"
#include "tmb_report.h"

namespace {

char s_path[64];

// The commands open the archive by name: a memory file reached through
// /proc. Standard output goes nowhere.
FILE *setup()
{
    if (!freopen("/dev/null", "w", stdout))
        abort();
    FILE *arc = fuzz::mem_file("listing");
    snprintf(s_path, sizeof s_path, "/proc/self/fd/%d", fileno(arc));
    return arc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *arc = setup();
    fuzz::reset(arc, data, size);

    EntryHeader h;
    const char *why = nullptr;
    int walk;
    int64_t size_on_disk = tmb_file_size(arc);
    while ((walk = tmb_walk_next(arc, size_on_disk, &h, &why)) == TMB_WALK_ENTRY) {
        tmb_print_header(&h, 0);
        tmb_print_header(&h, 1);
        char date[32];
        tmb_format_time(h.mtime, date, sizeof date);
        if (strlen(date) != 16)
            fuzz::fail("date text is not 16 characters");
        if (fseeko(arc, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) != 0) {
            walk = TMB_WALK_DAMAGED;
            break;
        }
    }

    Options o{};
    snprintf(o.archive, sizeof o.archive, "%s", s_path);
    o.command = size && (data[0] & 1) ? 'v' : 'l';
    o.quiet = 1;
    // The listing fails exactly when the walk meets damage before the end.
    if (cmd_list(o) != (walk < 0 ? 1 : 0))
        fuzz::fail("listing status differs from the walk's end");
    return 0;
}
