// The delete command (d): copies every entry that is not selected into a
// new archive beside the old one, header and data byte for byte, and puts
// it in the old one's place.
#include <cstdio>

#include "options.h"
#include "tmb_shown.h"
#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_match.h"
#include "tmb_report.h"
#include "tmb_rewrite.h"

namespace {

struct DeleteCounts {
    int deleted, kept;
};

int copy_unselected(Selection &sel, OldArchive *old, NewArchive *out, DeleteCounts *n)
{
    EntryHeader h;
    int r;
    while ((r = rewrite_next_entry(old, &h)) == 1) {
        if (file_wanted(sel, h.name)) {
            printf("  deleting: %s\n", tmb_shown(h.name).c_str());
            n->deleted++;
            if (!rewrite_skip_entry(old, &h))
                return 0;
            continue;
        }
        uint64_t length = (uint64_t)(h.data_pos - h.header_pos) + h.comp_size;
        if (!rewrite_copy_entry(old, h.header_pos, length, out))
            return 0;
        n->kept++;
    }
    return r == 0;
}

} // namespace

int cmd_delete(const Options &o)
{
    if (o.nfiles <= 0) {
        fprintf(stderr, "No files specified for deletion.\n");
        return 1;
    }
    OldArchive old;
    int opened = rewrite_open_old(&old, o.archive, tmb_console(), dbg_sink(o.log));
    if (opened <= 0) {
        if (opened == 0)
            fprintf(stderr, "Cannot open: %s\n", o.archive);
        return 1;
    }
    // A damaged archive is found before a single "deleting:" line is shown.
    if (!rewrite_check(&old))
        return 1;
    NewArchive tmp;
    if (!rewrite_create(&tmp, o.archive, tmb_console())) {
        rewrite_report_create(&tmp, o.archive, errno);
        return 1;
    }
    DeleteCounts n = {0, 0};
    Selection sel = file_selection(o.files, o.nfiles);
    // The copy must meet exactly the entries the check walked: another
    // process may have changed the archive in between.
    int ok = copy_unselected(sel, &old, &tmp, &n) && rewrite_unchanged(&old);
    old.file.close();
    if (!ok) {
        rewrite_abort(&tmp);
        return 1;
    }
    // What the names did select is deleted; a name that selected nothing
    // is reported and fails the command. With nothing deleted the archive
    // stays as it is.
    int unmatched = file_wanted_unmatched(sel);
    if (n.deleted == 0)
        rewrite_abort(&tmp);
    else if (!rewrite_commit(&tmp, o.archive))
        return 1;
    printf("\nDeleted: %d  Kept: %d\n", n.deleted, n.kept);
    fflush(stdout);
    return unmatched > 0 ? 1 : 0;
}
