// The self-extracting builder: its hunk walk, size patches, placeholder
// patch and output layout on small hand-built hunk images; the embedded
// extractor image; and `a -sfx` end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "lzh_builder.h"
#include "testkit.h"
#include "tmb_sfx.h"
#include "tmb_sfx_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t HEADER = 0x3F3, CODE = 0x3E9, DATA = 0x3EA, BSS = 0x3EB, RELOC32 = 0x3EC,
                   END = 0x3F2, SYMBOL = 0x3F0;

uint32_t be32_at(const Bytes &b, size_t at)
{
    return (uint32_t)b.at(at) << 24 | (uint32_t)b.at(at + 1) << 16 | (uint32_t)b.at(at + 2) << 8 |
           b.at(at + 3);
}

// Assembles a hunk file from big-endian longwords.
struct Image {
    Bytes b;
    Image &w(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            b.push_back((uint8_t)(v >> s));
        return *this;
    }
    Image &header(std::vector<uint32_t> sizes)
    {
        w(HEADER).w(0).w((uint32_t)sizes.size()).w(0).w((uint32_t)sizes.size() - 1);
        for (uint32_t s : sizes)
            w(s);
        return *this;
    }
    // Contents are a counting pattern that never forms the placeholder.
    Image &hunk(uint32_t type, uint32_t size_word, int placeholder_at = -1)
    {
        w(type).w(size_word);
        for (uint32_t i = 0; i < (size_word & 0x3FFFFFFF); i++)
            w((int)i == placeholder_at ? 0xDEADBEEF : 0x01000000 + i);
        return *this;
    }
    // One group of `count` offsets against `target`.
    Image &relocs(uint32_t count, uint32_t target)
    {
        w(RELOC32);
        if (count) {
            w(count).w(target);
            for (uint32_t i = 0; i < count; i++)
                w(4 * i);
        }
        return w(0);
    }
    Image &end() { return w(END); }
};

// The extractor's layout: code 2560 longwords with 410 relocations, data
// 11 longwords with the placeholder fourth and 6 relocations, BSS 23089.
Bytes documented_image()
{
    Image im;
    im.header({2560, 11, 23089})
        .hunk(CODE, 2560).relocs(410, 0).end()
        .hunk(DATA, 11, 3).relocs(6, 2).end()
        .w(BSS).w(23089).end();
    return im.b;
}

struct Built {
    int ok;
    SfxPlan plan;
    Bytes image;   // the patched copy
    Bytes file;    // what sfx_write_image wrote
};

Built build(Bytes image, const Bytes &archive)
{
    Built r;
    r.ok = sfx_patch_image(image.data(), image.size(), archive.size(), &r.plan);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    EXPECT_NE(out, nullptr);
    if (r.ok) {
        EXPECT_EQ(sfx_write_image(out, image.data(), image.size(), &r.plan, archive.data(), archive.size()), 1);
    }
    fclose(out);
    r.file.assign(buf, buf + len);
    free(buf);
    r.image = image;
    return r;
}

Bytes archive_of(size_t n)
{
    Bytes a(n);
    for (size_t i = 0; i < n; i++)
        a[i] = (uint8_t)(0x41 + i % 26);
    return a;
}

TEST(SfxImage, DocumentedLayoutWithArchiveOf101Bytes)
{
    Bytes stub = documented_image();
    ASSERT_EQ(stub.size(), 12048u);
    Bytes archive = archive_of(101);
    Built r = build(stub, archive);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.plan.found, 1);
    EXPECT_EQ(r.plan.data_pos, 11940u);
    EXPECT_EQ(r.plan.data_longs, 11u);
    EXPECT_EQ(r.plan.insert_at, 11992u);
    EXPECT_EQ(r.plan.fill, 3u);

    // Size words in the header and in the hunk: 11 + 26 longwords.
    EXPECT_EQ(be32_at(r.file, 24), 37u);
    EXPECT_EQ(be32_at(r.file, 11944), 37u);
    // The placeholder holds the archive's offset, 11992 = 0x2ED8.
    EXPECT_EQ(Bytes(r.file.begin() + 11960, r.file.begin() + 11964), (Bytes{0x00, 0x00, 0x2E, 0xD8}));

    // Everything else of the first 11992 bytes is the stub unchanged.
    Bytes expect(stub.begin(), stub.begin() + 11992);
    expect[27] = 37;
    expect[11947] = 37;
    expect[11962] = 0x2E;
    expect[11963] = 0xD8;
    expect[11960] = expect[11961] = 0;
    ASSERT_EQ(r.file.size(), 11992u + 101 + 3 + 56);
    EXPECT_EQ(Bytes(r.file.begin(), r.file.begin() + 11992), expect);
    EXPECT_EQ(Bytes(r.file.begin() + 11992, r.file.begin() + 11992 + 101), archive);
    EXPECT_EQ(Bytes(r.file.begin() + 12093, r.file.begin() + 12096), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(r.file.begin() + 12096, r.file.end()), Bytes(stub.end() - 56, stub.end()));

    // The result is itself a walkable image whose data hunk now ends where
    // its relocations begin.
    SfxPlan again;
    ASSERT_EQ(sfx_find_data_hunk(r.file.data(), r.file.size(), &again), 1);
    EXPECT_EQ(again.insert_at, 11992u + 104);
    EXPECT_EQ(be32_at(r.file, again.insert_at), RELOC32);
}

TEST(SfxImage, FillBytesRoundTheArchiveToLongwords)
{
    struct Case {
        size_t n, fill;
        uint32_t longs;
    } cases[] = {{2, 2, 12}, {100, 0, 36}, {101, 3, 37}, {102, 2, 37}, {103, 1, 37}, {104, 0, 37}};
    for (const Case &c : cases) {
        Built r = build(documented_image(), archive_of(c.n));
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.plan.fill, c.fill) << c.n;
        EXPECT_EQ(be32_at(r.file, 24), c.longs) << c.n;
        EXPECT_EQ(be32_at(r.file, 11944), c.longs) << c.n;
        EXPECT_EQ(r.file.size(), 12048 + c.n + c.fill) << c.n;
    }
}

// Where the walk ends on images that other tools might produce.
TEST(SfxImage, WalkFindsTheFirstDataHunkOrGivesUp)
{
    struct Case {
        const char *what;
        Bytes image;
        int found;
        size_t data_pos;
        int hunk_index;
    };
    Image two_code;
    two_code.header({2, 1, 3, 1}).hunk(CODE, 2).relocs(1, 0).end().hunk(CODE, 1).end()
        .hunk(DATA, 3).end().hunk(DATA, 1).end();
    Image data_first;
    data_first.header({4}).hunk(DATA, 4, 1).end();
    Image empty_relocs;
    empty_relocs.header({1, 4}).hunk(CODE, 1).relocs(0, 0).end().hunk(DATA, 4).end();
    Image symbols;
    symbols.header({1, 4}).hunk(CODE, 1).w(SYMBOL).w(0).end().hunk(DATA, 4).end();
    Image no_data;
    no_data.header({2, 5}).hunk(CODE, 2).end().w(BSS).w(5).end();
    Image data_past_end;
    data_past_end.header({1, 8}).hunk(CODE, 1).end().w(DATA).w(8).w(1).w(2);
    Image code_past_end;
    code_past_end.header({100, 1}).w(CODE).w(100).w(0).end().hunk(DATA, 1).end();
    Image huge_count;
    huge_count.header({1, 1}).hunk(CODE, 1).w(RELOC32).w(0x40000000).w(0).w(0).end().hunk(DATA, 1).end();
    Image no_size_word;  // header lists one hunk; the data hunk is the second
    no_size_word.header({1}).hunk(CODE, 1).end().hunk(DATA, 1).end();
    Image huge_table;
    huge_table.w(HEADER).w(0).w(0xFFFFFFFF).w(0).w(0).hunk(DATA, 1);

    Bytes cut = documented_image();
    cut.resize(10280 + 800);  // inside the code hunk's relocations

    std::vector<Case> cases = {
        {"documented layout", documented_image(), 1, 11940, 1},
        {"two code hunks, two data hunks", two_code.b, 1, 36 + 16 + 20 + 4 + 12 + 4, 2},
        {"data hunk first", data_first.b, 1, 24, 0},
        {"relocation block without groups", empty_relocs.b, 1, 28 + 12 + 8 + 4, 1},
        {"symbol block before the data", symbols.b, 0, 0, 0},
        {"no data hunk", no_data.b, 0, 0, 0},
        {"data contents past the end", data_past_end.b, 0, 0, 0},
        {"code size past the end", code_past_end.b, 0, 0, 0},
        {"relocation count past the end", huge_count.b, 0, 0, 0},
        {"no size word for the data hunk", no_size_word.b, 0, 0, 0},
        {"size table past the end", huge_table.b, 0, 0, 0},
        {"cut inside relocations", cut, 0, 0, 0},
        {"shorter than a header", Bytes{0, 0, 3, 0xF3, 0, 0}, 0, 0, 0},
        {"empty", Bytes{}, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SfxPlan plan;
        int found = sfx_find_data_hunk(c.image.data(), c.image.size(), &plan);
        EXPECT_EQ(found, c.found) << c.what;
        EXPECT_EQ(plan.found, c.found) << c.what;
        if (found && c.found) {
            EXPECT_EQ(plan.data_pos, c.data_pos) << c.what;
            EXPECT_EQ(plan.hunk_index, c.hunk_index) << c.what;
            EXPECT_EQ(be32_at(c.image, plan.data_pos), DATA) << c.what;
        }
    }
}

TEST(SfxImage, SizePatchGoesToTheDataHunksOwnTableEntry)
{
    // Data as hunk 2 behind two code hunks: table entry 2 (bytes 28..31).
    Image im;
    im.header({2, 1, 3}).hunk(CODE, 2).end().hunk(CODE, 1).end().hunk(DATA, 3, 1).end();
    Built r = build(im.b, archive_of(8));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(be32_at(r.file, 20), 2u);
    EXPECT_EQ(be32_at(r.file, 24), 1u);
    EXPECT_EQ(be32_at(r.file, 28), 5u);
    EXPECT_EQ(be32_at(r.file, r.plan.data_pos + 4), 5u);
    EXPECT_EQ(be32_at(r.file, r.plan.data_pos + 12), r.plan.insert_at);
}

TEST(SfxImage, MemoryFlagsAreMaskedAndCleared)
{
    // Code in chip memory (bit 30), data in fast memory (bit 31).
    Image im;
    im.header({0x40000001, 0x80000004, 2})
        .hunk(CODE, 0x40000001).end()
        .hunk(DATA, 0x80000004, 3).end()
        .w(BSS).w(2).end();
    Built r = build(im.b, archive_of(5));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.plan.data_pos, 48u);
    EXPECT_EQ(r.plan.data_longs, 4u);
    EXPECT_EQ(be32_at(r.file, 24), 6u);
    EXPECT_EQ(be32_at(r.file, 52), 6u);
    EXPECT_EQ(be32_at(r.file, 20), 0x40000001u);  // other hunks keep theirs
}

TEST(SfxImage, OnlyTheFirstPlaceholderIsPatched)
{
    Image im;
    im.header({1, 6}).hunk(CODE, 1).end().hunk(DATA, 6, 2).end();
    im.b[im.b.size() - 8] = 0xDE;  // a second one in the data's last longword
    im.b[im.b.size() - 7] = 0xAD;
    im.b[im.b.size() - 6] = 0xBE;
    im.b[im.b.size() - 5] = 0xEF;
    Built r = build(im.b, archive_of(4));
    ASSERT_EQ(r.ok, 1);
    size_t first = r.plan.data_pos + 8 + 8;
    EXPECT_EQ(be32_at(r.file, first), r.plan.insert_at);
    EXPECT_EQ(be32_at(r.file, r.plan.insert_at - 4), 0xDEADBEEFu);
}

TEST(SfxImage, WithoutPlaceholderOnlySizesChange)
{
    Image im;
    im.header({1, 2}).hunk(CODE, 1).end().hunk(DATA, 2).end();
    Built r = build(im.b, archive_of(7));
    ASSERT_EQ(r.ok, 1);
    Bytes expect = im.b;
    expect[27] = 4;
    expect[r.plan.data_pos + 7] = 4;
    EXPECT_EQ(r.image, expect);
    EXPECT_EQ(r.file.size(), im.b.size() + 8);
}

TEST(SfxImage, WithoutDataHunkTheArchiveIsAppended)
{
    // Placeholder in the code; no data hunk at all.
    Image im;
    im.header({3, 1}).hunk(CODE, 3, 1).end().w(BSS).w(1).end();
    Bytes archive = archive_of(6);
    Built r = build(im.b, archive);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.plan.found, 0);
    EXPECT_EQ(r.plan.fill, 0u);
    ASSERT_EQ(r.file.size(), im.b.size() + 6);  // no fill bytes
    EXPECT_EQ(be32_at(r.file, 40), im.b.size());
    Bytes expect = im.b;
    for (int i = 0; i < 4; i++)
        expect[40 + i] = (uint8_t)(im.b.size() >> (24 - 8 * i));
    EXPECT_EQ(Bytes(r.file.begin(), r.file.begin() + (long)im.b.size()), expect);
    EXPECT_EQ(Bytes(r.file.begin() + (long)im.b.size(), r.file.end()), archive);

    // Too short for a placeholder: copied as it is.
    Built tiny = build(Bytes{0xDE, 0xAD, 0xBE}, archive);
    ASSERT_EQ(tiny.ok, 1);
    EXPECT_EQ(tiny.file, (Bytes{0xDE, 0xAD, 0xBE, 'A', 'B', 'C', 'D', 'E', 'F'}));
}

TEST(SfxImage, ArchiveBeyondTheHunkSizeLimitIsRefused)
{
    // The offset the extractor reads has 32 bits.
    Bytes stub = documented_image();
    SfxPlan plan;
    EXPECT_EQ(sfx_patch_image(stub.data(), stub.size(), (size_t)0xFFFFFFF0u, &plan), 0);
    EXPECT_EQ(stub, documented_image());  // nothing patched
    EXPECT_EQ(sfx_patch_image(stub.data(), stub.size(), (size_t)0x3FFF0000u, &plan), 1);
    EXPECT_EQ(plan.in_debug, 1);
    EXPECT_EQ(be32_at(stub, 24), 11u);
}

// Above SFX_DATA_HUNK_MAX the archive goes into a debug block before the
// data hunk's end block, which the loader skips: the hunk sizes stay, the
// placeholder names the block's contents. Up to it, the data hunk holds it.
TEST(SfxImage, LargeArchiveGoesIntoADebugBlock)
{
    Bytes stub = documented_image();
    Built fits = build(stub, archive_of(SFX_DATA_HUNK_MAX));
    ASSERT_EQ(fits.ok, 1);
    EXPECT_EQ(fits.plan.in_debug, 0);
    EXPECT_EQ(be32_at(fits.file, 24), 11u + SFX_DATA_HUNK_MAX / 4);

    Bytes archive = archive_of(SFX_DATA_HUNK_MAX + 1);
    Built r = build(stub, archive);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.plan.in_debug, 1);
    EXPECT_EQ(r.plan.debug_at, 12032u);  // after the data's 6 relocations
    EXPECT_EQ(r.plan.insert_at, 12040u);
    EXPECT_EQ(r.plan.fill, 3u);
    EXPECT_EQ(be32_at(r.file, 24), 11u);
    EXPECT_EQ(be32_at(r.file, 11944), 11u);
    EXPECT_EQ(be32_at(r.file, 11960), 12040u);
    Bytes expect(stub.begin(), stub.begin() + 12032);
    expect[11960] = expect[11961] = 0;
    expect[11962] = 0x2F;
    expect[11963] = 0x08;
    ASSERT_EQ(r.file.size(), stub.size() + 8 + archive.size() + 3);
    EXPECT_EQ(Bytes(r.file.begin(), r.file.begin() + 12032), expect);
    EXPECT_EQ(be32_at(r.file, 12032), 0x3F1u);
    EXPECT_EQ(be32_at(r.file, 12036), (archive.size() + 3) / 4);
    EXPECT_TRUE(Bytes(r.file.begin() + 12040, r.file.begin() + 12040 + (long)archive.size()) == archive);
    EXPECT_EQ(Bytes(r.file.end() - 16 - 3, r.file.end() - 16), (Bytes{0, 0, 0}));
    EXPECT_EQ(Bytes(r.file.end() - 16, r.file.end()), Bytes(stub.end() - 16, stub.end()));

    // Without an end block after the data hunk's relocations the archive
    // stays in the data hunk.
    Bytes no_end = stub;
    no_end.resize(12032);
    Built kept = build(no_end, archive);
    ASSERT_EQ(kept.ok, 1);
    EXPECT_EQ(kept.plan.in_debug, 0);
    EXPECT_EQ(kept.plan.insert_at, 11992u);
}

} // namespace

namespace {

// The image compiled into the program meets what the builder and the
// extractor agree on: three hunks (code, data, BSS) in the documented
// layout, the placeholder as the data's fourth longword and nowhere before.
TEST(SfxImage, EmbeddedExtractorLayout)
{
    Bytes img(tmb_stub, tmb_stub + tmb_stub_len);
    ASSERT_EQ(img.size(), 12048u);
    EXPECT_EQ(be32_at(img, 0), HEADER);
    EXPECT_EQ(be32_at(img, 8), 3u);
    EXPECT_EQ(be32_at(img, 20), 2560u);
    EXPECT_EQ(be32_at(img, 24), 11u);
    EXPECT_EQ(be32_at(img, 28), 23089u);

    // Walk every block: CODE, RELOC32, END, DATA, RELOC32, END, BSS, END.
    std::vector<uint32_t> blocks;
    size_t pos = 32;
    while (pos + 4 <= img.size()) {
        uint32_t type = be32_at(img, pos);
        blocks.push_back(type);
        if (type == CODE || type == DATA) {
            pos += 8 + 4 * (size_t)be32_at(img, pos + 4);
        } else if (type == BSS) {
            pos += 8;
        } else if (type == RELOC32) {
            pos += 4;
            while (uint32_t count = be32_at(img, pos)) {
                uint32_t target = be32_at(img, pos + 4);
                EXPECT_LE(target, 2u);
                for (uint32_t i = 0; i < count; i++) {
                    uint32_t off = be32_at(img, pos + 8 + 4 * i);
                    EXPECT_EQ(off % 2, 0u);
                    // relocated longwords lie inside their hunk
                    EXPECT_LE(off + 4, blocks.size() < 3 ? 10240u : 44u);
                }
                pos += 8 + 4 * (size_t)count;
            }
            pos += 4;
        } else {
            pos += 4;
        }
    }
    EXPECT_EQ(pos, img.size());
    EXPECT_EQ(blocks, (std::vector<uint32_t>{CODE, RELOC32, END, DATA, RELOC32, END, BSS, END}));

    SfxPlan plan;
    ASSERT_EQ(sfx_find_data_hunk(img.data(), img.size(), &plan), 1);
    EXPECT_EQ(plan.data_pos, 11940u);
    EXPECT_EQ(plan.data_longs, 11u);
    EXPECT_EQ(plan.insert_at, 11992u);
    const uint8_t marker[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    auto hit = std::search(img.begin(), img.end(), marker, marker + 4);
    EXPECT_EQ(hit - img.begin(), 11960);
}

} // namespace

// ---- a -sfx end to end ----

namespace {

struct Entry {
    std::string method, name;
    size_t packed;
};

// The level-2 entries of an archive (names from the file-name extended
// header), up to the end marker.
std::vector<Entry> entries_of(const Bytes &a)
{
    std::vector<Entry> out;
    size_t pos = 0;
    while (pos + 2 <= a.size() && a[pos] != 0) {
        size_t hsize = a[pos] | a[pos + 1] << 8;
        size_t packed = a[pos + 7] | a[pos + 8] << 8 | a[pos + 9] << 16 | (size_t)a[pos + 10] << 24;
        size_t nlen = (a[pos + 24] | a[pos + 25] << 8) - 3;
        out.push_back({std::string(a.begin() + pos + 2, a.begin() + pos + 7),
                       std::string(a.begin() + pos + 27, a.begin() + pos + 27 + nlen), packed});
        pos += hsize + packed;
    }
    return out;
}

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    if (d)
        closedir(d);
    return names;
}

testkit::RunResult run_in(const testkit::TempDir &dir, const std::vector<std::string> &args, long fsize = -1)
{
    testkit::RunOptions o;
    o.cwd = dir.path();
    o.file_size_limit = fsize;
    return testkit::run_tambrix(args, o);
}

// Splits a built .run file into the patched stub part and the archive.
struct RunFile {
    Bytes head, archive, fill, tail;
};

RunFile split_run(const Bytes &run)
{
    RunFile r;
    uint32_t longs = be32_at(run, 24) - 11;
    r.head.assign(run.begin(), run.begin() + 11992);
    size_t padded = 4 * (size_t)longs;
    r.tail.assign(run.begin() + 11992 + (long)padded, run.end());
    Bytes body(run.begin() + 11992, run.begin() + 11992 + (long)padded);
    // the archive ends with its two zero bytes; up to 3 fill bytes follow
    size_t n = 0;
    for (const Entry &e : entries_of(body))
        n += (body[n] | body[n + 1] << 8) + e.packed;
    n += 2;
    r.archive.assign(body.begin(), body.begin() + (long)n);
    r.fill.assign(body.begin() + (long)n, body.end());
    return r;
}

TEST(SfxBuild, RunFileIsTheExtractorWithTheArchiveInItsDataHunk)
{
    testkit::TempDir dir;
    testkit::write_text(dir / "readme.txt", "Insert disk 2 and press the left mouse button.\n");
    auto r = run_in(dir, {"a", "-sfx", "game.tmb", "readme.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nSelf-extracting archive: game.run\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Time: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Done. Added"), std::string::npos) << r.out;
    // No temporary archive left, no plain archive written.
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"game.run", "readme.txt"}));

    Bytes run = testkit::read_file(dir / "game.run");
    RunFile f = split_run(run);
    size_t n = f.archive.size();
    size_t headers = 0;
    EXPECT_EQ(testkit::header_crc_faults(f.archive, &headers), "");
    EXPECT_EQ(headers, 1u);
    uint32_t longs = 11 + (uint32_t)((n + 3) / 4);
    EXPECT_EQ(f.fill, Bytes((4 - n % 4) % 4, 0));
    EXPECT_EQ(run.size(), 12048 + n + f.fill.size());

    Bytes expect_head(tmb_stub, tmb_stub + 11992);
    for (size_t at : {24, 11944})
        for (int i = 0; i < 4; i++)
            expect_head[at + i] = (uint8_t)(longs >> (24 - 8 * i));
    const uint8_t offset[4] = {0x00, 0x00, 0x2E, 0xD8};
    std::copy(offset, offset + 4, expect_head.begin() + 11960);
    EXPECT_TRUE(f.head == expect_head);
    EXPECT_TRUE(f.tail == Bytes(tmb_stub + 11992, tmb_stub + tmb_stub_len));

    auto entries = entries_of(f.archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "readme.txt");
    EXPECT_EQ(f.archive[f.archive.size() - 2], 0);

    // The archive inside is one that this program reads back.
    testkit::write_file(dir / "inner.tmb", f.archive);
    auto t = run_in(dir, {"t", "inner.tmb"});
    EXPECT_EQ(t.status, 0) << t.out << t.err;
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    auto x = run_in(dir, {"x", "-d", "out", "inner.tmb"});
    EXPECT_EQ(x.status, 0) << x.out << x.err;
    EXPECT_EQ(testkit::read_text(dir / "out/readme.txt"), "Insert disk 2 and press the left mouse button.\n");
}

TEST(SfxBuild, DirectoryArgumentIsRootedWhateverDotSlashPairsLeadIt)
{
    testkit::TempDir dir;
    ASSERT_EQ(mkdir((dir / "docs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "docs/img").c_str(), 0755), 0);
    testkit::write_text(dir / "docs/readme.txt", "read me\n");
    testkit::write_text(dir / "docs/img/logo.iff", "FORM....ILBM");
    auto r = run_in(dir, {"a", "-sfx", "-r", "-lh0", "pack", "././docs"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> names;
    for (const Entry &e : entries_of(split_run(testkit::read_file(dir / "pack.run")).archive))
        names.insert(e.name);
    EXPECT_EQ(names, (std::set<std::string>{"readme.txt", "img/logo.iff"}));
}

TEST(SfxBuild, SplitSizeHasNoEffectAndFailedPathsCount)
{
    testkit::TempDir dir;
    testkit::write_text(dir / "f1.txt", "one\n");
    auto r = run_in(dir, {"a", "-sfx", "-s1", "big.lzh", "f1.txt", "missing.txt"});
    EXPECT_EQ(r.status, 1);
    // Built from what worked, never split.
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"big.run", "f1.txt"}));
    auto entries = entries_of(split_run(testkit::read_file(dir / "big.run")).archive);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "f1.txt");
}

TEST(SfxBuild, FailuresLeaveNoBrokenRunFile)
{
    testkit::TempDir dir;
    testkit::write_text(dir / "f.txt", "data\n");

    // The temporary name does not fit: reported, and no .run appears.
    std::string longname(250, 'n');
    auto r = run_in(dir, {"a", "-sfx", longname, "f.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot create temp: . (File name too long)\n"), std::string::npos) << r.err;

    // The disk fills while the .run is written: reported, and an earlier
    // .run of that name stays as it was.
    ASSERT_EQ(run_in(dir, {"aq", "-sfx", "full", "f.txt"}).status, 0);
    const Bytes before = testkit::read_file(dir / "full.run");
    testkit::write_text(dir / "g.txt", "more data\n");
    r = run_in(dir, {"a", "-sfx", "full", "f.txt", "g.txt"}, 6000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("full.run left unchanged"), std::string::npos) << r.err;
    EXPECT_EQ(testkit::read_file(dir / "full.run"), before);
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"full.run", "f.txt", "g.txt"}));
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer's shadow memory needs more address space
TEST(SfxBuild, NoMemoryForTheArchiveDataLeavesNoTemporaryFile)
{
    // 24 stored files of 1 MB are added one at a time, but the archive data
    // (24 MB) must then be held whole; the address space is capped between.
    testkit::TempDir dir;
    std::vector<std::string> args = {"a", "-q", "-lh0", "-sfx", "big"};
    for (int i = 0; i < 24; i++) {
        char name[16];
        snprintf(name, sizeof name, "f%d.bin", i);
        testkit::write_file(dir / name, Bytes(1 << 20, (uint8_t)i));
        args.push_back(name);
    }
    std::string script = "ulimit -v 20000; exec ";
    script += TAMBRIX_BIN;
    for (const std::string &a : args)
        script += " " + a;
    testkit::RunOptions o;
    o.cwd = dir.path();
    auto r = testkit::run_program({"/bin/sh", "-c", script}, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Out of memory\n");
    std::set<std::string> names = listing(dir.path());
    EXPECT_EQ(names.size(), 24u);  // the inputs alone: no .run, no temporary
    EXPECT_EQ(names.count("big.run"), 0u);
}
#endif

} // namespace
