// Name patterns: '?' one character, '*' and the AmigaOS '#?' any run
// (including '/', so patterns reach across directory levels).
#include "tmb_match.h"

#include <cstring>

#include "tambrix.h"

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

int match_simple(const char *pattern, const char *name)
{
    const char *p = pattern, *n = name;
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
            for (const char *s = n; *s; s++)
                if (match_simple(rest, s))
                    return 1;
            return *rest == '\0';
        }
        if (*p != '?' && *p != *n)
            return 0;
        p++;
        n++;
    }
}

int file_wanted(const char *name)
{
    if (g_opts.nfiles == 0)
        return 1;
    const char *base = name;
    for (const char *s = name; *s; s++)
        if (*s == '/' || *s == '\\')
            base = s + 1;
    for (int i = 0; i < g_opts.nfiles; i++) {
        const char *pat = g_opts.files[i];
        if (pat[0] == '\0' || match_simple(pat, name) || match_simple(pat, base))
            return 1;
    }
    return 0;
}
