// Adding one file or directory tree to an archive stream.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <sys/stat.h>

#include "tmb_codec.h"
#include "tmb_io.h"
#include "tmb_log.h"
#include "tmb_msg.h"

// What the calls of add_path have done since the tally was last cleared:
// entries actually written, and failures, one for each file that could not
// be added and each directory that could not be listed, however deep below
// the path given. add_path's own result only says whether anything failed.
// `broken` is set when the failure lies with the archive being built, not
// with an input: the archive or the packing temporary could not be written
// (a full disk), or memory ran out. The callers then give up the new
// archive and keep the old one as it was.
struct AddTally {
    int added;
    int failed;
    int broken;
};

// What adding takes from the options.
struct AddSettings {
    int quiet = 0;         // no "[n] adding:" lines
    int recursive = 0;     // walk directory trees
    int exclude_empty = 0; // no entries for empty directories
    int optimal = 0;       // -9
    int threads = 0;       // -T<n>
};

// How adding shows a file being packed, on the thread that writes the
// archive: `begin` arms the display for a file of `total` bytes, `bytes`
// takes the bytes consumed, `end` closes it. All may be null.
struct AddProgress {
    void *user = nullptr;
    void (*begin)(void *user, uint64_t total) = nullptr;
    void (*end)(void *user) = nullptr;
    lzh::Progress bytes;
};

struct PackSession;

// One run of adding, owned by the command that adds and passed first to
// every call below. `add_tally` counts what the calls of add_path have done
// since the command last cleared it; `arc_root_len` is the root rule of the
// path being added (see add_argument_name); `add_file_no` numbers the
// "[n] adding:" lines.
struct AddState {
    AddSettings set;
    AddProgress progress;
    LogSink log;           // debug lines
    MessageSink msg;       // the "[n] adding:" lines and the failures
    AddTally add_tally = {0, 0, 0};
    int arc_root_len = 0;
    int add_file_no = 0;
    // Identities of the archive being written and of the one it replaces
    // (see add_set_archive); empty when there is none.
    std::optional<FileId> arc_ids[2];
    PackSession *session = nullptr; // the packing threads, between add_begin and add_end
};

// Adds one path (a file, or a tree with -r) to the archive stream `arc`;
// 1 when everything below it went in. Files are packed on the threads of
// -T<n>, and the entries are written and reported in the order of the walk
// before add_path returns.
int add_path(AddState &as, FILE *arc, const char *path, const char *arcname, int method);

// For many paths in a row: add_begin starts the packing threads for `arc`
// (0, reported, when it cannot), add_path_then queues each path without
// waiting for it, and `done` is called in turn, once every entry below the
// path is written, with whether all went well and the tally of that path
// alone. add_end finishes everything queued. Between add_begin and add_end,
// add_path uses the same threads.
int add_begin(AddState &as, FILE *arc);
void add_path_then(AddState &as, const char *path, const char *arcname, int method,
                   std::function<void(int ok, const AddTally &delta)> done);
void add_end(AddState &as);
// Runs `f` in turn after what is queued (at once without add_begin): for
// the callers' own lines between paths.
void add_in_turn(AddState &as, std::function<void()> f);
const char *strip_arc_root(const AddState &as, const char *name);

// The archive name under which a stores a path given on its command line:
// the path without one leading "./". Also sets as.arc_root_len for it: a
// directory's entries are named relative to the directory, a file by its
// base name.
const char *add_argument_name(AddState &as, const char *arg);

// What a walks below one path, in the order it stores it, each with the
// entry name it gets (the root rule applied with as.arc_root_len as it is
// during the call). u and f walk the same way, so that an entry and the
// file it came from meet by name.
struct AddWalk {
    // Anything that is no directory; `st` is nullptr when its status cannot
    // be read (the path may not exist).
    std::function<void(const char *path, const char *arcname, const char *name, const struct stat *st)> file;
    // A directory that holds nothing and so gets an entry of its own (not
    // with -e); its name ends in '/'.
    std::function<void(const char *path, const char *arcname, const char *name, const struct stat *st)> empty_dir;
    // Every directory met, before its contents (also one not walked
    // without -r). May be empty.
    std::function<void(const char *arcname)> dir;
    // Runs what the walk has to tell (a link to a directory passed over, a
    // directory that cannot be listed, a path too long to hold, each
    // failure counted in as.add_tally.failed): at once, or in the turn of
    // the output of a.
    std::function<void(std::function<void()>)> say;
};
void add_walk(AddState &as, const char *path, const char *arcname, const AddWalk &walk);
// Says on standard error that no entry went in, so `archive` is left as it
// was (or not created): an archive of nothing is never what was asked for.
void add_report_nothing_added(const AddState &as, const char *archive);

// Names the archive stream being written, and for u and f also the old
// archive being replaced, so that neither a tree walk nor a pattern stores
// an archive inside itself; nullptr forgets them.
void add_set_archive(AddState &as, FILE *arc, FILE *old = nullptr);
