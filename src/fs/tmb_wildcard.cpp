// Expansion of wildcard arguments for a, u and f.
//
// The shell of AmigaOS leaves patterns to the program, so the adding
// commands expand them here: each pattern argument is replaced by the
// matching files of its directory (breadth-first below it with -r). Only
// the last path component is a pattern; the directory part is opened as
// written, so 'dir*/x.c' looks for a directory literally named 'dir*'.
#include "tmb_wildcard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "tmb_io.h"
#include "tmb_match.h"
#include "tmb_shown.h"

void expand_list_add(StrList *list, const char *s)
{
    if (list->count >= list->capacity) {
        int cap = list->capacity == 0 ? 256 : list->capacity * 2;
        char **items = (char **)realloc(list->items, (size_t)cap * sizeof(char *));
        if (!items)
            return;
        list->items = items;
        list->capacity = cap;
    }
    char *copy = strdup(s);
    if (!copy)
        return;
    list->items[list->count++] = copy;
}

void expand_list_free(StrList *list)
{
    for (int i = 0; i < list->count; i++)
        free(list->items[i]);
    free(list->items);
    list->items = nullptr;
    list->count = list->capacity = 0;
}

void join_path_cut(char *out, const char *dir, const char *name)
{
    size_t n = 0;
    for (const char *p = dir; *p && n < 255; p++)
        out[n++] = *p;
    if (n < 255)
        out[n++] = '/';
    for (const char *p = name; *p && n < 255; p++)
        out[n++] = *p;
    out[n] = 0;
}

int join_path_checked(const MessageSink &msg, char *out, const char *dir, const char *name)
{
    size_t len = strlen(dir) + 1 + strlen(name);
    if (len > 255) {
        msg_printf(msg, MSG_ERR, "  Path too long: %s/%s\n", tmb_shown(dir).c_str(), tmb_shown(name).c_str());
        return 0;
    }
    join_path_cut(out, dir, name);
    return 1;
}

// '#?' needs no test of its own: it holds a '?'.
int is_wildcard_arg(const char *arg)
{
    return strchr(arg, '*') != nullptr || strchr(arg, '?') != nullptr;
}

namespace {

void copy_cut(char *dst, const char *src, size_t len)
{
    if (len > 255)
        len = 255;
    memcpy(dst, src, len);
    dst[len] = 0;
}

// DT_UNKNOWN comes from file systems that do not report the type; ask
// lstat then, so that links are still never taken for directories.
bool entry_is_dir(const struct dirent *de, const char *full)
{
#ifdef DT_DIR
    if (de->d_type == DT_DIR)
        return true;
    if (de->d_type != DT_UNKNOWN)
        return false;
#endif
    struct stat st;
    return lstat(full, &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

void split_wildcard_path(const char *arg, char *dir, char *pattern)
{
    const char *base = tmb_base_name(arg);
    copy_cut(dir, arg, (size_t)(base - arg));
    copy_cut(pattern, base, strlen(base));
}

int wildcard_scan(const MessageSink &msg, const char *dir, const char *pattern, int recursive,
                  void (*on_match)(const char *path, void *ctx), void *ctx)
{
    int skipped = 0;
    // The queue grows at its end while it is walked from its start, which
    // gives breadth-first order.
    StrList queue = {nullptr, 0, 0};
    expand_list_add(&queue, dir[0] ? dir : ".");
    for (int i = 0; i < queue.count; i++) {
        DIR *d = opendir(queue.items[i]);
        if (!d)
            continue;
        struct dirent *de;
        while ((de = readdir(d)) != nullptr) {
            if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0)
                continue;
            char full[256];
            if (!join_path_checked(msg, full, queue.items[i], de->d_name)) {
                skipped++;
                continue;
            }
            if (entry_is_dir(de, full)) {
                if (recursive)
                    expand_list_add(&queue, full);
                continue;
            }
            if (match_simple(pattern, de->d_name))
                on_match(full, ctx);
        }
        closedir(d);
    }
    expand_list_free(&queue);
    return skipped;
}
