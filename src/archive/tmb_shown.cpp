#include "tmb_shown.h"

#include <cstdio>
#include <cstring>


namespace {

// Length of the well-formed UTF-8 sequence of two to four bytes that starts
// at `s`, or 0 when none does (an ASCII byte, a stray continuation byte, an
// overlong form, a surrogate or a code point above U+10FFFF). Stops at the
// first byte that does not fit, so it never reads past a terminating NUL.
size_t utf8_sequence(const unsigned char *s)
{
    const unsigned c = s[0];
    size_t n;
    unsigned lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return n;
}

void escape(std::string *out, unsigned char c)
{
    char esc[5];
    snprintf(esc, sizeof esc, "\\%03o", c);
    *out += esc;
}

} // namespace

std::string tmb_shown(const char *name)
{
    std::string out;
    const unsigned char *s = (const unsigned char *)name;
    while (*s) {
        const unsigned c = *s;
        if (c < 0x20 || c == 0x7F) {
            escape(&out, *s++);
            continue;
        }
        if (c < 0x80) {
            out += (char)*s++;
            continue;
        }
        size_t n = utf8_sequence(s);
        if (n == 2 && c == 0xC2 && s[1] <= 0x9F) {
            // U+0080 to U+009F: a terminal reading UTF-8 takes these as C1
            // controls (U+009B starts a command like ESC [ does).
            escape(&out, s[0]);
            escape(&out, s[1]);
            s += 2;
        } else if (n > 0) {
            out.append((const char *)s, n);
            s += n;
        } else if (c <= 0x9F) {
            // Outside UTF-8, a terminal using an 8-bit character set takes
            // 0x80 to 0x9F as the same C1 controls.
            escape(&out, *s++);
        } else {
            out += (char)*s++; // a character of an 8-bit set: harmless
        }
    }
    return out;
}
