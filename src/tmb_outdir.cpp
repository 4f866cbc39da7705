#include "tmb_outdir.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// mkdir -p for the target itself: every prefix ending before a '/', then
// the whole path. Failures are left to the open that follows.
void make_path(const std::string &path)
{
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Drops the held levels from index `keep` on.
void drop_from(OutDir &d, size_t keep)
{
    while (d.fds.size() > keep) {
        close(d.fds.back());
        d.fds.pop_back();
        d.names.pop_back();
    }
}

// One level below `parent`: opened without following a link, made first
// when missing. Another process may make it between the two steps, so
// EEXIST from mkdirat is as good as success.
int open_level(int parent, const std::string &name)
{
    int fd = openat(parent, name.c_str(), kDirFlags | O_NOFOLLOW);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    if (mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST)
        return -1;
    return openat(parent, name.c_str(), kDirFlags | O_NOFOLLOW);
}

} // namespace

void outdir_init(OutDir &d, const char *work_dir)
{
    outdir_close(d);
    d.root_path = work_dir;
}

void outdir_close(OutDir &d)
{
    drop_from(d, 0);
    if (d.root >= 0)
        close(d.root);
    d.root = -1;
}

int outdir_root(OutDir &d)
{
    if (d.root >= 0)
        return d.root;
    if (d.root_path.empty()) {
        d.root = open(".", kDirFlags);
        return d.root;
    }
    make_path(d.root_path);
    d.root = open(d.root_path.c_str(), kDirFlags);
    return d.root;
}

int outdir_walk(OutDir &d, const char *rel, bool whole, std::string *leaf, std::string *failed)
{
    std::vector<std::string> levels;
    std::string cur;
    for (const char *s = rel;; s++) {
        if (*s == '/' || *s == '\0') {
            if (!cur.empty() && cur != ".")
                levels.push_back(cur);
            cur.clear();
            if (*s == '\0')
                break;
        } else {
            cur += *s;
        }
    }
    if (!whole) {
        if (levels.empty()) {
            errno = EISDIR;
            return -1;
        }
        *leaf = levels.back();
        levels.pop_back();
    }
    // Levels held from an earlier entry are reused as far as they agree.
    size_t same = 0;
    while (same < levels.size() && same < d.names.size() && d.names[same] == levels[same])
        same++;
    drop_from(d, same);
    int fd = d.fds.empty() ? d.root : d.fds.back();
    for (size_t i = same; i < levels.size(); i++) {
        int next = open_level(fd, levels[i]);
        if (next < 0) {
            int e = errno;
            struct stat st;
            if (fstatat(fd, levels[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
                e = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? e : ENOTDIR;
            if (failed) {
                failed->clear();
                for (size_t k = 0; k <= i; k++)
                    *failed += (k ? "/" : "") + levels[k];
            }
            errno = e;
            return -1;
        }
        d.names.push_back(levels[i]);
        d.fds.push_back(next);
        fd = next;
    }
    return fd;
}
