// The commands t and p. t decodes the selected entries without writing
// anything and compares each result with the CRC-16 stored in its header;
// p decodes exactly one entry, named byte for byte, to standard output.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>
#include <cstring>
#include <ctime>
#include <string>

#include "options.h"
#include "tmb_autojoin.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_match.h"
#include "tmb_method.h"
#include "tmb_pool.h"
#include "tmb_progress.h"
#include "tmb_report.h"
#include "tmb_runner.h"
#include "tmb_shown.h"
#include "tmb_split.h"
#include "tmb_stream.h"

namespace {


// To the next header. The decoder has mostly read exactly comp_size bytes
// and left the stream there; glibc's fseeko would still call lseek.
void seek_past(FILE *arc, const EntryHeader &h)
{
    off_t next = (off_t)(h.data_pos + (int64_t)h.comp_size);
    if (ftello(arc) != next)
        fseeko(arc, next, SEEK_SET);
}

} // namespace

int cmd_test(const Options &o)
{
    clock_t start = clock();  // the time shown includes an auto-join
    StandIn joined;
    BufferedFile arc_file = tmb_open_archive(&joined, o);
    FILE *arc = arc_file.get();
    if (!arc)
        return 1;
    const char *shown = tmb_archive_shown(joined, o.archive);
    printf("Testing: %s\n\n", shown);

    int tested = 0, errors = 0;
    int64_t size = tmb_file_size(arc);
    // Entries are decoded on every core (the lines come out in archive
    // order).
    std::vector<ExtractCtx *> ctxs = tmb_unpack_contexts(o, size);
    if (ctxs.empty()) {
        fputs("Not enough memory to unpack\n", stderr);
        arc_file.close();
        tmb_autojoin_end(&joined);
        return 1;
    }
    OrderedPool pool((int)ctxs.size(), tmb_pool_queue((int)ctxs.size()));
    EntryRunner runner(pool);
    // Read at an offset when the archive allows it (any thread); else in
    // order from the stream, where one thread decodes each entry at once.
    const int arcfd = size >= 0 ? fileno(arc) : -1;

    struct Result {
        EntryHeader h;
        int rc = TMB_EXTRACT_FAILED;
        bool no_memory = false; // the decoder's memory could not be had
        uint16_t crc = 0;
        bool supported = true;
    };
    auto report = [&](const Result &t) {
        if (t.rc != 0) {
            if (t.no_memory)
                fputs("Not enough memory to unpack\n", stderr);
            printf("DECOMPRESS ERROR\n");
            if (t.rc == TMB_EXTRACT_UNSUPPORTED)
                fprintf(stderr, "Unsupported method: %s: %s\n", tmb_method_name(t.h.method),
                        tmb_shown(t.h.name).c_str());
            else
                tmb_report_entry(t.h.name, tmb_extract_reason(t.rc));
            errors++;
        } else if (t.crc == t.h.crc) {
            printf("OK\n");
        } else {
            // Stored entries are checked too: t is where a bad CRC shows.
            printf("CRC ERROR (expected %04X got %04X)\n", t.h.crc, t.crc);
            tmb_report_entry(t.h.name, "CRC mismatch (damaged)");
            errors++;
        }
        tested++;
    };
    auto line = [](const EntryHeader &h) {
        printf("  testing: %-40s ", tmb_shown(h.name).c_str());
        fflush(stdout);
    };

    EntryHeader h;
    const char *why = nullptr;
    int walk;
    Selection sel = file_selection(o.files, o.nfiles);
    while ((walk = tmb_walk_next(arc, size, &h, &why, dbg_sink(o.log))) == TMB_WALK_ENTRY) {
        // A directory entry a name selects is not tested, but the name has
        // matched.
        if (!file_wanted(sel, h.name) || h.is_dir) {
            seek_past(arc, h);
            continue;
        }
        auto t = std::make_shared<Result>();
        t->h = h;
        // An entry x cannot unpack fails here too: t passes an archive only
        // when x would.
        t->supported = tmb_extract_supported(&h);
        if (!t->supported)
            t->rc = TMB_EXTRACT_UNSUPPORTED;
        auto work = [t, arc, arcfd, &ctxs](int w) {
            if (!t->supported)
                return;
            ExtractCtx *ctx = ctxs[(size_t)w];
            t->rc = arcfd >= 0 ? tmb_extract_at(ctx, arcfd, t->h.data_pos, nullptr, &t->h, &t->crc)
                               : tmb_extract(ctx, arc, nullptr, &t->h, &t->crc);
            t->no_memory = tmb_extract_out_of_memory(ctx);
        };
        auto finish = [t, &line, &report] {
            line(t->h);
            report(*t);
        };
        if (arcfd >= 0)
            runner.add(h.comp_size, work, finish);
        else
            runner.add_alone(work, finish, nullptr, nullptr);
        seek_past(arc, h);
    }
    runner.settle();
    tmb_unpack_contexts_free(ctxs);
    // Damage, a read error or a file that is no archive must not pass for
    // the end.
    if (walk < 0) {
        fflush(stdout);
        tmb_report_walk_damage(shown, (int64_t)ftello(arc), why);
        errors++;
    }
    int unmatched = file_wanted_unmatched(sel);

    printf("\nTested: %d  Errors: %d\n", tested, errors);
    print_elapsed(start);
    fflush(stdout);
    arc_file.close();
    tmb_autojoin_end(&joined);
    return errors > 0 || unmatched > 0 ? 1 : 0;
}

int cmd_print(const Options &o)
{
    if (o.nfiles != 1) {
        fprintf(stderr, "Usage: p <archive> <single-filename>\n"
                        "  (prints one file's decompressed contents to stdout)\n");
        return 1;
    }
    const char *wanted = o.files[0];
    StandIn joined;
    BufferedFile arc_file = tmb_open_archive(&joined, o);
    FILE *arc = arc_file.get();
    if (!arc)
        return 1;

    // The name must match exactly: no patterns, no base names, no case
    // folding, so that what is printed is never a surprise.
    const char *shown = tmb_archive_shown(joined, o.archive);
    int64_t size = tmb_file_size(arc);
    EntryHeader h;
    const char *why = nullptr;
    int walk;
    while ((walk = tmb_walk_next(arc, size, &h, &why, dbg_sink(o.log))) == TMB_WALK_ENTRY) {
        if (h.is_dir || strcmp(h.name, wanted) != 0) {
            seek_past(arc, h);
            continue;
        }
        // The entry is there; what cannot be unpacked is said as x and t
        // say it, before a byte is written.
        if (!tmb_extract_supported(&h)) {
            arc_file.close();
            tmb_autojoin_end(&joined);
            fprintf(stderr, "Unsupported method: %s: %s\n", tmb_method_name(h.method),
                    tmb_shown(h.name).c_str());
            return 1;
        }
        ExtractCtx *ctx = tmb_extract_new(o.inbuf_max, o.outbuf_max);
        uint16_t crc = 0;
        int rc = ctx ? tmb_extract(ctx, arc, stdout, &h, &crc) : TMB_EXTRACT_FAILED;
        if (ctx && tmb_extract_out_of_memory(ctx))
            fputs("Not enough memory to unpack\n", stderr);
        tmb_extract_free(ctx);
        arc_file.close();
        tmb_autojoin_end(&joined);
        std::string name = tmb_shown(h.name);
        // A closed pipe or a full disk behind standard output is a failure,
        // not a printed file.
        int write_failed = fflush(stdout) != 0 || ferror(stdout);
        if (rc != 0 && !write_failed) {
            fprintf(stderr, "\nDecompression error for: %s\n", name.c_str());
            return 1;
        }
        if (write_failed) {
            fprintf(stderr, "\nWrite error on standard output for: %s\n", name.c_str());
            return 1;
        }
        // The bytes are out; like gzip -dc, a CRC mismatch still fails.
        if (crc != h.crc) {
            fprintf(stderr, "\nCRC error for: %s (expected %04X got %04X)\n", name.c_str(), h.crc,
                    (unsigned)crc);
            return 1;
        }
        return 0;
    }
    // Cut short by damage, the search cannot say the entry is absent.
    int64_t at = (int64_t)ftello(arc);
    arc_file.close();
    tmb_autojoin_end(&joined);
    if (walk < 0)
        tmb_report_walk_damage(shown, at, why);
    else
        fprintf(stderr, "File not found in archive: %s\n", tmb_shown(wanted).c_str());
    return 1;
}
