// Listing commands: l and v on standard output, L into a text file. They
// read the headers only and step over the packed data.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tambrix.h"
#include "tmb_shown.h"
#include "tmb_cmd.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_match.h"

namespace {

const char *const SHORT_HEAD =
    " Method    Orig     Comp  Ratio  Date/Time         Name\n"
    " --------  -------  -------  ----  ----------------  --------------------\n";
const char *const LONG_HEAD =
    "[OS] Method   Original Packed   Ratio  Date/Time          Name          CRC  Lv\n"
    "---- -------- -------- -------- ----- ----------------  -------------------- ---- --\n";

// Percentage saved: 100 - packed * 100 / unpacked, 0 for an empty entry;
// negative when packing made the data grow. A damaged header can pair a
// huge packed size with a tiny original one; the quotient is then taken
// modulo 2^32 like any int, in unsigned arithmetic so nothing overflows.
int ratio(uint64_t orig, uint64_t comp)
{
    if (orig == 0)
        return 0;
    uint32_t q = (uint32_t)(comp * 100 / orig);
    return (int)(uint32_t)(100u - q);
}

struct Totals {
    int count = 0;
    uint64_t orig = 0;
    uint64_t comp = 0;
};

void print_entry(FILE *out, const EntryHeader *h, int verbose)
{
    char date[32];
    tmb_format_time(h->mtime, date, sizeof date);
    const char *id = tmb_method_name(h->method);
    int r = ratio(h->orig_size, h->comp_size);
    unsigned long orig = (unsigned long)h->orig_size, comp = (unsigned long)h->comp_size;
    std::string name = tmb_shown(h->name);
    if (verbose)
        fprintf(out, "[%c] %s  %7lu  %7lu  %3d%%  %s  %s  crc=%04X  lv%d\n",
                h->os_id ? h->os_id : '-', id, orig, comp, r, date, name.c_str(), h->crc, h->level);
    else
        fprintf(out, " %s %7lu %7lu %3d%% %s %s\n", id, orig, comp, r, date, name.c_str());
}

void print_totals(FILE *out, const Totals &t)
{
    fputs(" --------  -------  -------\n", out);
    fprintf(out, " Total   %8lu %8lu  %3d%%  %d file%s\n", (unsigned long)t.orig,
            (unsigned long)t.comp, ratio(t.orig, t.comp), t.count, t.count == 1 ? "" : "s");
}

// Walks the archive, printing every selected entry with a known method to
// `out`. Entries whose method is unknown are stepped over unlisted. The
// walk ends where the header reader finds the end or damage. Returns 0
// when it ended on a read error instead: the header reader cannot tell
// that from the end, and a listing cut short by a failing disk must not
// pass for the whole archive.
int list_entries(FILE *arc, FILE *out, int verbose, Totals *t)
{
    EntryHeader h;
    while (tmb_read_header(arc, &h)) {
        if (h.method != -1) {
            h.data_pos = ftello(arc);
            if (file_wanted(h.name)) {
                print_entry(out, &h, verbose);
                t->count++;
                t->orig += h.orig_size;
                t->comp += h.comp_size;
            }
        }
        // Packed sizes are at most 32 bits wide, so this always moves forward.
        if (fseeko(arc, (off_t)h.comp_size, SEEK_CUR) != 0)
            break;
    }
    return !ferror(arc);
}

} // namespace

void tmb_format_time(int64_t t, char *buf, size_t size)
{
    struct tm tm;
    tmb_time_to_tm(t < 0 ? 0 : t, &tm);
    char text[64]; // room for any int fields; the date itself is 16 characters
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min);
    if (size == 0)
        return;
    size_t n = strnlen(text, size - 1);
    memcpy(buf, text, n);
    buf[n] = '\0';
}

void tmb_print_header(const EntryHeader *h, int verbose) { print_entry(stdout, h, verbose); }

int cmd_list()
{
    int verbose = g_opts.command == 'v' || g_opts.verbose;
    FILE *arc = fopen(g_opts.archive, "rb");
    if (!arc) {
        fprintf(stderr, "Cannot open: %s\n", g_opts.archive);
        return 1;
    }
    printf(" %s\n", g_opts.archive);
    fputs(verbose ? LONG_HEAD : SHORT_HEAD, stdout);
    Totals t;
    int complete = list_entries(arc, stdout, verbose, &t);
    print_totals(stdout, t);
    fflush(stdout);
    fclose(arc);
    if (!complete) {
        fprintf(stderr, "Read error: %s\n", g_opts.archive);
        return 1;
    }
    return 0;
}

int cmd_savelist()
{
    if (g_opts.nfiles < 1) {
        fprintf(stderr, "Usage: L <archive> <output-list-file>\n");
        return 1;
    }
    const char *out_path = g_opts.files[0];
    g_opts.nfiles = 0; // every entry goes into the list
    FILE *arc = fopen(g_opts.archive, "rb");
    if (!arc) {
        fprintf(stderr, "Cannot open: %s\n", g_opts.archive);
        return 1;
    }
    FILE *out = fopen(out_path, "w");
    if (!out) {
        fprintf(stderr, "Cannot create: %s\n", out_path);
        fclose(arc);
        return 1;
    }
    fprintf(out, " %s\n", g_opts.archive);
    fputs(SHORT_HEAD, out);
    Totals t;
    int complete = list_entries(arc, out, 0, &t);
    print_totals(out, t);
    fclose(arc);
    if (!complete) {
        fprintf(stderr, "Read error: %s\n", g_opts.archive);
        tmb_close_checked(out);
        return 1;
    }
    // A list that did not reach the disk must not be reported as saved.
    if (!tmb_close_checked(out)) {
        fprintf(stderr, "Cannot write: %s\n", out_path);
        return 1;
    }
    if (!g_opts.quiet)
        printf("List saved to: %s (%d file%s)\n", out_path, t.count, t.count == 1 ? "" : "s");
    return 0;
}
