// The target tree of an extraction, walked through directory descriptors.
//
// The target the user names is opened as given (a link there is the user's
// choice). Below it every level is opened with O_NOFOLLOW | O_DIRECTORY
// relative to the level above and held open, so a directory that is
// swapped for a symbolic link while we work is never followed: the
// descriptors keep pointing at the directories that were checked.
#pragma once
#include <string>
#include <vector>

struct OutDir {
    std::string root_path;         // the target as named ("" = current directory)
    int root = -1;                 // its descriptor, once opened
    std::vector<std::string> names; // levels below the root held open, outermost first
    std::vector<int> fds;          // their descriptors
};

// Sets the target; nothing is opened yet.
void outdir_init(OutDir &d, const char *work_dir);
// Closes every descriptor.
void outdir_close(OutDir &d);

// Opens the target, creating it (and the directories on its way) first.
// Returns its descriptor or -1 (errno set).
int outdir_root(OutDir &d);

// Opens the directory levels of `rel` below the target, creating missing
// ones with mode 0755: all levels when `whole` is set (a directory entry),
// else all but the last component, which is left in `leaf` (a file entry).
// Empty and "." components are passed over. Returns the descriptor of the
// deepest level (owned by `d`), or -1 with errno set: ELOOP when a level is
// a symbolic link, ENOTDIR when it is something else that is no directory.
// `failed` then holds the part of `rel` that could not be opened.
int outdir_walk(OutDir &d, const char *rel, bool whole, std::string *leaf, std::string *failed);
