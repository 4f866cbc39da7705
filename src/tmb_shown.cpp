#include "tmb_shown.h"

#include <cstdio>
#include <cstring>

#include "tmb_method.h"

std::string tmb_shown(const char *name)
{
    std::string out;
    for (const unsigned char *s = (const unsigned char *)name; *s; s++) {
        if (*s < 0x20 || *s == 0x7F) {
            char esc[5];
            snprintf(esc, sizeof esc, "\\%03o", *s);
            out += esc;
        } else {
            out += (char)*s;
        }
    }
    return out;
}

void tmb_report_entry(const char *name, const char *reason)
{
    fprintf(stderr, "  ERROR: %s: %s\n", tmb_shown(name).c_str(), reason);
}

const char *tmb_extract_reason(int rc)
{
    switch (rc) {
    case TMB_EXTRACT_DAMAGED:
        return "the packed data ends before the entry does (damaged)";
    case TMB_EXTRACT_UNSUPPORTED:
        return "unsupported method";
    default:
        return "cannot unpack";
    }
}

void tmb_report_walk_damage(const char *archive, int64_t pos, const char *why)
{
    if (strcmp(why, "read error") == 0)
        fprintf(stderr, "Read error: %s\n", archive);
    else if (pos == 0 && strcmp(why, "unreadable entry header") == 0)
        fprintf(stderr, "Not an LZH archive: %s (%s)\n", archive, why);
    else
        fprintf(stderr, "Damaged archive: %s (%s at offset %lld)\n", archive, why, (long long)pos);
}
