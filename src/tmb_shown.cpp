#include "tmb_shown.h"

#include <cstdio>

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
