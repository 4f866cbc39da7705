// Writes an LZH archive of N small stored entries (levels 0, 1 and 2 in
// turn, as real archives mix them) and a tar file holding the same names
// and contents, for timing the listing against `tar tvf`.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lzh_builder.h"

namespace {

// A ustar header block for a regular file.
void tar_header(testkit::Bytes &out, const std::string &name, size_t size, unsigned mtime)
{
    char h[512] = {0};
    snprintf(h, 100, "%s", name.c_str());
    snprintf(h + 100, 8, "%07o", 0644);
    snprintf(h + 108, 8, "%07o", 0);
    snprintf(h + 116, 8, "%07o", 0);
    snprintf(h + 124, 12, "%011zo", size);
    snprintf(h + 136, 12, "%011o", mtime);
    h[156] = '0';
    memcpy(h + 257, "ustar", 6);
    memcpy(h + 263, "00", 2);
    memset(h + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h)
        sum += c;
    snprintf(h + 148, 8, "%06o", sum);
    out.insert(out.end(), h, h + 512);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: make_many ARCHIVE.lzh ARCHIVE.tar COUNT\n");
        return 2;
    }
    long count = atol(argv[3]);
    testkit::Bytes lzh, tar;
    for (long i = 0; i < count; i++) {
        std::string name = "f" + std::to_string(i) + ".txt";
        std::string data = "entry " + std::to_string(i) + "\n";
        testkit::LzhEntry e = testkit::stored(name, data, 1796042096);
        int level = (int)(i % 3);
        if (level < 2)
            e.time = testkit::dos_stamp(2026, 11, 30, 12, 34, 56);
        if (level > 0)
            e.dir = "dir" + std::to_string(i % 10) + "/";
        testkit::append(lzh, testkit::build_entry(level, e));
        tar_header(tar, e.dir + name, data.size(), 1796042096);
        tar.insert(tar.end(), data.begin(), data.end());
        tar.resize((tar.size() + 511) / 512 * 512, 0);
    }
    testkit::append(lzh, testkit::end_marker());
    tar.resize(tar.size() + 1024, 0);
    testkit::write_file(argv[1], lzh);
    testkit::write_file(argv[2], tar);
    return 0;
}
