// Entry names as they may be shown on a terminal.
#pragma once
#include <cstdint>
#include <string>

// `name` with every byte that a terminal could take as a control written as
// a backslash and three octal digits, so that a name read from an archive
// or a directory cannot move the cursor, erase lines or fake output: the C0
// controls (below 0x20) and 0x7F, the C1 controls U+0080 to U+009F in their
// UTF-8 form (both bytes, as \302\233), and the raw bytes 0x80 to 0x9F that
// are no part of a well-formed UTF-8 sequence. Every other byte is kept:
// valid UTF-8 text shows as it is, and so do the bytes 0xA0 to 0xFF of an
// 8-bit character set. Names written to disk are never changed.
std::string tmb_shown(const char *name);
