// Listing commands: l and v on standard output, L into a text file. They
// read the headers only and step over the packed data.
#include <cinttypes>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "options.h"
#include "tmb_report.h"
#include "tmb_shown.h"
#include "tmb_autojoin.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_io.h"
#include "tmb_match.h"
#include "tmb_split.h"

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
// `out`. Entries whose method is unknown are stepped over unlisted. Returns
// 0 when the walk stopped at damage (or a read error, or something that is
// no archive at all) instead of the real end, after saying so: a listing
// cut short must not pass for the whole archive.
int list_entries(FILE *arc, const char *shown, Selection &sel, FILE *out, int verbose, Totals *t,
                 const LogSink &log)
{
    int64_t size = tmb_file_size(arc);
    EntryHeader h;
    const char *why = nullptr;
    int64_t pos = 0;
    int r;
    while ((r = tmb_walk_next(arc, size, &h, &why, log)) == TMB_WALK_ENTRY || r == TMB_WALK_CUT) {
        // An entry cut off by the end of the file is still shown, as its
        // header reads; the damage is said after the listing.
        if (h.method != -1 && file_wanted(sel, h.name)) {
            print_entry(out, &h, verbose);
            t->count++;
            t->orig += h.orig_size;
            t->comp += h.comp_size;
        }
        if (r == TMB_WALK_CUT)
            break;
        // Packed sizes are at most 32 bits wide, so this always moves forward.
        pos = h.data_pos + (int64_t)h.comp_size;
        if (fseeko(arc, (off_t)pos, SEEK_SET) != 0) {
            why = "cannot seek";
            r = TMB_WALK_DAMAGED;
            break;
        }
    }
    if (r < 0) {
        pos = r == TMB_WALK_CUT ? h.header_pos : pos;
        fflush(out);
        tmb_report_walk_damage(shown, pos, why);
        return 0;
    }
    return 1;
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

int cmd_list(const Options &o)
{
    int verbose = o.command == 'v' || o.verbose;
    StandIn joined;
    BufferedFile arc_file = tmb_open_archive(&joined, o);
    FILE *arc = arc_file.get();
    if (!arc)
        return 1;
    const char *shown = tmb_archive_shown(joined, o.archive);
    Selection sel = file_selection(o.files, o.nfiles);
    printf(" %s\n", shown);
    fputs(verbose ? LONG_HEAD : SHORT_HEAD, stdout);
    Totals t;
    int complete = list_entries(arc, shown, sel, stdout, verbose, &t, dbg_sink(o.log));
    print_totals(stdout, t);
    fflush(stdout);
    arc_file.close();
    tmb_autojoin_end(&joined);
    return complete ? 0 : 1;
}

// True when the listing must not replace `path`: it is the archive being
// listed, one of the parts or the sidecar it was joined from, or any file
// that holds an LZH archive anywhere (`L *.tmb` must not turn the second
// archive into a listing of the first, nor `L a.tmb a.run` a
// self-extractor, which holds its archive after the extractor's code).
bool listing_would_destroy(const StandIn &joined, const char *path, FILE *arc)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    FileId arc_id;
    if (tmb_stream_id(arc, &arc_id) && tmb_file_id(st) == arc_id)
        return true;
    for (const FileId &id : joined.join_inputs)
        if (tmb_file_id(st) == id)
            return true;
    if (!S_ISREG(st.st_mode) || st.st_size == 0)
        return false;
    FILE *fp = fopen(path, "rb");
    if (!fp)
        return false;
    // An AmigaOS program (a self-extractor, whatever it holds) starts with
    // the hunk header's type word.
    static const unsigned char kHunkHeader[4] = {0x00, 0x00, 0x03, 0xF3};
    unsigned char word[4];
    bool archive = (fread(word, 1, 4, fp) == 4 && memcmp(word, kHunkHeader, 4) == 0) ||
                   tmb_holds_archive(fp);
    fclose(fp);
    return archive;
}

int cmd_savelist(const Options &o)
{
    if (o.nfiles < 1) {
        fprintf(stderr, "Usage: L <archive> <output-list-file>\n");
        return 1;
    }
    const char *out_path = o.files[0];
    Selection every; // every entry goes into the list
    StandIn joined;
    BufferedFile arc_file = tmb_open_archive(&joined, o);
    FILE *arc = arc_file.get();
    if (!arc)
        return 1;
    const char *shown = tmb_archive_shown(joined, o.archive);
    SafeOutput out;
    int status = 1;
    if (listing_would_destroy(joined, out_path, arc)) {
        fprintf(stderr, "Not writing the listing over an archive: %s\n", out_path);
    } else if (!tmb_output_open(&out, out_path)) {
        fprintf(stderr, "Cannot create: %s\n", out_path);
    } else {
        FILE *fp = out.file.get();
        fprintf(fp, " %s\n", shown);
        fputs(SHORT_HEAD, fp);
        Totals t;
        int complete = list_entries(arc, shown, every, fp, 0, &t, dbg_sink(o.log));
        print_totals(fp, t);
        if (!complete) {
            tmb_output_abort(&out);
        } else if (!tmb_output_commit(&out)) {
            // A list that did not reach the disk must not be reported as saved.
            fprintf(stderr, "Cannot write: %s\n", out_path);
        } else {
            if (!o.quiet)
                printf("List saved to: %s (%d file%s)\n", out_path, t.count, t.count == 1 ? "" : "s");
            status = 0;
        }
    }
    arc_file.close();
    tmb_autojoin_end(&joined);
    return status;
}
