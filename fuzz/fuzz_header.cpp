// Fuzz target: the header reader over a whole archive, walking it the way
// every reading command does (read a header, seek past the packed data,
// read the next) until the reader reports the end.
#include <cstring>

#include "fuzz_common.h"
#include "tmb_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *arc = fuzz::mem_file("archive");
    fuzz::reset(arc, data, size);

    EntryHeader h;
    int64_t last = -1;
    while (tmb_read_header(arc, &h)) {
        h.data_pos = ftello(arc);
        // Every header takes at least one byte, so the walk always ends.
        if (h.header_pos <= last || h.data_pos <= h.header_pos)
            fuzz::fail("the reader did not move forward");
        last = h.header_pos;
        size_t n = strnlen(h.name, sizeof h.name);
        if (n == sizeof h.name)
            fuzz::fail("name without its terminating zero");
        if (h.is_dir != (n > 0 && h.name[n - 1] == '/'))
            fuzz::fail("is_dir disagrees with the name");
        if (h.level < 0 || h.level > 2)
            fuzz::fail("level out of range");
        if (h.comp_size > 0xFFFFFFFFu || h.orig_size > 0xFFFFFFFFu)
            fuzz::fail("size wider than its 32-bit field");
        (void)tmb_method_name(h.method);
        if (fseeko(arc, (off_t)(h.data_pos + (int64_t)h.comp_size), SEEK_SET) != 0)
            break;
    }
    return 0;
}
