// Entry header reader (levels 0, 1, 2, including damaged and hostile
// headers), the level-2 writer, the method table and time stamps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <unistd.h>

#include "lzh_builder.h"
#include "tmb_header.h"

using testkit::Bytes;
using testkit::LzhEntry;

namespace {

// A stream holding the bytes, positioned at the start.
struct Stream {
    FILE *fp;
    explicit Stream(const Bytes &b)
    {
        fp = tmpfile();
        if (!b.empty())
            fwrite(b.data(), 1, b.size(), fp);
        rewind(fp);
    }
    ~Stream() { fclose(fp); }
    long pos() const { return ftell(fp); }
};

struct ReadResult {
    int ok;
    EntryHeader h;
    long pos; // stream position after the read
};

ReadResult read_one(const Bytes &b)
{
    Stream s(b);
    ReadResult r;
    r.ok = tmb_read_header(s.fp, &r.h);
    r.pos = s.pos();
    return r;
}

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

// Header size of a built entry: everything before its packed bytes.
size_t header_size(const Bytes &entry, const LzhEntry &e) { return entry.size() - e.packed.size(); }

// ---- reading: well-formed headers of every level -------------------------

TEST(ReadHeader, EveryLevelDeliversItsFieldsAndStandsAtTheData)
{
    struct Case {
        int level;
        uint32_t time;
        int64_t mtime;
        uint8_t os_id;
    } cases[] = {
        {0, testkit::dos_stamp(2026, 11, 30, 12, 34, 56), 1796042096, 0},
        {1, testkit::dos_stamp(2026, 11, 30, 12, 34, 56), 1796042096, 'U'},
        {2, 1796042096, 1796042096, 'U'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level));
        LzhEntry e = testkit::stored("hello.txt", "hello, world", c.time);
        e.attribute = 0x21;
        Bytes entry = testkit::build_entry(c.level, e);
        Bytes arc = testkit::make_archive({entry});
        Stream s(arc);
        EntryHeader h;
        ASSERT_EQ(tmb_read_header(s.fp, &h), 1);
        EXPECT_EQ(h.level, c.level);
        EXPECT_EQ(h.method, 0);
        EXPECT_EQ(h.comp_size, 12u);
        EXPECT_EQ(h.orig_size, 12u);
        EXPECT_EQ(h.mtime, c.mtime);
        EXPECT_EQ(h.attribute, 0x21);
        EXPECT_STREQ(h.name, "hello.txt");
        EXPECT_EQ(h.crc, e.crc);
        EXPECT_EQ(h.os_id, c.os_id);
        EXPECT_EQ(h.is_dir, 0);
        EXPECT_EQ(h.header_pos, 0);
        EXPECT_EQ(h.data_pos, 0);
        EXPECT_EQ(s.pos(), (long)header_size(entry, e));
        ASSERT_EQ(fseek(s.fp, (long)h.comp_size, SEEK_CUR), 0);
        EXPECT_EQ(tmb_read_header(s.fp, &h), 0) << "end marker";
    }
}

TEST(ReadHeader, SecondEntryRecordsItsHeaderPosition)
{
    Bytes first = testkit::build_lv2(testkit::stored("a", "xyz"));
    Bytes arc = testkit::make_archive({first, testkit::build_lv0(testkit::stored("b", "q"))});
    Stream s(arc);
    EntryHeader h;
    ASSERT_EQ(tmb_read_header(s.fp, &h), 1);
    fseek(s.fp, (long)h.comp_size, SEEK_CUR);
    ASSERT_EQ(tmb_read_header(s.fp, &h), 1);
    EXPECT_EQ(h.header_pos, (int64_t)first.size());
    EXPECT_STREQ(h.name, "b");
}

TEST(ReadHeader, EndOfArchive)
{
    for (const Bytes &b : {Bytes{}, Bytes{0}, Bytes{0, 0}, Bytes{7}, Bytes{30, 0, '-', 'l'}}) {
        EXPECT_EQ(read_one(b).ok, 0) << "size " << b.size();
    }
}

TEST(ReadHeader, NamesAndDirectories)
{
    struct Case {
        const char *what;
        int level;
        std::string name, dir;
        std::vector<testkit::ExtHeader> extra;
        std::string expect;
    } cases[] = {
        {"lv0 keeps backslashes", 0, "dir\\a.txt", "", {}, "dir\\a.txt"},
        {"lv0 trailing slash", 0, "dir/", "", {}, "dir/"},
        {"lv1 dir with 0xFF", 1, "a.c", "src/", {}, "src/a.c"},
        {"lv1 dir gets its slash", 1, "a.c", "src", {}, "src/a.c"},
        {"lv1 later dir wins", 1, "a.c", "old", {{2, bytes_of("new\xff")}}, "new/a.c"},
        {"lv1 deeper dir", 1, "a.c", "x/y/", {}, "x/y/a.c"},
        {"lv2 name with slash", 2, "a/b.txt", "", {}, "a/b.txt"},
        {"lv2 name then dir", 2, "b.txt", "a/", {}, "a/b.txt"},
        {"lv2 dir then name", 2, "", "a/", {{1, bytes_of("b.txt")}}, "a/b.txt"},
        {"lv2 dir alone", 2, "", "dir/", {}, "dir/"},
        {"lv2 NUL cuts the name", 2, std::string("ab\0cd", 5), "", {}, "ab"},
        {"lv2 name of 256 ignored", 2, std::string(256, 'n'), "", {}, ""},
        {"lv2 unknown types skipped", 2, "f", "", {{0x54, Bytes(600, 1)}, {0x40, Bytes(3, 0)}}, "f"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LzhEntry e = testkit::stored(c.name, "data");
        e.dir = c.dir;
        e.extra = c.extra;
        Bytes entry = testkit::build_entry(c.level, e);
        ReadResult r = read_one(entry);
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(std::string(r.h.name), c.expect);
        EXPECT_EQ(r.h.is_dir, !c.expect.empty() && c.expect.back() == '/');
        EXPECT_EQ(r.h.comp_size, 4u);
        EXPECT_EQ(r.pos, (long)header_size(entry, e));
    }
}

TEST(ReadHeader, Level1DirectoryTooLongForNameKeepsBareName)
{
    LzhEntry e = testkit::stored(std::string(100, 'n'), "");
    e.dir = std::string(200, 'd');
    ReadResult r = read_one(testkit::build_lv1(e));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(std::string(r.h.name), std::string(100, 'n'));
}

TEST(ReadHeader, Level2NameIsCutAt255)
{
    LzhEntry e = testkit::stored(std::string(200, 'n'), "");
    e.dir = std::string(199, 'd') + "/";
    ReadResult r = read_one(testkit::build_lv2(e));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(std::string(r.h.name), std::string(199, 'd') + "/" + std::string(55, 'n'));
}

TEST(ReadHeader, Level1SkipSizeLosesTheExtendedHeaders)
{
    LzhEntry e = testkit::stored("a", std::string(1000, 'z'));
    e.dir = "src";                                  // 6 bytes
    e.extra = {{0x40, Bytes(21, 0)}};               // 24 bytes
    Bytes entry = testkit::build_lv1(e);
    ASSERT_EQ(entry[7] | entry[8] << 8, 1030);
    ReadResult r = read_one(entry);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.h.comp_size, 1000u);
    EXPECT_STREQ(r.h.name, "src/a");
    EXPECT_EQ(r.pos, (long)header_size(entry, e));
}

TEST(ReadHeader, Level2ReadsOnToItsDeclaredSize)
{
    LzhEntry e = testkit::stored("f.txt", "DATA");
    Bytes entry = testkit::build_lv2(e);
    size_t T = header_size(entry, e);
    entry[0] += 10;                                  // T larger than the chain needs
    entry.insert(entry.begin() + (long)T, 10, 0xEE); // padding before the data
    testkit::reseal(entry);                          // the header CRC covers it
    ReadResult r = read_one(entry);
    ASSERT_EQ(r.ok, 1);
    EXPECT_STREQ(r.h.name, "f.txt");
    EXPECT_EQ(r.pos, (long)T + 10);
}

TEST(ReadHeader, MethodIds)
{
    struct Case {
        const char *id;
        int number;
    } cases[] = {{"-lh0-", 0}, {"-lh5-", 5}, {"-lh7-", 7}, {"-lzs-", 8}, {"-lz4-", 9},
                 {"-lz5-", 10}, {"-lh9-", -1}, {"-LH5-", -1}};
    for (const Case &c : cases) {
        for (int level = 0; level <= 2; level++) {
            LzhEntry e = testkit::stored("x", "y");
            e.method = c.id;
            ReadResult r = read_one(testkit::build_entry(level, e));
            ASSERT_EQ(r.ok, 1) << c.id << " level " << level;
            EXPECT_EQ(r.h.method, c.number) << c.id << " level " << level;
        }
    }
    EXPECT_STREQ(tmb_method_name(8), "-lzs-");
    EXPECT_STREQ(tmb_method_name(0), "-lh0-");
    EXPECT_STREQ(tmb_method_name(-1), "-----");
    EXPECT_STREQ(tmb_method_name(11), "-----");
}

TEST(ReadHeader, UndashedIdIsALevel2Header)
{
    LzhEntry e = testkit::stored("x", "y");
    e.method = "abcde";
    ReadResult r = read_one(testkit::build_lv2(e));
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.h.method, -1);
    EXPECT_EQ(r.h.level, 2);
    EXPECT_STREQ(r.h.name, "x");
}

// ---- reading: damaged, truncated and hostile headers ---------------------

TEST(ReadHeaderDamaged, TruncatedHeadersEndTheArchiveOrStayInsideTheFile)
{
    for (int level = 0; level <= 2; level++) {
        LzhEntry e = testkit::stored("some/name.txt", "");
        e.dir = level ? "d/" : "";
        Bytes entry = testkit::build_entry(level, e);
        size_t base = level == 2 ? 26 : entry[0] + 2u; // fixed part of the header
        for (size_t n = 0; n < entry.size(); n++) {
            Bytes cut(entry.begin(), entry.begin() + (long)n);
            ReadResult r = read_one(cut);
            if (n < base) {
                EXPECT_EQ(r.ok, 0) << "level " << level << " cut at " << n;
            }
            if (r.ok) {
                EXPECT_LE(r.pos, (long)n) << "level " << level << " cut at " << n;
            }
        }
    }
}

TEST(ReadHeaderDamaged, ShortHeaderSizesEndTheArchive)
{
    Bytes lv0 = testkit::build_lv0(testkit::stored("abc", "x"));
    Bytes lv1 = testkit::build_lv1(testkit::stored("", "x"));
    Bytes a = lv0;
    a[0] = 21; // H of 21 or less
    EXPECT_EQ(read_one(a).ok, 0);
    Bytes b = lv1;
    b[0] = 23; // level 1 needs more than 23
    EXPECT_EQ(read_one(b).ok, 0);
    Bytes c{20, 0, 'a', 'b', 'c', 'd', 'e'}; // no dashes, T of 25 or less
    c.resize(40, 1);
    EXPECT_EQ(read_one(c).ok, 0);
}

// The name length says more than the header holds: the name is cut to the
// header's bytes, the CRC that would lie beyond it reads as 0, and the data
// still starts at H+2.
TEST(ReadHeaderDamaged, Level0NameLongerThanHeaderIsCut)
{
    LzhEntry e = testkit::stored("abcdef", "PAYLOAD");
    e.crc = 0x4241; // "AB"
    Bytes entry = testkit::build_lv0(e);
    unsigned H = entry[0];
    entry[21] = 200;
    testkit::reseal(entry);
    ReadResult r = read_one(testkit::make_archive({entry, testkit::build_lv0(testkit::stored("next", ""))}));
    ASSERT_EQ(r.ok, 1);
    EXPECT_STREQ(r.h.name, "abcdefAB");
    EXPECT_EQ(r.h.crc, 0);
    EXPECT_EQ(r.pos, (long)H + 2);
}

TEST(ReadHeaderDamaged, Level1FieldsBeyondTheHeaderReadAsZero)
{
    // H = 24 with an empty name: CRC and OS id fit, the extended-header
    // size does not.
    Bytes h{24, 0};
    testkit::put_str(h, "-lh0-");
    testkit::put_u32(h, 3);
    testkit::put_u32(h, 3);
    testkit::put_u32(h, testkit::dos_stamp(1980, 1, 1, 0, 0, 0));
    h.insert(h.end(), {0x20, 1, 0, 0x34, 0x12, 'M', 0x09}); // 0x09: half a size field
    ASSERT_EQ(h.size(), 26u);
    testkit::reseal(h);
    testkit::append(h, bytes_of("xyz"));
    ReadResult r = read_one(h);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.h.level, 1);
    EXPECT_EQ(r.h.crc, 0x1234);
    EXPECT_EQ(r.h.os_id, 'M');
    EXPECT_EQ(r.h.comp_size, 3u);
    EXPECT_EQ(r.pos, 26);

    // A name running past the header is cut, the OS id is lost with it.
    Bytes g = testkit::build_lv1(testkit::stored("abc", "x"));
    g[21] = 250;
    testkit::reseal(g);
    r = read_one(g);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(std::string(r.h.name).substr(0, 3), "abc");
    EXPECT_EQ(r.h.os_id, 0);
    EXPECT_EQ(r.pos, g[0] + 2);
}

TEST(ReadHeaderDamaged, Level1ExtendedHeadersNeverWrapThePackedSize)
{
    LzhEntry e = testkit::stored("a", "");
    e.dir = "abc"; // one extended header of 6 bytes
    Bytes entry = testkit::build_lv1(e);
    entry[7] = 2; // skip size smaller than the extended headers
    testkit::reseal(entry);
    ReadResult r = read_one(entry);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.h.comp_size, 0u);
    EXPECT_STREQ(r.h.name, "a");
}

TEST(ReadHeaderDamaged, Level1BrokenChains)
{
    LzhEntry e = testkit::stored("a", std::string(100, 'p'));
    e.dir = "abc";
    Bytes entry = testkit::build_lv1(e);
    size_t s_at = entry[0] + 2 - 2; // first extended-header size field
    struct Case {
        unsigned size;
        uint64_t comp;
    } cases[] = {{1, 106}, {0xFFFF, 0}};
    for (const Case &c : cases) {
        Bytes b = entry;
        b[s_at] = c.size & 0xFF;
        b[s_at + 1] = c.size >> 8;
        testkit::reseal(b);
        ReadResult r = read_one(b);
        ASSERT_EQ(r.ok, 1) << c.size;
        EXPECT_EQ(r.h.comp_size, c.comp) << c.size;
        EXPECT_STREQ(r.h.name, "a") << c.size;
    }
    // A chain cut by the end of the file keeps what was read.
    Bytes cut(entry.begin(), entry.begin() + (long)s_at + 4);
    ReadResult r = read_one(cut);
    ASSERT_EQ(r.ok, 1);
    EXPECT_LE(r.pos, (long)cut.size());
}

// Level-2 chains never run past T, sizes below 3 end them, and the data
// always starts at T.
TEST(ReadHeaderDamaged, Level2ChainsStayInsideTheHeader)
{
    LzhEntry e = testkit::stored("name.txt", "0123456789");
    e.dir = "d/";
    Bytes entry = testkit::build_lv2(e);
    size_t T = header_size(entry, e);
    struct Case {
        const char *what;
        unsigned first_size; // replaces the size field at offset 24
        const char *name;
    } cases[] = {
        {"size 1", 1, ""},
        {"size 2", 2, ""},
        {"size 3: empty data", 3, ""},
        {"past T", (unsigned)T, ""},
        {"max", 0xFFFF, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = entry;
        b[24] = c.first_size & 0xFF;
        b[25] = c.first_size >> 8;
        ReadResult r = read_one(b);
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(r.pos, (long)T);
        if (c.first_size != 3) {
            EXPECT_STREQ(r.h.name, c.name);
        }
    }
    // T below the fixed part: nothing more is read.
    Bytes small = entry;
    small[0] = 10;
    ReadResult r = read_one(small);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.pos, 26);
    EXPECT_STREQ(r.h.name, "");
}

TEST(ReadHeaderDamaged, Level2EndlessChainOfTinyHeadersEnds)
{
    // T = 65535 and a chain of 3-byte extended headers filling it: the walk
    // ends at T (or at the end of the file) instead of running on.
    Bytes b;
    testkit::put_u16(b, 0xFFFF);
    testkit::put_str(b, "-lh0-");
    for (int i = 0; i < 3; i++)
        testkit::put_u32(b, 0);
    b.insert(b.end(), {0x20, 2, 0, 0, 'U'});
    testkit::put_u16(b, 3);
    while (b.size() < 0xFFFF + 100) {
        b.push_back(0x7F);
        testkit::put_u16(b, 3);
    }
    ReadResult r = read_one(b);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.pos, 0xFFFF);
}

// Random damage to a small archive of all three levels: every read stays
// inside the file, the walk always moves forward, and it ends.
TEST(ReadHeaderDamaged, RandomDamageNeverLoopsOrOverreads)
{
    LzhEntry a = testkit::stored("one.txt", "first entry");
    LzhEntry b = testkit::stored("two.txt", "second");
    b.dir = "sub/";
    LzhEntry c = testkit::stored("three.txt", "3");
    c.dir = "x/y/";
    Bytes good = testkit::make_archive({testkit::build_lv0(a), testkit::build_lv1(b), testkit::build_lv2(c)});
    std::mt19937 rng(12345);
    for (int round = 0; round < 3000; round++) {
        Bytes bad = good;
        int hits = 1 + (int)(rng() % 4);
        for (int k = 0; k < hits; k++)
            bad[rng() % bad.size()] = (uint8_t)rng();
        if (round % 5 == 0)
            bad.resize(rng() % bad.size());
        Stream s(bad);
        EntryHeader h;
        int64_t last = -1;
        int entries = 0;
        while (tmb_read_header(s.fp, &h)) {
            ASSERT_GT(h.header_pos, last) << "round " << round;
            last = h.header_pos;
            ASSERT_LE(strlen(h.name), 255u);
            ASSERT_LE(s.pos(), (long)bad.size()) << "round " << round;
            ASSERT_EQ(fseeko(s.fp, (off_t)h.comp_size, SEEK_CUR), 0);
            ASSERT_LT(++entries, 1000) << "round " << round;
        }
    }
}

// ---- writer ---------------------------------------------------------------

EntryHeader header_for(const std::string &name, int method, uint64_t comp, uint64_t orig,
                       int64_t mtime, uint16_t crc)
{
    EntryHeader h{};
    snprintf(h.name, sizeof h.name, "%s", name.c_str());
    h.method = method;
    h.comp_size = comp;
    h.orig_size = orig;
    h.mtime = mtime;
    h.crc = crc;
    h.attribute = 0x07; // ignored by the writer
    h.os_id = 'X';      // ignored as well
    return h;
}

Bytes write_header(const EntryHeader &h)
{
    FILE *fp = tmpfile();
    EXPECT_EQ(tmb_write_header_lv2(fp, &h), 1);
    long n = ftell(fp);
    rewind(fp);
    Bytes b((size_t)n);
    EXPECT_EQ(fread(b.data(), 1, b.size(), fp), b.size());
    fclose(fp);
    return b;
}

TEST(WriteHeader, LayoutOfASmallEntry)
{
    Bytes b = write_header(header_for("a.txt", 5, 0x01020304, 0x0A0B0C0D, 1796042096, 0xBEEF));
    ASSERT_EQ(b.size(), 39u);
    Bytes expect{39, 0, '-', 'l', 'h', '5', '-', 4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A};
    testkit::put_u32(expect, 1796042096);
    expect.insert(expect.end(), {0x20, 2, 0xEF, 0xBE, 'A', 8, 0, 1, 'a', '.', 't', 'x', 't', 5, 0, 0});
    uint16_t hcrc = (uint16_t)(b[35] | b[36] << 8);
    testkit::put_u16(expect, hcrc);
    testkit::put_u16(expect, 0);
    EXPECT_EQ(b, expect);
    Bytes zeroed = b;
    zeroed[35] = zeroed[36] = 0;
    EXPECT_EQ(tmb_crc16(zeroed.data(), zeroed.size(), 0), hcrc);
}

TEST(WriteHeader, AgreesWithTheTestBuilder)
{
    LzhEntry e = testkit::stored("dir/sub/file.bin", "");
    e.method = "-lh7-";
    e.orig_size = 777;
    e.crc = 0x1357;
    e.time = 123456789;
    e.os_id = 'A';
    Bytes built = testkit::build_lv2(e);
    Bytes written = write_header(header_for("dir/sub/file.bin", 7, 0, 777, 123456789, 0x1357));
    EXPECT_EQ(written, built);
}

TEST(WriteHeader, ReadsBack)
{
    struct Case {
        std::string name;
        int method;
        uint64_t comp, orig;
        int64_t mtime;
        int method_read;
        int is_dir;
    } cases[] = {
        {"a.txt", 5, 30, 100, 1796042096, 5, 0},
        {"docs/", 0, 0, 0, 0, 0, 1},
        {"odd", 11, 1, 1, 1, -1, 0},               // unknown method written as "-----"
        {std::string(255, 'L'), 6, 5, 9, 4294967295LL, 6, 0},
        {"", 0, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.substr(0, 20));
        Bytes b = write_header(header_for(c.name, c.method, c.comp, c.orig, c.mtime, 0x55AA));
        ASSERT_EQ(b.size(), c.name.size() + 34);
        if (c.method == 11) {
            EXPECT_EQ(std::string(b.begin() + 2, b.begin() + 7), "-----");
        }
        b.resize(b.size() + c.comp, 'D');
        ReadResult r = read_one(b);
        ASSERT_EQ(r.ok, 1);
        EXPECT_EQ(std::string(r.h.name), c.name);
        EXPECT_EQ(r.h.method, c.method_read);
        EXPECT_EQ(r.h.comp_size, c.comp);
        EXPECT_EQ(r.h.orig_size, c.orig);
        EXPECT_EQ(r.h.mtime, c.mtime);
        EXPECT_EQ(r.h.crc, 0x55AA);
        EXPECT_EQ(r.h.level, 2);
        EXPECT_EQ(r.h.os_id, 0x41);
        EXPECT_EQ(r.h.attribute, 0x20);
        EXPECT_EQ(r.h.is_dir, c.is_dir);
        EXPECT_EQ(r.pos, (long)(c.name.size() + 34));
    }
}

// Every name length the writer takes, the CRC checked bit by bit apart
// from the program's routine: over all T bytes, so over the pad byte of the
// 257-byte header (name of 222 characters) too.
TEST(WriteHeader, HeaderCrcCoversEveryByteForEveryNameLength)
{
    for (size_t L = 0; L <= 255; L++) {
        SCOPED_TRACE(L);
        Bytes b = write_header(header_for(std::string(L, (char)('a' + L % 26)), 5, 0, 0, 0, 0));
        size_t T = b[0] | (size_t)b[1] << 8;
        ASSERT_EQ(T, L == 222 ? 257u : L + 34);
        ASSERT_EQ(b.size(), T);
        size_t count = 0;
        EXPECT_EQ(testkit::header_crc_faults(b, &count), "");
        EXPECT_EQ(count, 1u);
        if (L == 222) {
            EXPECT_EQ(b[256], 0); // the pad byte, after the end of the chain
            Bytes no_pad(b.begin(), b.end() - 1);
            EXPECT_NE(testkit::crc16_bitwise(no_pad.data(), no_pad.size()),
                      testkit::crc16_bitwise(b.data(), b.size()));
        }
        ReadResult r = read_one(b);
        EXPECT_EQ(r.ok, 1);
        EXPECT_EQ(r.pos, (long)T);
    }
}

// Check values that do not fit the header's bytes: the header is refused
// (a changed name must never be taken for the entry's), for each level and
// each place the change can be; a level-2 header without a header CRC
// reads as it is. The reader never takes such a header, whatever byte
// changed, while the unchanged header reads.
TEST(ReadHeaderDamaged, CheckValuesThatDoNotFitAreRefused)
{
    LzhEntry e = testkit::stored("name.txt", "DATA");
    e.dir = "d/";
    struct Case {
        const char *what;
        int level;
        size_t at; // the byte changed
    } cases[] = {
        {"level 0: name", 0, 22 + 2},
        {"level 0: size field", 0, 9},
        {"level 0: the checksum itself", 0, 1},
        {"level 1: name", 1, 22 + 2},
        {"level 1: OS id", 1, 24 + 8},
        {"level 2: file name", 2, 27 + 2},
        {"level 2: time", 2, 16},
        {"level 2: directory", 2, 27 + 8 + 3},
        {"level 2: the header CRC itself", 2, 27 + 8 + 2 + 3 + 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes entry = testkit::build_entry(c.level, e);
        ASSERT_EQ(read_one(entry).ok, 1);
        entry[c.at] ^= 0x21;
        EXPECT_EQ(read_one(entry).ok, 0);
    }
    // A level-1 directory extended header lies outside the base header and
    // its checksum: that header still reads (no check value covers it).
    Bytes lv1 = testkit::build_lv1(e);
    lv1[lv1[0] + 2 + 1] ^= 0x21;
    EXPECT_EQ(read_one(lv1).ok, 1);
    // Level 2 without a header-CRC extended header: nothing to check.
    e.lv2_header_crc = false;
    Bytes bare = testkit::build_lv2(e);
    bare[27 + 2] ^= 0x21;
    ReadResult r = read_one(bare);
    ASSERT_EQ(r.ok, 1);
    EXPECT_STREQ(r.h.name, "d/naLe.txt");
}

TEST(WriteHeader, LargeValuesKeepTheirLow32Bits)
{
    Bytes b = write_header(header_for("big", 0, 0x100000005ULL, 0x200000007ULL, 0x1'0000'0009LL, 0));
    ReadResult r = read_one(b);
    ASSERT_EQ(r.ok, 1);
    EXPECT_EQ(r.h.comp_size, 5u);
    EXPECT_EQ(r.h.orig_size, 7u);
    EXPECT_EQ(r.h.mtime, 9);
}

TEST(WriteHeader, ShortWriteFails)
{
    char path[] = "/tmp/tmbhdrXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    FILE *fp = fopen(path, "rb"); // not open for writing
    ASSERT_NE(fp, nullptr);
    EntryHeader h = header_for("x", 0, 0, 0, 0, 0);
    EXPECT_EQ(tmb_write_header_lv2(fp, &h), 0);
    fclose(fp);
    unlink(path);
}

// ---- time stamps -------------------------------------------------------------

int64_t utc(int y, int mon, int d, int h, int mi, int s)
{
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return (int64_t)timegm(&tm);
}

TEST(TimeStamps, DosStamps)
{
    struct Case {
        uint32_t stamp;
        int64_t expect;
    } cases[] = {
        {0x00210000, 315532800},                           // 1980-01-01, the earliest
        {0x5D7E645C, 1796042096},                          // 2026-11-30 12:34:56
        {(1u << 25) | (0u << 21) | (1u << 16), 344476800}, // month 0: December of the year before
        {(1u << 25) | (1u << 21) | (1u << 16), utc(1981, 1, 1, 0, 0, 0)},
        {(0u << 25) | (3u << 21) | (0u << 16), utc(1980, 2, 29, 0, 0, 0)}, // day 0 carries back
        {0x00210000 | (25u << 11), 315532800 + 25 * 3600},                 // hour 25 carries on
        {0xFF9FFFFF, utc(2107, 12, 31, 31, 63, 62)},                       // fields at their top
    };
    for (const Case &c : cases)
        EXPECT_EQ(dos_to_unix_time(c.stamp), c.expect) << std::hex << c.stamp;
}

TEST(TimeStamps, DosStampsAgreeWithTheCalendarForEveryMonthField)
{
    // Month fields 0 to 13 carry into the neighbouring years like the
    // C library's normalisation does.
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; i++) {
        uint32_t year = rng() % 128, mon = rng() % 14, day = rng() % 32;
        uint32_t hour = rng() % 32, min = rng() % 64, sec = rng() % 32;
        uint32_t stamp = year << 25 | mon << 21 | day << 16 | hour << 11 | min << 5 | sec;
        struct tm tm = {};
        tm.tm_year = (int)year + 80;
        tm.tm_mon = (int)mon - 1;
        tm.tm_mday = (int)day;
        tm.tm_hour = (int)hour;
        tm.tm_min = (int)min;
        tm.tm_sec = (int)sec * 2;
        ASSERT_EQ(dos_to_unix_time(stamp), (int64_t)timegm(&tm)) << std::hex << stamp;
    }
}

TEST(TimeStamps, SecondsToCalendarAndBack)
{
    struct Case {
        int64_t t;
        int y, mon, d, h, mi, s;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0},          {-5, 1970, 1, 1, 0, 0, 0},
        {951782400, 2000, 2, 29, 0, 0, 0}, {315532800, 1980, 1, 1, 0, 0, 0},
        {1796042096, 2026, 11, 30, 12, 34, 56}, {4102444799, 2099, 12, 31, 23, 59, 59},
        {4107542400, 2100, 3, 1, 0, 0, 0}, {4294967295, 2106, 2, 7, 6, 28, 15},
    };
    for (const Case &c : cases) {
        struct tm tm;
        memset(&tm, 0x55, sizeof tm);
        tmb_time_to_tm(c.t, &tm);
        EXPECT_EQ(tm.tm_year + 1900, c.y) << c.t;
        EXPECT_EQ(tm.tm_mon + 1, c.mon) << c.t;
        EXPECT_EQ(tm.tm_mday, c.d) << c.t;
        EXPECT_EQ(tm.tm_hour, c.h) << c.t;
        EXPECT_EQ(tm.tm_min, c.mi) << c.t;
        EXPECT_EQ(tm.tm_sec, c.s) << c.t;
        EXPECT_EQ(tm.tm_wday, 0);
        EXPECT_EQ(tm.tm_yday, 0);
        EXPECT_EQ(tm.tm_isdst, 0);
        if (c.t >= 0) {
            EXPECT_EQ(tmb_tm_to_time(&tm), c.t);
        }
    }
    // Every few hours from 1970 to 2200 against the C library.
    for (int64_t t = 0; t < 7258118400LL; t += 9876 * 3 + 1) {
        struct tm mine, ref;
        tmb_time_to_tm(t, &mine);
        time_t tt = (time_t)t;
        gmtime_r(&tt, &ref);
        ASSERT_EQ(mine.tm_year, ref.tm_year) << t;
        ASSERT_EQ(mine.tm_mon, ref.tm_mon) << t;
        ASSERT_EQ(mine.tm_mday, ref.tm_mday) << t;
        ASSERT_EQ(mine.tm_hour * 3600 + mine.tm_min * 60 + mine.tm_sec,
                  ref.tm_hour * 3600 + ref.tm_min * 60 + ref.tm_sec) << t;
        ASSERT_EQ(tmb_tm_to_time(&mine), t);
    }
}

} // namespace
