// The self-extractor's logic, compiled for the build machine against the
// POSIX stand-ins of stub/src/os_host.c: the program's own file is a
// "game.run" in a scratch directory with the archive at a known offset.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "os_host.h"
#include "sfx.h"
#include "stub_test_archive.h"
#include "pack_kit.h"
#include "testkit.h"
#include "tmb_compress.h"
#include "tmb_header.h"

namespace {

using stubtest::Bytes;
using stubtest::to_bytes;
using testkit::TempDir;

const uint32_t kPrefix = 301; // odd on purpose: nothing may assume alignment

std::string banner()
{
    return std::string("TAMBRIX SFX -- 68000 compatible self-extracting archive\n") + sfx_data.credit[0] +
           "Note: this extractor favors maximum 68000 compatibility\n"
           "      over raw speed -- extraction may take a while.\n"
           "Note: Ctrl+C works only when run from Shell/CLI.\n" +
           sfx_data.credit[1] + "\n";
}

const std::string kDone = "\nDone.\n";

// The program's file: something in front, the archive, something behind.
Bytes run_file(const Bytes &archive, const Bytes &tail)
{
    Bytes file(kPrefix + archive.size() + tail.size(), 'X');
    std::copy(archive.begin(), archive.end(), file.begin() + kPrefix);
    std::copy(tail.begin(), tail.end(), file.begin() + kPrefix + (long)archive.size());
    return file;
}

struct Outcome {
    int rc;
    std::string out;
};

struct RunSetup {
    const char *input = nullptr; // answers; nullptr: no input stream
    size_t input_len = 0;
    int break_at = 0;
    std::string program = "game.run";
};

class StubHost : public ::testing::Test {
protected:
    TempDir dir;

    std::string path(const std::string &name) const { return dir / name; }

    // Writes game.run as prefix + archive + a few bytes that follow the
    // archive in a real file, and runs the extractor on it.
    Outcome run(const Bytes &archive, const RunSetup &setup = {})
    {
        testkit::write_file(path("game.run"), run_file(archive, {0, 0, 0, 0x3E, 0xC0}));
        set_offset(kPrefix);
        host_reset(dir.path().c_str(), setup.program.c_str());
        if (setup.input)
            host_set_input(setup.input, setup.input_len ? setup.input_len : strlen(setup.input));
        host_set_break_at(setup.break_at);
        int rc = sfx_main();
        size_t len = 0;
        const char *out = host_output(&len);
        return {rc, std::string(out, len)};
    }

    static void set_offset(uint32_t off)
    {
        sfx_data.arc_offset[0] = (uint8_t)(off >> 24);
        sfx_data.arc_offset[1] = (uint8_t)(off >> 16);
        sfx_data.arc_offset[2] = (uint8_t)(off >> 8);
        sfx_data.arc_offset[3] = (uint8_t)off;
    }

    bool is_dir(const std::string &name) const
    {
        struct stat st;
        return stat(path(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    // Names in the scratch directory besides game.run.
    std::vector<std::string> listing() const
    {
        std::vector<std::string> names;
        std::string cmd = "cd '" + dir.path() + "' && find . -mindepth 1 ! -name game.run | sort";
        FILE *p = popen(cmd.c_str(), "r");
        char line[4096];
        while (p && fgets(line, sizeof line, p)) {
            std::string s(line);
            s.pop_back();
            names.push_back(s.substr(2));
        }
        if (p)
            pclose(p);
        return names;
    }
};

Bytes archive_of(std::initializer_list<Bytes> entries)
{
    Bytes a;
    for (const Bytes &e : entries)
        a.insert(a.end(), e.begin(), e.end());
    a.push_back(0);
    a.push_back(0);
    return a;
}

std::string extracting(const std::string &name, const std::string &dots, bool ok)
{
    return "  extracting: " + name + "   [" + dots + "]" + (ok ? " OK\n" : " CRC ERROR\n");
}

// ---- start and end of an archive ----

TEST_F(StubHost, ArchiveWithoutEntriesOrMissingEndsCleanly)
{
    struct Case {
        const char *what;
        Bytes archive;
    } cases[] = {
        {"end marker only", {0, 0}},
        {"nothing at the offset", {}},
        {"a zero byte at the end of the file", {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testkit::write_file(path("game.run"), run_file(c.archive, {}));
        set_offset(kPrefix);
        host_reset(dir.path().c_str(), "game.run");
        int rc = sfx_main();
        size_t len;
        const char *out = host_output(&len);
        EXPECT_EQ(std::string(out, len), banner() + kDone);
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(listing().empty());
    }
}

TEST_F(StubHost, OffsetPastTheFileEndsWithDone)
{
    testkit::write_file(path("game.run"), Bytes(100, 0x55));
    set_offset(0x7FFFFF00);
    host_reset(dir.path().c_str(), "game.run");
    EXPECT_EQ(sfx_main(), 0);
    size_t len;
    const char *out = host_output(&len);
    EXPECT_EQ(std::string(out, len), banner() + kDone);
}

TEST_F(StubHost, StartFailuresEndWith20)
{
    Bytes archive = archive_of({stubtest::stored_entry("a.txt", to_bytes("a"))});
    RunSetup no_name;
    no_name.program = "";
    Outcome r = run(archive, no_name);
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.out, "SFX: Cannot find self name\n");

    RunSetup wrong_name;
    wrong_name.program = "elsewhere.run";
    r = run(archive, wrong_name);
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.out, banner() + "SFX: Cannot open self\n");
    EXPECT_FALSE(testkit::file_exists(path("a.txt")));
}

// ---- stored entries, directories, empty files ----

TEST_F(StubHost, StoredEntriesAreCheckedAgainstTheirCrc)
{
    Bytes good = stubtest::sample_data(1500, 1); // several 512-byte pieces
    Bytes bad = to_bytes("the header says otherwise");
    Bytes bad_entry = stubtest::lv2_entry("bad.txt", "-lh0-", bad, (uint32_t)bad.size(),
                                          (uint16_t)(stubtest::crc16(bad) ^ 1));
    Outcome r = run(archive_of({stubtest::stored_entry("good.bin", good), bad_entry,
                            stubtest::stored_entry("after.txt", to_bytes("after"))}));
    EXPECT_EQ(r.out, banner() + "  extracted: good.bin\n" + "  CRC ERROR: bad.txt\n" +
                         "  extracted: after.txt\n" + kDone);
    EXPECT_EQ(r.rc, 5);
    EXPECT_EQ(testkit::read_file(path("good.bin")), good);
    EXPECT_FALSE(testkit::file_exists(path("bad.txt"))); // no bad file is left
    EXPECT_EQ(testkit::read_text(path("after.txt")), "after");
    EXPECT_EQ(listing(), (std::vector<std::string>{"after.txt", "good.bin"}));
}

TEST_F(StubHost, DirectoriesAndEmptyFilesPrintNothing)
{
    // a directory in its own extended header, 0xFF ending each level
    Bytes dir_by_type2 = stubtest::lv2_entry_ext("-lhd-", {}, 0, 0, {{2, to_bytes("typed\xFF")}, {0, {0, 0}}});
    Outcome r = run(archive_of({
        stubtest::stored_entry("docs/", {}),
        stubtest::stored_entry("a/b/c.txt", to_bytes("deep")),
        stubtest::stored_entry("empty.txt", {}),
        dir_by_type2,
        stubtest::stored_entry("x/y/", {}),
    }));
    EXPECT_EQ(r.out, banner() + "  extracted: a/b/c.txt\n" + kDone);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(is_dir("docs"));
    EXPECT_TRUE(is_dir("a/b"));
    EXPECT_EQ(testkit::read_text(path("a/b/c.txt")), "deep");
    EXPECT_FALSE(testkit::file_exists(path("empty.txt")));
    EXPECT_TRUE(is_dir("typed"));
    EXPECT_TRUE(is_dir("x/y"));
}

TEST_F(StubHost, BackslashesSeparateDirectoriesAndLongNamesAreCut)
{
    std::string long_name(255, 'n');
    Bytes data = stubtest::sample_data(3000, 2);
    Outcome r = run(archive_of({
        stubtest::stored_entry("dir\\stored.txt", to_bytes("s")),
        stubtest::compressed_entry("dir\\packed.txt", 5, data),
        stubtest::stored_entry(long_name, to_bytes("long")),
    }));
    // stored entries are reported under their name as stored, compressed
    // ones under the name written
    EXPECT_EQ(r.out, banner() + "  extracted: dir\\stored.txt\n" + extracting("dir/packed.txt", "..........", true) +
                         "  extracted: " + long_name + "\n" + kDone);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(testkit::read_text(path("dir/stored.txt")), "s");
    EXPECT_EQ(testkit::read_file(path("dir/packed.txt")), data);
    EXPECT_EQ(testkit::read_text(path(long_name.substr(0, 254))), "long");
}

TEST_F(StubHost, UncreatableFileIsCountedAndSkipped)
{
    testkit::write_text(path("sub"), "a file where a directory is needed");
    Outcome r = run(archive_of({stubtest::stored_entry("sub/f.txt", to_bytes("f")),
                            stubtest::stored_entry("g.txt", to_bytes("g"))}));
    EXPECT_EQ(r.out, banner() + "SFX: Cannot create: sub/f.txt\n" + "  extracted: g.txt\n" + kDone);
    EXPECT_EQ(r.rc, 5);
}

// ---- compressed entries ----

TEST_F(StubHost, CompressedEntriesOfEachMethod)
{
    // the second half repeats the first from 40000 bytes back: only the
    // 64 KB window of -lh7- reaches that far
    Bytes far = stubtest::sample_data(40000, 9);
    far.insert(far.end(), far.begin(), far.end());
    struct Case {
        int method;
        Bytes data;
        size_t block;
    } cases[] = {
        {4, stubtest::sample_data(12000, 2), 4000},
        {5, stubtest::sample_data(20000, 3), 4000},
        {6, stubtest::sample_data(50000, 4), 700},
        {7, far, 65535},
        {7, Bytes(70000, 'z'), 4000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("method " + std::to_string(c.method) + ", " + std::to_string(c.data.size()) + " bytes");
        Bytes entry = stubtest::compressed_entry("f.bin", c.method, c.data, c.block);
        ASSERT_LT(entry.size(), c.data.size());
        Outcome r = run(archive_of({entry, stubtest::stored_entry("next.txt", to_bytes("next"))}),
                    {"A\n"}); // f.bin exists from the case before
        std::string prompt = r.out.find("overwrite") == std::string::npos
                                 ? ""
                                 : "  overwrite f.bin? [y]es [n]o [A]ll [N]one: \n";
        EXPECT_EQ(r.out.substr(banner().size()),
                  prompt + extracting("f.bin", "..........", true) + "  extracted: next.txt\n" + kDone);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(testkit::read_file(path("f.bin")), c.data);
        EXPECT_EQ(testkit::read_text(path("next.txt")), "next");
    }
}

// An entry packed by the archiver's own encoder (or stored, when packing
// does not pay); `method` receives the method chosen.
Bytes archiver_entry(const std::string &name, const Bytes &data, int method, int *chosen)
{
    FILE *in = tmpfile(), *out = tmpfile();
    fwrite(data.data(), 1, data.size(), in);
    rewind(in);
    EntryHeader h{};
    h.method = method; // kept unless the data ends up stored
    EXPECT_EQ(tmb_compress(testkit::shared_encoder(), in, out, &h, method, false, {}), 1);
    Bytes packed(h.comp_size);
    rewind(out);
    EXPECT_EQ(fread(packed.data(), 1, packed.size(), out), packed.size());
    fclose(in);
    fclose(out);
    *chosen = h.method;
    std::string id = "-lh" + std::to_string(h.method) + "-";
    return stubtest::lv2_entry(name, id, packed, (uint32_t)h.orig_size, h.crc);
}

TEST_F(StubHost, EntriesPackedByTheArchiversEncoder)
{
    Bytes noise(3000);
    uint32_t x = 7;
    for (uint8_t &b : noise)
        b = (uint8_t)((x = x * 1664525u + 1013904223u) >> 24);
    Bytes mixed = stubtest::sample_data(60000, 31);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), mixed.begin(), mixed.begin() + 50000); // far repeat
    struct Case {
        const char *what;
        Bytes data;
    } cases[] = {
        {"text", stubtest::sample_data(100000, 30)},
        {"mixed", mixed},
        {"one byte value", Bytes(40000, 0)},
        {"noise", noise},
    };
    int n = 0;
    for (const Case &c : cases) {
        for (int method : {5, 6, 7}) {
            SCOPED_TRACE(std::string(c.what) + " -lh" + std::to_string(method) + "-");
            std::string name = "enc" + std::to_string(n++) + ".bin";
            int chosen = -1;
            Bytes entry = archiver_entry(name, c.data, method, &chosen);
            Outcome r = run(archive_of({entry}));
            std::string line = chosen == 0 ? "  extracted: " + name + "\n" : extracting(name, "..........", true);
            EXPECT_EQ(r.out, banner() + line + kDone);
            EXPECT_EQ(r.rc, 0);
            EXPECT_EQ(testkit::read_file(path(name)), c.data);
        }
    }
}

TEST_F(StubHost, DecoderEdgesOfTheFormat)
{
    using stubtest::Token;
    struct Case {
        const char *what;
        std::vector<Token> tokens;
        uint32_t size;
        std::string expect;
        std::string dots;
    } cases[] = {
        // a match before the start reads the window's initial spaces
        {"match before the start", {{'x', 0, 0}, {0, 4, 5}}, 5, "x    ", ".."},
        // distance value 0 repeats the last byte; the match is cut at the size
        {"cut match", {{'a', 0, 0}, {0, 200, 0}}, 4, "aaaa", ".."},
        // one c symbol only: the single-symbol form, no bits per symbol
        {"single symbol", {{'q', 0, 0}, {'q', 0, 0}, {'q', 0, 0}}, 3, "qqq", "..."},
        // 256 different literals need code lengths written with the escape
        {"escaped lengths", {}, 256, "", ".........."},
    };
    for (int i = 0; i < 256; i++) {
        cases[3].tokens.push_back({i, 0, 0});
        cases[3].expect.push_back((char)i);
    }
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int method : {5, 6, 7}) {
            Bytes packed = stubtest::encode_tokens(c.tokens, stubtest::method_np(method));
            Bytes expect = to_bytes(c.expect);
            std::string id = "-lh" + std::to_string(method) + "-";
            // Built by appending: g++ 12 warns falsely on "e" + std::string.
            std::string name = "e";
            name += std::to_string(n++) + ".bin";
            Outcome r = run(archive_of({stubtest::lv2_entry(name, id, packed, c.size, stubtest::crc16(expect))}));
            EXPECT_EQ(r.out, banner() + extracting(name, c.dots, true) + kDone) << id;
            EXPECT_EQ(testkit::read_file(path(name)), expect) << id;
        }
    }
}

// Data that ends early stops the decoder at once (a few bytes past the
// packed size); a wrong CRC is found at the end. Neither leaves a file.
TEST_F(StubHost, DamagedEntriesLeaveNoFile)
{
    Bytes data = stubtest::sample_data(5000, 5);
    Bytes packed = stubtest::compress(data, 5);
    Bytes cut(packed.begin(), packed.begin() + (long)packed.size() / 2);
    Bytes wrong_crc = stubtest::lv2_entry("crc.bin", "-lh5-", packed, (uint32_t)data.size(),
                                          (uint16_t)(stubtest::crc16(data) + 1));
    // 5 packed bytes that claim 4 GB, with the CRC of nothing
    Bytes bomb = stubtest::lv2_entry("bomb.bin", "-lh5-", Bytes{0, 1, 0, 0, 0}, 0xFFFFFFFFu, 0);
    Bytes stored_bomb = stubtest::lv2_entry("sbomb.bin", "-lh0-", to_bytes("abc"), 0xFFFFFFFFu, 0);
    Outcome r = run(archive_of({stubtest::lv2_entry("cut.bin", "-lh5-", cut, (uint32_t)data.size(), stubtest::crc16(data)),
                                wrong_crc, bomb, stored_bomb, stubtest::stored_entry("ok.txt", to_bytes("ok"))}));
    EXPECT_EQ(r.rc, 5);
    std::string rest = r.out.substr(banner().size());
    EXPECT_TRUE(std::regex_match(rest, std::regex("  extracting: cut.bin   \\[\\.*\\] DAMAGED\n"
                                                  "  extracting: crc.bin   \\[\\.{10}\\] CRC ERROR\n"
                                                  "  extracting: bomb.bin   \\[\\] DAMAGED\n"
                                                  "  DAMAGED: sbomb.bin\n"
                                                  "  extracted: ok.txt\n\nDone.\n")))
        << rest;
    EXPECT_EQ(listing(), std::vector<std::string>{"ok.txt"});
}

TEST_F(StubHost, ZeroRunAtTheLastCodeLengthEndsTheList)
{
    // c count 511: a run of 510 zeros reaches index 510, and the zero bits
    // past the end then decode as further zero runs there. The list must end
    // instead of waiting for a length that never comes.
    stubtest::BitWriter bw;
    bw.put(3, 16);          // block of 3 symbols
    bw.put(3, 5);           // t list: 3 lengths
    bw.put(1, 3);           // t symbol 0: length 1
    bw.put(0, 3);
    bw.put(1, 3);           // t symbol 2: length 1
    bw.put(0, 2);           // zero run field
    bw.put(511, 9);         // c count 511
    bw.put(1, 1);           // t symbol 2 (code 1): 9-bit run
    bw.put(510 - 20, 9);    // 510 zeros
    Bytes packed = bw.finish();
    Bytes zeros(3, 0);      // no c code: every symbol is literal 0
    Outcome r = run(archive_of({stubtest::lv2_entry("z.bin", "-lh5-", packed, 3, stubtest::crc16(zeros))}));
    EXPECT_EQ(r.out, banner() + extracting("z.bin", "...", true) + kDone);
    EXPECT_EQ(testkit::read_file(path("z.bin")), zeros);
}

// ---- the overwrite prompt ----

TEST_F(StubHost, PromptAnswers)
{
    const std::string q = "  overwrite old.txt? [y]es [n]o [A]ll [N]one: \n";
    struct Case {
        const char *answer; // nullptr: no input stream
        size_t len;
        bool overwritten;
    } cases[] = {
        {"y\n", 0, true}, {"Y\n", 0, true}, {"yes, please\n", 0, true}, {"n\n", 0, false},
        {"a\n", 0, false}, {"\n", 0, false}, {"", 0, false}, {nullptr, 0, false},
        {"y", 0, true}, // no line feed before the end of the input
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "(no input stream)");
        testkit::write_text(path("old.txt"), "old");
        RunSetup s;
        s.input = c.answer;
        s.input_len = c.answer ? strlen(c.answer) : 0;
        Outcome r = run(archive_of({stubtest::stored_entry("old.txt", to_bytes("new"))}), s);
        EXPECT_EQ(r.out, banner() + q + (c.overwritten ? "  extracted: old.txt\n" : "") + kDone);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(testkit::read_text(path("old.txt")), c.overwritten ? "new" : "old");
    }
}

TEST_F(StubHost, AllAndNoneHoldForTheRestOfTheRun)
{
    auto entries = [] {
        return archive_of({stubtest::stored_entry("one.txt", to_bytes("1new")),
                           stubtest::stored_entry("fresh.txt", to_bytes("fresh")),
                           stubtest::compressed_entry("two.txt", 6, stubtest::sample_data(900, 7))});
    };
    const std::string ask1 = "  overwrite one.txt? [y]es [n]o [A]ll [N]one: \n";

    testkit::write_text(path("one.txt"), "1old");
    testkit::write_text(path("two.txt"), "2old");
    Outcome r = run(entries(), {"A\nn\n"});
    EXPECT_EQ(r.out, banner() + ask1 + "  extracted: one.txt\n" + "  extracted: fresh.txt\n" +
                         extracting("two.txt", "..........", true) + kDone);
    EXPECT_EQ(testkit::read_text(path("one.txt")), "1new");
    EXPECT_EQ(testkit::read_file(path("two.txt")), stubtest::sample_data(900, 7));

    testkit::write_text(path("one.txt"), "1old");
    testkit::write_text(path("two.txt"), "2old");
    std::remove(path("fresh.txt").c_str());
    r = run(entries(), {"N\ny\n"});
    EXPECT_EQ(r.out, banner() + ask1 + "  extracted: fresh.txt\n" + kDone);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(testkit::read_text(path("one.txt")), "1old");
    EXPECT_EQ(testkit::read_text(path("two.txt")), "2old");
    EXPECT_EQ(testkit::read_text(path("fresh.txt")), "fresh");
}

// ---- header reading limits, Ctrl+C, unsafe names ----

TEST_F(StubHost, ExtendedHeaderSafetyStopsAfter100)
{
    auto entry_with = [](int ext_count) {
        std::vector<stubtest::ExtHeader> ext{{1, to_bytes("x.txt")}};
        while ((int)ext.size() < ext_count)
            ext.push_back({0x50, Bytes{1, 2}});
        Bytes data = to_bytes("x");
        return stubtest::lv2_entry_ext("-lh0-", data, 1, stubtest::crc16(data), ext);
    };
    Outcome r = run(archive_of({entry_with(100)}));
    EXPECT_EQ(r.out, banner() + "  extracted: x.txt\n" + kDone);
    std::remove(path("x.txt").c_str());

    r = run(archive_of({entry_with(101), stubtest::stored_entry("never.txt", to_bytes("n"))}));
    EXPECT_EQ(r.out, banner() + "SFX: ext loop safety!\n" + kDone);
    EXPECT_EQ(r.rc, 5); // the entries after it are lost: not a success
    EXPECT_TRUE(listing().empty());
}

TEST_F(StubHost, LongExtendedHeadersAreSkippedWhole)
{
    Bytes data = to_bytes("after the long header");
    Bytes entry = stubtest::lv2_entry_ext("-lh0-", data, (uint32_t)data.size(), stubtest::crc16(data),
                                          {{0x41, Bytes(700, 0xEE)}, {1, to_bytes("n.txt")}});
    Outcome r = run(archive_of({entry}));
    EXPECT_EQ(r.out, banner() + "  extracted: n.txt\n" + kDone);
    EXPECT_EQ(testkit::read_file(path("n.txt")), data);
}

// Ctrl+C is polled before each entry and after every piece written; a
// break inside an entry leaves the file it would have replaced alone.
TEST_F(StubHost, CtrlCStopsBetweenAndInsideEntries)
{
    Bytes big = stubtest::sample_data(20000, 8);
    // a packed entry is written, and polled, 32 KB at a time
    Bytes bigger = stubtest::sample_data(80000, 8);
    struct Case {
        const char *what;
        Bytes entry;
        int break_at; // the n-th poll sees Ctrl+C
        std::string shown;
    } cases[] = {
        {"before the first entry", stubtest::stored_entry("big.bin", big), 1, ""},
        {"inside a stored entry", stubtest::stored_entry("big.bin", big), 2, ""},
        {"inside a packed entry", stubtest::compressed_entry("big.bin", 5, bigger), 2, "  extracting: big.bin   [....]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testkit::write_text(path("big.bin"), "old");
        RunSetup s;
        s.break_at = c.break_at;
        s.input = "A\n";
        Outcome r = run(archive_of({c.entry, stubtest::stored_entry("2.txt", to_bytes("2"))}), s);
        std::string ask = c.break_at > 1 ? "  overwrite big.bin? [y]es [n]o [A]ll [N]one: \n" : "";
        EXPECT_EQ(r.out, banner() + ask + c.shown + "\n*** Break ***\n" + kDone);
        EXPECT_EQ(r.rc, 5);
        EXPECT_EQ(testkit::read_text(path("big.bin")), "old");
        EXPECT_EQ(listing(), std::vector<std::string>{"big.bin"});
    }
}

TEST_F(StubHost, NamesLeavingTheCurrentDirectoryAreRefused)
{
    struct Case {
        std::string stored, shown;
    } cases[] = {
        {"RAM:evil.txt", "RAM:evil.txt"}, {"/up.txt", "/up.txt"},     {"a//b.txt", "a//b.txt"},
        {"a\\\\b.txt", "a//b.txt"},       {"\\up.txt", "/up.txt"},    {"docs//", "docs//"},
        {"SYS:", "SYS:"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        bool dir_entry = c.stored.back() == '/' || c.stored.back() == ':';
        Bytes bad = dir_entry ? stubtest::stored_entry(c.stored, {}) : stubtest::stored_entry(c.stored, to_bytes("bad"));
        Outcome r = run(archive_of({bad, stubtest::stored_entry("fine.txt", to_bytes("fine"))}));
        EXPECT_EQ(r.out, banner() + "SFX: Skipped, name leaves the current directory: " + c.shown + "\n" +
                             "  extracted: fine.txt\n" + kDone);
        EXPECT_EQ(r.rc, 5);
        EXPECT_EQ(listing(), std::vector<std::string>{"fine.txt"});
        std::remove(path("fine.txt").c_str());
    }
}

// ---- hostile and damaged archives ----

// Damage that leaves the rest of the archive out of reach ends the run
// with a message and status 5; what came before stays extracted.
TEST_F(StubHost, DamagedArchivesStopWithStatus5)
{
    Bytes first = stubtest::stored_entry("first.txt", to_bytes("first"));
    Bytes second = stubtest::stored_entry("second.txt", to_bytes("second"));
    // a packed size that takes the position round to this very header
    Bytes wrap = second;
    uint32_t back = 0u - (uint32_t)(second.size() - 6);
    for (int k = 0; k < 4; k++)
        wrap[7 + k] = (uint8_t)(back >> (8 * k));
    Bytes past = second;
    past[8] = 0x10; // 4096 more packed bytes than the file holds
    Bytes level0 = {22, 0, '-', 'l', 'h', '0', '-', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 1, 'x', 0, 0};
    const std::string cut = "SFX: Damaged archive: header cut short\n";
    struct Case {
        const char *what;
        Bytes rest;    // after the first entry
        bool end_mark; // the archive's end marker follows (else the file ends)
        std::string msg;
    } cases[] = {
        {"wrapping packed size", wrap, true, "SFX: Damaged archive: data past its end\n"},
        {"packed size past the end", past, true, "SFX: Damaged archive: data past its end\n"},
        {"cut after 1 header byte", Bytes(second.begin(), second.begin() + 1), false, cut},
        {"cut after 12 header bytes", Bytes(second.begin(), second.begin() + 12), false, cut},
        {"cut inside the name", Bytes(second.begin(), second.begin() + 30), false, cut},
        {"cut inside the data", Bytes(second.begin(), second.end() - 2), false,
         "SFX: Damaged archive: data past its end\n"},
        {"level-0 header", level0, true, "SFX: Damaged archive: not a level-2 header\n"},
        {"header size below the base header", Bytes{20, 0, '-', 'l', 'h', '0', '-', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0},
         true, "SFX: Damaged archive: header size too small\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Bytes archive = first;
        archive.insert(archive.end(), c.rest.begin(), c.rest.end());
        if (c.end_mark)
            archive.insert(archive.end(), {0, 0});
        testkit::write_file(path("game.run"), run_file(archive, c.end_mark ? Bytes{0, 0, 0, 0x3E, 0xC0} : Bytes{}));
        set_offset(kPrefix);
        host_reset(dir.path().c_str(), "game.run");
        int rc = sfx_main();
        size_t len;
        const char *out = host_output(&len);
        EXPECT_EQ(std::string(out, len), banner() + "  extracted: first.txt\n" + c.msg + kDone);
        EXPECT_EQ(rc, 5);
        EXPECT_EQ(listing(), std::vector<std::string>{"first.txt"});
        std::remove(path("first.txt").c_str());
    }
}

// Entries the extractor cannot unpack are failures of their own; the run
// goes on with the next entry and makes no file for them.
TEST_F(StubHost, UnknownMethodsAreSkippedAndCounted)
{
    for (const char *method : {"-xyz-", "-lh1-", "-lh8-", "-lhd-"}) {
        SCOPED_TRACE(method);
        Bytes odd = stubtest::lv2_entry("odd.bin", method, to_bytes("12345"), 5, 0);
        Outcome r = run(archive_of({odd, stubtest::stored_entry("next.txt", to_bytes("n"))}));
        EXPECT_EQ(r.out, banner() + "SFX: Unknown method, skipped: odd.bin\n  extracted: next.txt\n" + kDone);
        EXPECT_EQ(r.rc, 5);
        EXPECT_EQ(listing(), std::vector<std::string>{"next.txt"});
        std::remove(path("next.txt").c_str());
    }
}

// An old file is replaced only by an entry that came out whole: every
// failure leaves it byte for byte, and no temporary stays behind.
TEST_F(StubHost, FailedEntriesLeaveTheOldFileAsItWas)
{
    Bytes data = stubtest::sample_data(9000, 12);
    Bytes packed = stubtest::compress(data, 5);
    struct Case {
        const char *what;
        Bytes entry;
        long disk_space; // -1: no limit
        std::string shown;
    } cases[] = {
        {"damaged packed data", stubtest::lv2_entry("f.bin", "-lh5-", Bytes(packed.begin(), packed.begin() + 100), 9000,
                                                    stubtest::crc16(data)),
         -1, "  extracting: f.bin   \\[\\.*\\] DAMAGED\n"},
        {"wrong CRC", stubtest::lv2_entry("f.bin", "-lh0-", data, 9000, 1), -1, "  CRC ERROR: f.bin\n"},
        {"full disk, packed", stubtest::lv2_entry("f.bin", "-lh5-", packed, 9000, stubtest::crc16(data)), 5000,
         "  extracting: f.bin   \\[\\.*\\] WRITE ERROR\n"},
        {"full disk, stored", stubtest::stored_entry("f.bin", data), 5000, "  WRITE ERROR: f.bin\n"},
        {"unknown method", stubtest::lv2_entry("f.bin", "-lh9-", packed, 9000, 0), -1,
         "SFX: Unknown method, skipped: f.bin\n"},
    };
    const std::string ask = "  overwrite f.bin\\? \\[y\\]es \\[n\\]o \\[A\\]ll \\[N\\]one: \n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        testkit::write_text(path("f.bin"), "the old contents");
        testkit::write_file(path("game.run"), run_file(archive_of({c.entry}), {}));
        set_offset(kPrefix);
        host_reset(dir.path().c_str(), "game.run");
        host_set_input("y\n", 2);
        host_set_disk_space(c.disk_space);
        int rc = sfx_main();
        size_t len = 0;
        const char *text = host_output(&len);
        std::string out(text, len);
        bool asked = c.what != std::string("unknown method");
        EXPECT_TRUE(std::regex_match(out.substr(banner().size()), std::regex((asked ? ask : "") + c.shown + "\nDone.\n")))
            << out.substr(banner().size());
        EXPECT_EQ(rc, 5);
        EXPECT_EQ(testkit::read_text(path("f.bin")), "the old contents");
        EXPECT_EQ(listing(), std::vector<std::string>{"f.bin"});
    }
}

// The temporary is never the target itself: entries named like it are
// written, one that exists or is held by another program is passed over.
TEST_F(StubHost, EntriesNamedLikeTheTemporaryAreWritten)
{
    Bytes a = to_bytes("first\n"), b = to_bytes("second\n"), c = to_bytes("third\n"), d = to_bytes("fourth\n");
    Outcome o = run(archive_of({stubtest::stored_entry("tmbsfx00.tmp", a), stubtest::stored_entry("d/tmbsfx00.tmp", b),
                                stubtest::stored_entry("d/tmbsfx01.tmp", c), stubtest::stored_entry("tmbsfx01.tmp", d)}));
    EXPECT_EQ(o.out, banner() + "  extracted: tmbsfx00.tmp\n  extracted: d/tmbsfx00.tmp\n  extracted: d/tmbsfx01.tmp\n" +
                         "  extracted: tmbsfx01.tmp\n" + kDone);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(testkit::read_file(path("tmbsfx00.tmp")), a);
    EXPECT_EQ(testkit::read_file(path("d/tmbsfx00.tmp")), b);
    EXPECT_EQ(testkit::read_file(path("d/tmbsfx01.tmp")), c);
    EXPECT_EQ(testkit::read_file(path("tmbsfx01.tmp")), d);
    EXPECT_EQ(listing(), (std::vector<std::string>{"d", "d/tmbsfx00.tmp", "d/tmbsfx01.tmp", "tmbsfx00.tmp", "tmbsfx01.tmp"}));
}

// Names held by another program, and renames that fail: nothing is left
// behind unless the old file is already gone; then the message names the
// temporary that holds the data.
TEST_F(StubHost, FailedRenameLeavesNothingBehind)
{
    Bytes data = to_bytes("new data\n");
    const std::string ask = "  overwrite f.bin? [y]es [n]o [A]ll [N]one: \n";
    struct Case {
        const char *what, *busy;
        bool old_file, renames_fail;
        std::string shown;
        int rc;
        std::vector<std::string> left;
        const char *f_bin; // f.bin afterwards, nullptr: none
    } cases[] = {
        {"temporary held", "tmbsfx00.tmp", false, false, "  extracted: f.bin\n", 0, {"f.bin"}, "new data\n"},
        {"target held", "f.bin", true, false, ask + "SFX: Cannot replace: f.bin\n", 5, {"f.bin"}, "old"},
        {"rename fails", nullptr, false, true, "SFX: Cannot create: f.bin\n", 5, {}, nullptr},
        {"rename fails, old file gone", nullptr, true, true,
         ask + "SFX: Cannot rename to it: f.bin\nSFX: Its data is in: tmbsfx00.tmp\n", 5, {"tmbsfx00.tmp"}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir fresh;
        testkit::write_file(fresh / "game.run", run_file(archive_of({stubtest::stored_entry("f.bin", data)}), {}));
        if (c.old_file)
            testkit::write_text(fresh / "f.bin", "old");
        set_offset(kPrefix);
        host_reset(fresh.path().c_str(), "game.run");
        host_set_input("y\n", 2);
        if (c.busy)
            host_set_busy(c.busy);
        host_set_renames_fail(c.renames_fail);
        int rc = sfx_main();
        size_t len = 0;
        const char *text = host_output(&len);
        EXPECT_EQ(std::string(text, len), banner() + c.shown + kDone);
        EXPECT_EQ(rc, c.rc);
        testkit::RunResult ls = testkit::run_program(
            {"/bin/sh", "-c", "cd '" + fresh.path() + "' && find . -mindepth 1 ! -name game.run | sort | cut -c3-"});
        std::string want;
        for (const std::string &n : c.left)
            want += n + "\n";
        EXPECT_EQ(ls.out, want);
        if (c.f_bin) {
            EXPECT_EQ(testkit::read_text(fresh / "f.bin"), c.f_bin);
        }
        if (!c.left.empty() && c.left[0] == "tmbsfx00.tmp") {
            EXPECT_EQ(testkit::read_file(fresh / "tmbsfx00.tmp"), data);
        }
    }
}

// Names are read as the archiver reads them: the directory header (0xFF
// between levels) before the file name, a NUL ending either. Control bytes
// are printed as octal escapes, the file name on disk stays byte-exact.
TEST_F(StubHost, NamesFromDirectoryHeadersAndControlBytes)
{
    Bytes data = to_bytes("deep");
    Bytes split = stubtest::lv2_entry_ext("-lh0-", data, 4, stubtest::crc16(data),
                                          {{2, to_bytes("sub\xFF" "deep\xFF")}, {1, to_bytes("f.txt")}});
    Bytes nul = stubtest::lv2_entry_ext("-lh0-", data, 4, stubtest::crc16(data),
                                        {{1, Bytes{'n', '.', 't', 'x', 't', 0, 'x'}}});
    Bytes dir_only = stubtest::lv2_entry_ext("-lhd-", {}, 0, 0, {{2, to_bytes("emptydir\xFF")}});
    std::string ctl = "a\nDone.\x9b" "1m\x7f.txt";
    Bytes packed_ctl = stubtest::compressed_entry(ctl, 6, stubtest::sample_data(300, 1));
    Outcome r = run(archive_of({split, nul, dir_only, stubtest::stored_entry(ctl, to_bytes("c")), packed_ctl}), {"A\n"});
    EXPECT_EQ(r.out, banner() + "  extracted: sub/deep/f.txt\n  extracted: n.txt\n"
                                "  extracted: a\\012Done.\\2331m\\177.txt\n"
                                "  overwrite a\\012Done.\\2331m\\177.txt? [y]es [n]o [A]ll [N]one: \n"
                                "  extracting: a\\012Done.\\2331m\\177.txt   [..........] OK\n" +
                         kDone);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(testkit::read_text(path("sub/deep/f.txt")), "deep");
    EXPECT_EQ(testkit::read_text(path("n.txt")), "deep");
    EXPECT_TRUE(is_dir("emptydir"));
    EXPECT_EQ(testkit::read_file(path(ctl)), stubtest::sample_data(300, 1));
}

// A header of 256 bytes (a 222-byte name) begins with a zero byte. The
// archiver writes it one pad byte longer; an older archive's 256-byte header
// is told from the end marker by its shape and its header CRC.
TEST_F(StubHost, HeadersOf256BytesInBothForms)
{
    const std::string name = std::string(218, 'n') + ".txt";
    Bytes data = to_bytes("long name");
    uint16_t crc = stubtest::crc16(data);
    Bytes padded = stubtest::crc_entry(name, "-lh0-", data, 9, crc, 1);
    Bytes old = stubtest::crc_entry(name, "-lh0-", data, 9, crc, 0);
    ASSERT_EQ(padded[0], 1);
    ASSERT_EQ(padded[1], 1);
    ASSERT_EQ(old[0], 0);
    ASSERT_EQ(old[1], 1);
    Bytes bad_crc = old;
    bad_crc[100] ^= 1; // inside the name
    Bytes after = stubtest::stored_entry("after.txt", to_bytes("after"));
    struct Case {
        const char *what;
        Bytes entry;
        bool read;
    } cases[] = {{"padded to 257", padded, true}, {"old 256-byte form", old, true}, {"256 bytes, bad CRC", bad_crc, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome r = run(archive_of({c.entry, after}));
        if (c.read) {
            EXPECT_EQ(r.out, banner() + "  extracted: " + name + "\n  extracted: after.txt\n" + kDone);
            EXPECT_EQ(testkit::read_file(path(name)), data);
            EXPECT_EQ(listing(), (std::vector<std::string>{"after.txt", name}));
        } else {
            EXPECT_EQ(r.out, banner() + kDone); // the archive's end, as for any zero byte
            EXPECT_TRUE(listing().empty());
        }
        EXPECT_EQ(r.rc, 0);
        std::remove(path(name).c_str());
        std::remove(path("after.txt").c_str());
    }
}

// The program reads the file it was loaded from (PROGDIR: and its file
// name), not a file of the same name in the current directory.
TEST_F(StubHost, ReadsItsOwnFileNotOneOfTheSameName)
{
    ASSERT_EQ(mkdir(path("c").c_str(), 0755), 0);
    testkit::write_file(path("c/game.run"), run_file(archive_of({stubtest::stored_entry("right.txt", to_bytes("r"))}), {}));
    testkit::write_file(path("game.run"), run_file(archive_of({stubtest::stored_entry("wrong.txt", to_bytes("w"))}), {}));
    set_offset(kPrefix);
    for (const char *started_as : {"game.run", "c/game.run", "Work:c/game.run"}) {
        SCOPED_TRACE(started_as);
        host_reset(dir.path().c_str(), started_as);
        host_set_progdir(path("c").c_str());
        EXPECT_EQ(sfx_main(), 0);
        EXPECT_EQ(testkit::read_text(path("right.txt")), "r");
        EXPECT_FALSE(testkit::file_exists(path("wrong.txt")));
        std::remove(path("right.txt").c_str());
    }
}

} // namespace
