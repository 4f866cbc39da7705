// Name patterns: '?' one character, '*' and the AmigaOS '#?' any run
// (including '/', so patterns reach across directory levels).
#include "tmb_match.h"

#include <cstdio>
#include <cstring>
#include <vector>

int tmb_strcasecmp(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ca = (unsigned char)*a, cb = (unsigned char)*b;
        if (ca >= 'a' && ca <= 'z')
            ca -= 32;
        if (cb >= 'a' && cb <= 'z')
            cb -= 32;
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

namespace {

// Width of the "any run" wildcard at p: 1 for '*', 2 for '#?', 0 otherwise.
int star_width(const char *p)
{
    if (p[0] == '*')
        return 1;
    if (p[0] == '#' && p[1] == '?')
        return 2;
    return 0;
}

// With the name used up, the rest must be '*'s followed by '#?' pairs.
int rest_matches_empty(const char *p)
{
    while (*p == '*')
        p++;
    while (p[0] == '#' && p[1] == '?')
        p += 2;
    return *p == '\0';
}

} // namespace

namespace {

// Backtracking over several wildcards is exponential in their number (a
// pattern such as '*a*a*a*a*b' against a long name of 'a's would run for
// minutes), but the outcome of matching a pattern tail against a name tail
// never changes. Each (tail, tail) pair is therefore decided once and
// remembered. A success ends the whole match at once, so only failures
// need remembering: 0 unknown, 1 no match.
struct Memo {
    const char *pattern;
    const char *name;
    size_t name_len;
    std::vector<unsigned char> seen; // empty: no memo (sizes too large)
};

int match_from(Memo &m, const char *p, const char *n)
{
    for (;;) {
        if (*p == '\0')
            return *n == '\0';
        if (*n == '\0')
            return rest_matches_empty(p);
        int w = star_width(p);
        if (w) {
            // Try the rest against every suffix of the name that still has
            // at least one character; failing that, only an empty rest fits.
            const char *rest = p + w;
            for (const char *s = n; *s; s++) {
                unsigned char *slot = nullptr;
                if (!m.seen.empty())
                    slot = &m.seen[(size_t)(rest - m.pattern) * (m.name_len + 1) +
                                   (size_t)(s - m.name)];
                if (slot && *slot == 1)
                    continue;
                if (match_from(m, rest, s))
                    return 1;
                if (slot)
                    *slot = 1;
            }
            return *rest == '\0';
        }
        if (*p != '?' && *p != *n)
            return 0;
        p++;
        n++;
    }
}

} // namespace

int match_simple(const char *pattern, const char *name)
{
    Memo m = {pattern, name, strlen(name), {}};
    // One wildcard backtracks over one level only; the memo pays from two.
    int wildcards = 0;
    for (const char *p = pattern; *p; p++)
        wildcards += star_width(p) != 0;
    size_t cells = (strlen(pattern) + 1) * (m.name_len + 1);
    if (wildcards >= 2 && cells <= (size_t)1 << 24)
        m.seen.assign(cells, 0);
    return match_from(m, pattern, name);
}

Selection file_selection(char *const *files, int nfiles)
{
    Selection sel;
    sel.files = files;
    sel.nfiles = nfiles > 0 ? nfiles : 0;
    file_wanted_begin(sel);
    return sel;
}

void file_wanted_begin(Selection &sel)
{
    sel.selected.assign((size_t)sel.nfiles, 0);
}

int file_wanted(Selection &sel, const char *name)
{
    if (sel.nfiles == 0)
        return 1;
    if (sel.selected.size() != (size_t)sel.nfiles)
        file_wanted_begin(sel);
    const char *base = name;
    for (const char *s = name; *s; s++)
        if (*s == '/' || *s == '\\')
            base = s + 1;
    // Every argument is tried, not just up to the first that selects the
    // name: each one that does is noted.
    int wanted = 0;
    for (int i = 0; i < sel.nfiles; i++) {
        const char *pat = sel.files[i];
        if (sel.selected[(size_t)i] && wanted)
            continue;
        if (pat[0] == '\0' || match_simple(pat, name) || match_simple(pat, base)) {
            sel.selected[(size_t)i] = 1;
            wanted = 1;
        }
    }
    return wanted;
}
