// The target tree of an extraction, walked through directory descriptors.
//
// The target the user names is opened as given (a link there is the user's
// choice). Below it every level is opened with O_NOFOLLOW | O_DIRECTORY
// relative to the level above and held open, so a directory that is
// swapped for a symbolic link while we work is never followed: the
// descriptors keep pointing at the directories that were checked.
//
// The descriptors are shared: whoever still writes into a directory (a
// file being unpacked on another thread) holds a reference to the walk's
// own descriptor rather than a copy, so pending files cost no descriptor
// each, and OutDir counts how many are open for the caller to keep within
// the process's limit.
#pragma once
#include <memory>
#include <string>
#include <vector>

// One open directory; closed when the last reference goes. Its references
// are taken and dropped on one thread (the counter is not atomic).
class OutDirFd {
public:
    OutDirFd(int fd, int *open_count);
    ~OutDirFd();
    OutDirFd(const OutDirFd &) = delete;
    OutDirFd &operator=(const OutDirFd &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
    int *open_count_;
};
using OutDirRef = std::shared_ptr<const OutDirFd>;

struct OutDir {
    std::string root_path;          // the target as named ("" = current directory)
    OutDirRef root;                 // its descriptor, once opened
    std::vector<std::string> names; // levels below the root held open, outermost first
    std::vector<OutDirRef> fds;     // their descriptors
    // Directory descriptors open now, held here or by references to them.
    // The OutDir must outlive every reference (they point at this count).
    int open = 0;
};

// Sets the target; nothing is opened yet.
void outdir_init(OutDir &d, const char *work_dir);
// Lets go of every descriptor (references taken from it keep theirs).
void outdir_close(OutDir &d);

// Opens the target, creating it (and the directories on its way) first.
// Returns its descriptor or -1 (errno set).
int outdir_root(OutDir &d);

// The levels of a relative name below the target, as the walk takes them:
// empty and "." components are passed over, so "a//b", "./a/b" and "a/b"
// give the same levels and name the same place.
std::vector<std::string> outdir_levels(const char *rel);

// Opens the directory levels of `rel` below the target, creating missing
// ones with mode 0755: all levels when `whole` is set (a directory entry),
// else all but the last one, which is left in `leaf` (a file entry).
// Returns a reference to the deepest level, or null with errno set: ELOOP
// when a level is a symbolic link, ENOTDIR when it is something else that
// is no directory, EISDIR when a file entry has no level at all. `failed`
// then holds the part of `rel` that could not be opened.
OutDirRef outdir_walk(OutDir &d, const char *rel, bool whole, std::string *leaf, std::string *failed);

// Descriptors this process may still open under its limit (RLIMIT_NOFILE)
// beside those open now; a large number when there is no useful limit.
int outdir_free_descriptors();
