// Writes the seed corpus of the fuzz targets: small valid archives and
// packed streams made by this program's own packer and header writer (and,
// for the older header levels it never writes, by the test byte builder).
//
//   make_seeds DIR    fills DIR/header, DIR/list, DIR/extract, DIR/roundtrip
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lzh_builder.h"
#include "tmb_header.h"
#include "tmb_compress.h"

using Bytes = std::vector<uint8_t>;

namespace {

std::string s_dir;

void save(const std::string &sub, const std::string &name, const Bytes &b)
{
    std::string d = s_dir + "/" + sub;
    mkdir(d.c_str(), 0755);
    std::string p = d + "/" + name;
    FILE *fp = fopen(p.c_str(), "wb");
    if (!fp || (b.size() && fwrite(b.data(), 1, b.size(), fp) != b.size()) || fclose(fp) != 0) {
        perror(p.c_str());
        exit(1);
    }
}

// Deterministic sample data: words, a binary ramp, runs, and noise.
Bytes text(size_t n, unsigned seed)
{
    static const char *const words[] = {"archive ", "header ", "window ", "Amiga ", "the ",
                                        "SYS:Games/", "match ", "\n", "block ", "of "};
    Bytes b;
    unsigned x = seed;
    while (b.size() < n) {
        x = x * 1103515245 + 12345;
        const char *w = words[(x >> 16) % 10];
        b.insert(b.end(), w, w + strlen(w));
    }
    b.resize(n);
    return b;
}

Bytes noise(size_t n, unsigned seed)
{
    Bytes b(n);
    unsigned x = seed;
    for (auto &c : b) {
        x = x * 1664525 + 1013904223;
        c = (uint8_t)(x >> 24);
    }
    return b;
}

Bytes ramp(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)(i * 7 + i / 256);
    return b;
}

// Packs `data` with `method`; h gets method (0 when stored), sizes and CRC.
Bytes pack(const Bytes &data, int method, EntryHeader *h)
{
    FILE *in = fuzz::mem_file("in");
    FILE *out = fuzz::mem_file("out");
    fuzz::reset(in, data.data(), data.size());
    h->method = method;
    EncoderCtx *ctx = tmb_encoder_new();
    if (!ctx || !tmb_compress(ctx, in, out, h, method, false, {})) {
        fprintf(stderr, "make_seeds: packing failed\n");
        exit(1);
    }
    tmb_encoder_free(ctx);
    Bytes all = fuzz::contents(out);
    all.resize(h->comp_size);
    fclose(in);
    fclose(out);
    return all;
}

// One entry as the program writes it: level-2 header, then the data.
Bytes entry(const std::string &name, const Bytes &data, int method, uint32_t mtime)
{
    EntryHeader h = {};
    snprintf(h.name, sizeof h.name, "%s", name.c_str());
    h.mtime = mtime;
    Bytes packed = method < 0 ? Bytes() : pack(data, method, &h);
    if (method < 0) { // a directory entry
        h.method = 0;
    }
    FILE *fp = fuzz::mem_file("entry");
    if (!tmb_write_header_lv2(fp, &h))
        exit(1);
    Bytes b = fuzz::contents(fp);
    fclose(fp);
    b.insert(b.end(), packed.begin(), packed.end());
    return b;
}

Bytes archive(const std::vector<Bytes> &entries)
{
    Bytes b;
    for (const Bytes &e : entries)
        b.insert(b.end(), e.begin(), e.end());
    b.push_back(0);
    b.push_back(0);
    return b;
}

void archives()
{
    using testkit::LzhEntry;
    const uint32_t t = 1700000000;
    std::vector<std::pair<std::string, Bytes>> all = {
        {"lv2-stored", archive({entry("readme.txt", text(40, 1), 0, t)})},
        {"lv2-lh5", archive({entry("docs/manual.txt", text(3000, 2), 5, t)})},
        {"lv2-lh6", archive({entry("src/a.c", text(2500, 3), 6, t), entry("src/", {}, -1, t)})},
        {"lv2-lh7", archive({entry("bin/ramp", ramp(2000), 7, t)})},
        {"lv2-mixed", archive({entry("a", text(10, 4), 5, t), entry("noise.bin", noise(300, 5), 6, t),
                               entry("empty", {}, 0, 0), entry("dir/sub/", {}, -1, t),
                               entry("dir/sub/x.txt", text(700, 6), 7, t)})},
    };
    // Older levels, as other archivers write them.
    LzhEntry a = testkit::stored("old.txt", "level zero entry\n", testkit::dos_stamp(1994, 5, 17, 10, 30, 0));
    EntryHeader h = {};
    Bytes txt = text(1200, 7);
    LzhEntry b;
    b.name = "file.txt";
    b.dir = "deep/er";
    b.method = "-lh5-";
    b.packed = pack(txt, 5, &h);
    b.orig_size = (uint32_t)txt.size();
    b.crc = h.crc;
    b.time = testkit::dos_stamp(2001, 2, 3, 4, 5, 6);
    all.push_back({"lv0-lv1", testkit::make_archive({testkit::build_lv0(a), testkit::build_lv1(b)})});
    LzhEntry c = b;
    c.time = t;
    all.push_back({"lv2-dir-ext", testkit::make_archive({testkit::build_lv2(c)})});
    for (auto &[name, bytes] : all) {
        save("header", name, bytes);
        save("list", name, bytes);
    }
}

// Extract seeds: selector byte, 3-byte original size, packed data. The
// selector's low bits pick from {0, 1, 4, 5, 6, 7, 9, -1}.
void extract_seeds()
{
    struct Case {
        const char *name;
        int sel;
        Bytes data;
        int method;
    } cases[] = {
        {"stored", 0, text(100, 8), 0},   {"lh4", 2, text(900, 9), 5},
        {"lh5", 3, text(3000, 10), 5},    {"lh6", 4 | 8, ramp(4000), 6},
        {"lh7", 5 | 16, text(5000, 11), 7}, {"lz4", 6, noise(64, 12), 0},
    };
    for (const Case &c : cases) {
        EntryHeader h = {};
        Bytes packed = c.method == 0 ? c.data : pack(c.data, c.method, &h);
        uint32_t n = (uint32_t)c.data.size();
        Bytes b = {(uint8_t)c.sel, (uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16)};
        b.insert(b.end(), packed.begin(), packed.end());
        save("extract", c.name, b);
    }
}

void roundtrip_seeds()
{
    auto with = [](int sel, const Bytes &d) {
        Bytes b = {(uint8_t)sel};
        b.insert(b.end(), d.begin(), d.end());
        return b;
    };
    save("roundtrip", "empty", with(0, {}));
    save("roundtrip", "text-lh5", with(0, text(2000, 13)));
    save("roundtrip", "ramp-lh6", with(1, ramp(3000)));
    save("roundtrip", "noise-lh7", with(2, noise(500, 14)));
    save("roundtrip", "runs-lh7", with(2, Bytes(4000, 'A')));
    save("roundtrip", "one-byte", with(1, {'x'}));
    save("roundtrip", "text-66k-lh7", with(2, text(66000, 15)));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    s_dir = argv[1];
    mkdir(s_dir.c_str(), 0755);
    archives();
    extract_seeds();
    roundtrip_seeds();
    return 0;
}
