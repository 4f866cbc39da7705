// Wildcard arguments of a, u and f, expanded before dispatch.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "options.h"
#include "tmb_cmd.h"
#include "tmb_wildcard.h"
#include "tmb_report.h"

namespace {

void add_to_result(const char *path, void *ctx)
{
    expand_list_add((StrList *)ctx, path);
}

} // namespace

void expand_pack_wildcards(Options &o, std::vector<void *> &owned)
{
    int c = o.command;
    if ((c != 'a' && c != 'u' && c != 'f') || o.nfiles <= 0)
        return;
    StrList result = {nullptr, 0, 0};
    bool any_pattern = false;
    for (int i = 0; i < o.nfiles; i++) {
        const char *arg = o.files[i];
        if (!is_wildcard_arg(arg)) {
            expand_list_add(&result, arg);
            continue;
        }
        char dir[256], pattern[256];
        split_wildcard_path(arg, dir, pattern);
        if (!o.quiet)
            printf("Expanding: %s (dir='%s' pat='%s')\n", arg, dir[0] ? dir : "(current)", pattern);
        o.skipped_paths += wildcard_scan(tmb_console(), dir, pattern, o.recursive, add_to_result, &result);
        any_pattern = true;
    }
    if (!any_pattern) {
        expand_list_free(&result);
        return;
    }
    // A null entry after the last one, for readers that look for it.
    if (result.count >= result.capacity) {
        char **items = (char **)realloc(result.items, (size_t)(result.capacity + 1) * sizeof(char *));
        if (items) {
            result.items = items;
            result.capacity++;
        }
    }
    if (result.count < result.capacity)
        result.items[result.count] = nullptr;
    o.files = result.items;
    o.nfiles = result.count;
    owned.push_back(result.items);
    for (int i = 0; i < result.count; i++)
        owned.push_back(result.items[i]);
}
