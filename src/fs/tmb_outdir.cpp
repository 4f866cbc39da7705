#include "tmb_outdir.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// Above this limit the descriptors in use are not counted (one system call
// each): the limit is then far beyond what an extraction holds.
constexpr int kCountedLimit = 65536;

OutDirRef make_ref(OutDir &d, int fd)
{
    return fd < 0 ? nullptr : std::make_shared<const OutDirFd>(fd, &d.open);
}

// mkdir -p for the target itself: every prefix ending before a '/', then
// the whole path. Failures are left to the open that follows.
void make_path(const std::string &path)
{
    for (size_t i = 1; i < path.size(); i++)
        if (path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Lets go of the held levels from index `keep` on.
void drop_from(OutDir &d, size_t keep)
{
    d.fds.resize(keep);
    d.names.resize(keep);
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

OutDirFd::OutDirFd(int fd, int *open_count) : fd_(fd), open_count_(open_count) { ++*open_count_; }

OutDirFd::~OutDirFd()
{
    close(fd_);
    --*open_count_;
}

void outdir_init(OutDir &d, const char *work_dir)
{
    outdir_close(d);
    d.root_path = work_dir;
}

void outdir_close(OutDir &d)
{
    drop_from(d, 0);
    d.root = nullptr;
}

int outdir_root(OutDir &d)
{
    if (d.root)
        return d.root->fd();
    if (d.root_path.empty()) {
        d.root = make_ref(d, open(".", kDirFlags));
    } else {
        make_path(d.root_path);
        d.root = make_ref(d, open(d.root_path.c_str(), kDirFlags));
    }
    return d.root ? d.root->fd() : -1;
}

std::vector<std::string> outdir_levels(const char *rel)
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
    return levels;
}

OutDirRef outdir_walk(OutDir &d, const char *rel, bool whole, std::string *leaf, std::string *failed)
{
    std::vector<std::string> levels = outdir_levels(rel);
    if (!whole) {
        if (levels.empty()) {
            errno = EISDIR;
            return nullptr;
        }
        *leaf = levels.back();
        levels.pop_back();
    }
    // Levels held from an earlier entry are reused as far as they agree.
    size_t same = 0;
    while (same < levels.size() && same < d.names.size() && d.names[same] == levels[same])
        same++;
    drop_from(d, same);
    OutDirRef at = d.fds.empty() ? d.root : d.fds.back();
    for (size_t i = same; i < levels.size(); i++) {
        int fd = at->fd();
        OutDirRef next = make_ref(d, open_level(fd, levels[i]));
        if (!next) {
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
            return nullptr;
        }
        d.names.push_back(levels[i]);
        d.fds.push_back(next);
        at = std::move(next);
    }
    return at;
}

int outdir_free_descriptors()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > (rlim_t)kCountedLimit)
        return kCountedLimit;
    int limit = (int)rl.rlim_cur;
    int in_use = 0;
    for (int fd = 0; fd < limit; fd++)
        if (fcntl(fd, F_GETFD) != -1)
            in_use++;
    return limit - in_use;
}
