#include "archive_entries.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>

#include "tmb_header.h"

namespace testkit {

std::vector<ArchiveEntry> read_entries(const std::string &path, bool *ended_with_marker)
{
    std::vector<ArchiveEntry> out;
    Bytes all = read_file(path);
    FILE *fp = fopen(path.c_str(), "rb");
    if (ended_with_marker)
        *ended_with_marker = false;
    if (!fp)
        return out;
    for (;;) {
        long pos = ftell(fp);
        if (pos >= 0 && (size_t)pos < all.size() && all[pos] == 0 && ended_with_marker)
            *ended_with_marker = true;
        EntryHeader h;
        if (!tmb_read_header(fp, &h))
            break;
        ArchiveEntry e;
        e.name = h.name;
        e.method = h.method;
        e.orig_size = h.orig_size;
        e.comp_size = h.comp_size;
        e.crc = h.crc;
        e.mtime = h.mtime;
        e.level = h.level;
        long data = ftell(fp);
        size_t end = (size_t)data + (size_t)h.comp_size;
        if (end > all.size())
            break;
        e.raw.assign(all.begin() + h.header_pos, all.begin() + end);
        out.push_back(e);
        fseek(fp, (long)end, SEEK_SET);
    }
    fclose(fp);
    return out;
}

std::vector<std::string> entry_names(const std::string &path)
{
    std::vector<std::string> names;
    for (const ArchiveEntry &e : read_entries(path))
        names.push_back(e.name);
    return names;
}

std::vector<std::string> list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testkit
