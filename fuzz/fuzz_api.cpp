// Fuzz target: the library's reader. The input is opened from memory and
// from a file descriptor; every entry is walked and its data read through
// the public calls. The two must agree on every entry, every data result
// and the walk's end, and the calls must keep their promises: reads never
// exceed the buffer, an entry's result and the walk's end stay once given.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "tambrix.h"

namespace {

// Output read per input at most: enough for every entry of a small input,
// and a bound on inputs that claim huge sizes.
constexpr size_t kBudget = 8u << 20;

struct Seen {
    std::vector<std::string> names;
    std::vector<int> results;
    std::vector<uint64_t> lengths;
    int end = 0;
};

Seen walk(tambrix_reader *r)
{
    Seen s;
    size_t budget = kBudget;
    tambrix_entry_info info;
    static uint8_t buf[4093]; // odd, so pieces split at odd places
    while ((s.end = tambrix_reader_next(r, &info)) == TAMBRIX_OK) {
        if (info.name_len > 255 || strlen(info.display) < info.name_len)
            fuzz::fail("entry name out of bounds");
        s.names.emplace_back(reinterpret_cast<const char *>(info.name), info.name_len);
        uint64_t len = 0;
        int rc;
        size_t got;
        while ((rc = tambrix_read(r, buf, sizeof buf, &got)) == TAMBRIX_OK && got > 0) {
            if (got > sizeof buf)
                fuzz::fail("read past the buffer");
            len += got;
            if (len > info.original_size)
                fuzz::fail("more data than the entry holds");
            if (got >= budget) {
                rc = 1; // budget spent: not judged
                break;
            }
            budget -= got;
        }
        if (rc == TAMBRIX_OK && len != info.original_size)
            fuzz::fail("verified entry of the wrong length");
        if (rc <= 0 && tambrix_read(r, buf, sizeof buf, &got) != rc)
            fuzz::fail("an entry's result changed");
        s.results.push_back(rc);
        s.lengths.push_back(len);
    }
    if (s.end == TAMBRIX_OK || tambrix_reader_next(r, &info) != s.end)
        fuzz::fail("the walk's end changed");
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *file = fuzz::mem_file("api");
    fuzz::reset(file, data, size);

    tambrix_reader *r;
    if (tambrix_reader_open_memory(&r, data, size) != TAMBRIX_OK)
        fuzz::fail("open_memory failed");
    Seen mem = walk(r);
    tambrix_reader_free(r);

    if (tambrix_reader_open_fd(&r, fileno(file)) != TAMBRIX_OK)
        fuzz::fail("open_fd failed");
    Seen fd = walk(r);
    tambrix_reader_free(r);

    if (mem.names != fd.names || mem.results != fd.results || mem.lengths != fd.lengths || mem.end != fd.end)
        fuzz::fail("memory and descriptor readers disagree");
    return 0;
}
