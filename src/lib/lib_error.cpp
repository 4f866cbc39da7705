// Result codes as text, the version, and the methods the writer takes.
#include <cstring>

#include "tmb_lib.h"

namespace {

struct CodeText {
    int code;
    const char *text;
};

constexpr CodeText kTexts[] = {
    {TAMBRIX_OK, "success"},
    {TAMBRIX_END, "end of archive"},
    {TAMBRIX_E_ARG, "invalid argument or call out of order"},
    {TAMBRIX_E_NOMEM, "out of memory"},
    {TAMBRIX_E_OPEN, "cannot open file"},
    {TAMBRIX_E_READ, "read error"},
    {TAMBRIX_E_WRITE, "write error"},
    {TAMBRIX_E_NOT_ARCHIVE, "not an LZH archive"},
    {TAMBRIX_E_DAMAGED, "damaged archive"},
    {TAMBRIX_E_TRUNCATED, "entry data runs past the end of the archive"},
    {TAMBRIX_E_UNSUPPORTED, "unsupported method"},
    {TAMBRIX_E_CRC, "CRC mismatch"},
    {TAMBRIX_E_CANCELLED, "cancelled"},
    {TAMBRIX_E_TOO_LARGE, "entry too large (4 GiB or more)"},
};

} // namespace

extern "C" const char *tambrix_strerror(int code)
{
    for (const CodeText &t : kTexts)
        if (t.code == code)
            return t.text;
    return "unknown error";
}

extern "C" int tambrix_version(void)
{
    return TAMBRIX_VERSION_MAJOR * 10000 + TAMBRIX_VERSION_MINOR * 100 + TAMBRIX_VERSION_PATCH;
}

int lib_pack_method(const char *method)
{
    if (!method)
        return 5;
    static constexpr struct {
        const char *id;
        int number;
    } kPackable[] = {{"-lh0-", 0}, {"-lh5-", 5}, {"-lh6-", 6}, {"-lh7-", 7}};
    for (const auto &m : kPackable)
        if (strcmp(method, m.id) == 0)
            return m.number;
    return -1;
}
