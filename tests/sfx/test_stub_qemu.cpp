// The self-extractor cross-compiled for the plain 68000: the static
// instruction check of the AmigaOS build, and the same extraction logic run
// as an m68k Linux program under qemu-m68k -cpu m68000 on ".run" files.
// Missing tools make these tests fail, never pass silently.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "stub_test_archive.h"
#include "testkit.h"

namespace {

using stubtest::Bytes;
using stubtest::to_bytes;
using testkit::TempDir;

const std::string kSource = TMB_SOURCE_DIR;

bool on_path(const std::string &tool)
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string cand = dirs.substr(start, end - start) + "/" + tool;
        if (access(cand.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

#define REQUIRE_TOOL(tool)                                                                          \
    ASSERT_TRUE(on_path(tool)) << (tool) << " not found: install the m68k cross tools and qemu "   \
                                            "(sh scripts/install-deps.sh)"

// Cross-builds the stub into `dir` with stub/build.sh.
void build_stub(const std::string &dir)
{
    REQUIRE_TOOL("m68k-linux-gnu-gcc");
    testkit::RunResult r = testkit::run_program({"/bin/sh", kSource + "/stub/build.sh", dir});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

std::string banner_of(const std::string &out)
{
    // the banner ends with its blank line
    size_t end = out.find("\n\n");
    return end == std::string::npos ? "" : out.substr(0, end + 2);
}

TEST(StubCross, BuildPassesThe68000CheckAndIsReproducible)
{
    TempDir a, b;
    ASSERT_NO_FATAL_FAILURE(build_stub(a.path()));
    ASSERT_NO_FATAL_FAILURE(build_stub(b.path()));
    testkit::RunResult r = testkit::run_program({"/bin/sh", kSource + "/stub/check68000.sh", a.path()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("check68000: OK"), std::string::npos) << r.out;
    std::cout << r.out;
    EXPECT_EQ(testkit::read_file(a / "tmb_stub.elf"), testkit::read_file(b / "tmb_stub.elf"));
}

// The check must not be one that always passes: each rule on code that
// breaks it.
TEST(StubCross, CheckRejectsCodeA68000CannotRun)
{
    struct Case {
        const char *what, *code, *as_cpu, *complaint;
    } cases[] = {
        {"68020 object", "    bra.l 1f\n1:  rts\n", "-m68020", "is not flagged m68000"},
        {"odd stack access", "    move.l 3(%sp),%d0\n    rts\n", "-m68000", "odd stack offset"},
        // ".tmp" written at once behind a name that may end at an odd address
        {"merged text store", "    move.l #0x2e746d70,2(%a1)\n    rts\n", "-m68000", "store of text bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir a;
        ASSERT_NO_FATAL_FAILURE(build_stub(a.path()));
        testkit::write_text(a / "bad.s", std::string("    .text\n") + c.code);
        testkit::RunResult r = testkit::run_program(
            {"/usr/bin/env", "m68k-linux-gnu-as", c.as_cpu, a / "bad.s", "-o", a / "obj/bad.o"});
        ASSERT_EQ(r.status, 0) << r.err;
        r = testkit::run_program({"/bin/sh", kSource + "/stub/check68000.sh", a.path()});
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find(c.complaint), std::string::npos) << r.err;
    }
}

// The arithmetic helpers of stub/src/rt68k.c against the host's operators:
// a small m68k program runs each operation on pairs of values and prints
// the results in hex.
TEST(StubCross, ArithmeticHelpersMatchTheHost)
{
    REQUIRE_TOOL("qemu-m68k");
    TempDir a;
    ASSERT_NO_FATAL_FAILURE(build_stub(a.path()));
    const std::vector<std::pair<uint32_t, uint32_t>> pairs = {
        {0, 1}, {1, 1}, {10, 3}, {0xFFFFFFFFu, 1}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {0x12345678u, 0x9ABCu},
        {0x80000000u, 7}, {65536, 65536}, {0xDEADBEE0u + 15, 0x10001u}, {123456789u, 0x7FFFFFFFu},
        {0xFFFF0000u, 0xFFFFu}, {5, 0xFFFFFFFBu} /* -5 */};
    std::string src = "typedef unsigned long u32; typedef long s32;\n"
                      "static const u32 v[] = {";
    for (auto &p : pairs)
        src += std::to_string(p.first) + "u," + std::to_string(p.second) + "u,";
    src += "};\n"
           "static void out(u32 x) { char b[9]; int i; for (i = 7; i >= 0; i--, x >>= 4)"
           " b[i] = \"0123456789abcdef\"[x & 15]; b[8] = '\\n';"
           " register long d0 __asm__(\"d0\") = 4; register long d1 __asm__(\"d1\") = 1;"
           " register long d2 __asm__(\"d2\") = (long)b; register long d3 __asm__(\"d3\") = 9;"
           " __asm__ volatile(\"trap #0\" : \"+r\"(d0) : \"r\"(d1), \"r\"(d2), \"r\"(d3) : \"memory\"); }\n"
           "void _start(void) { unsigned i; for (i = 0; i < sizeof v / sizeof v[0]; i += 2) {"
           " volatile u32 x = v[i], y = v[i + 1];"
           " out(x * y); out(x / y); out(x % y); out((u32)((s32)x / (s32)y)); out((u32)((s32)x % (s32)y)); }"
           " register long d0 __asm__(\"d0\") = 1; register long d1 __asm__(\"d1\") = 0;"
           " __asm__ volatile(\"trap #0\" :: \"r\"(d0), \"r\"(d1)); for (;;) ; }\n";
    testkit::write_text(a / "arith.c", src);
    testkit::RunResult r = testkit::run_program(
        {"/usr/bin/env", "m68k-linux-gnu-gcc", "-m68000", "-Os", "-ffreestanding", "-nostdlib", "-static", "-no-pie",
         "-fno-pic", "-fomit-frame-pointer", "-o", a / "arith.elf", a / "arith.c", a / "obj-linux/rt68k.o"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = testkit::run_program({"/usr/bin/env", "qemu-m68k", "-cpu", "m68000", a / "arith.elf"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expect;
    char line[16];
    for (auto &p : pairs) {
        uint32_t x = p.first, y = p.second;
        int32_t sx = (int32_t)x, sy = (int32_t)y;
        bool overflow = sx == INT32_MIN && sy == -1;
        for (uint32_t v : {x * y, x / y, x % y, overflow ? x : (uint32_t)(sx / sy), overflow ? 0u : (uint32_t)(sx % sy)}) {
            snprintf(line, sizeof line, "%08x\n", v);
            expect += line;
        }
    }
    EXPECT_EQ(r.out, expect);
}

// ---- runs under qemu ----

class StubQemu : public ::testing::Test {
protected:
    TempDir build, work;
    std::string elf;

    void SetUp() override
    {
        REQUIRE_TOOL("qemu-m68k");
        ASSERT_NO_FATAL_FAILURE(build_stub(build.path()));
        elf = build / "tmb_stub_linux.elf";
    }

    testkit::RunResult extract(const std::string &run_file, uint32_t offset, const std::string &input = "")
    {
        testkit::RunOptions opt;
        opt.cwd = work.path();
        opt.input = input;
        return testkit::run_program({"/usr/bin/env", "qemu-m68k", "-cpu", "m68000", elf, run_file,
                                     std::to_string(offset)},
                                    opt);
    }
};

TEST_F(StubQemu, ExtractsByteBuiltArchives)
{
    Bytes text = stubtest::sample_data(30000, 11);
    Bytes far = stubtest::sample_data(40000, 12);
    far.insert(far.end(), far.begin(), far.end());
    Bytes archive;
    for (const Bytes &e : {stubtest::stored_entry("docs/", {}), stubtest::stored_entry("docs\\read.me", to_bytes("hi\n")),
                           stubtest::compressed_entry("p5.txt", 5, text), stubtest::compressed_entry("p6.txt", 6, text, 900),
                           stubtest::compressed_entry("d/p7.bin", 7, far), stubtest::stored_entry("old.txt", to_bytes("new")),
                           stubtest::stored_entry("RAM:x", to_bytes("x"))})
        archive.insert(archive.end(), e.begin(), e.end());
    archive.insert(archive.end(), {0, 0});
    Bytes file(1001 + archive.size(), 0x4E);
    std::copy(archive.begin(), archive.end(), file.begin() + 1001);
    testkit::write_file(work / "game.run", file);
    testkit::write_text(work / "old.txt", "old");
    // This build has its window below 64 KB, as an Amiga may load it: the
    // matches of d/p7.bin that reach back across the window's start must
    // not step below address 0.
    testkit::RunResult nm = testkit::run_program(
        {"/bin/sh", "-c", "m68k-linux-gnu-nm '" + elf + "' | awk '$3 == \"s_window\" {print $1}'"});
    ASSERT_EQ(nm.status, 0) << nm.err;
    EXPECT_LT(std::stoul(nm.out, nullptr, 16), 0x10000u) << nm.out;

    testkit::RunResult r = extract("game.run", 1001, "y\n");
    std::string banner = banner_of(r.out);
    ASSERT_FALSE(banner.empty()) << r.out;
    EXPECT_EQ(banner.substr(0, 56), "TAMBRIX SFX -- 68000 compatible self-extracting archive\n");
    EXPECT_EQ(r.out.substr(banner.size()),
              "  extracted: docs\\read.me\n"
              "  extracting: p5.txt   [..........] OK\n"
              "  extracting: p6.txt   [..........] OK\n"
              "  extracting: d/p7.bin   [..........] OK\n"
              "  overwrite old.txt? [y]es [n]o [A]ll [N]one: \n"
              "  extracted: old.txt\n"
              "SFX: Skipped, name leaves the current directory: RAM:x\n"
              "\nDone.\n");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(testkit::read_text(work / "docs/read.me"), "hi\n");
    EXPECT_EQ(testkit::read_file(work / "p5.txt"), text);
    EXPECT_EQ(testkit::read_file(work / "p6.txt"), text);
    EXPECT_EQ(testkit::read_file(work / "d/p7.bin"), far);
    EXPECT_EQ(testkit::read_text(work / "old.txt"), "new");
    EXPECT_FALSE(testkit::file_exists(work / "RAM:x"));
}

uint32_t be32(const Bytes &b, size_t at)
{
    return (uint32_t)b.at(at) << 24 | (uint32_t)b.at(at + 1) << 16 | (uint32_t)b.at(at + 2) << 8 | b.at(at + 3);
}

// Walks the hunks of a ".run" file to its data hunk; returns the offset of
// the data hunk's contents, or 0 when there is none.
size_t data_contents(const Bytes &f)
{
    if (f.size() < 24 || be32(f, 0) != 0x3F3)
        return 0;
    size_t pos = 20 + 4 * (size_t)be32(f, 8);
    while (pos + 8 <= f.size()) {
        uint32_t type = be32(f, pos);
        if (type == 0x3EA)
            return pos + 8;
        if (type == 0x3E9) {
            pos += 8 + 4 * (size_t)(be32(f, pos + 4) & 0x3FFFFFFF);
        } else if (type == 0x3EC) {
            pos += 4;
            for (uint32_t n; (n = be32(f, pos)) != 0;)
                pos += 8 + 4 * (size_t)n;
            pos += 4;
        } else if (type == 0x3F2) {
            pos += 4;
        } else {
            return 0;
        }
    }
    return 0;
}

TEST_F(StubQemu, ExtractsRunFilesMadeByTheArchiver)
{
    Bytes text = stubtest::sample_data(20000, 21);
    Bytes bin = stubtest::sample_data(70000, 22);
    testkit::write_file(work / "plain.txt", to_bytes("stored as it is\n"));
    testkit::write_file(work / "text.txt", text);
    testkit::write_file(work / "big.bin", bin);
    struct Case {
        const char *option, *id;
    } cases[] = {{"-lh0", "0"}, {"-lh5", "5"}, {"-lh6", "6"}, {"-lh7", "7"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option);
        TempDir out;
        testkit::RunOptions opt;
        opt.cwd = work.path();
        std::string arc = out / (std::string("m") + c.id + ".tmb");
        testkit::RunResult made = testkit::run_tambrix({"a", "-sfx", c.option, arc, "plain.txt", "text.txt", "big.bin"}, opt);
        ASSERT_EQ(made.status, 0) << made.out << made.err;
        std::string run_file = out / (std::string("m") + c.id + ".run");
        Bytes f = testkit::read_file(run_file);
        size_t contents = data_contents(f);
        ASSERT_NE(contents, 0u) << "no data hunk in " << run_file;
        uint32_t offset = be32(f, contents + 12);
        EXPECT_EQ(offset, contents + 44);

        testkit::RunOptions in_out;
        in_out.cwd = out.path();
        testkit::RunResult r = testkit::run_program(
            {"/usr/bin/env", "qemu-m68k", "-cpu", "m68000", elf, run_file, std::to_string(offset)}, in_out);
        std::string banner = banner_of(r.out);
        std::string expect = c.id[0] == '0' ? "  extracted: plain.txt\n  extracted: text.txt\n  extracted: big.bin\n"
                                            : "  extracted: plain.txt\n"
                                              "  extracting: text.txt   [..........] OK\n"
                                              "  extracting: big.bin   [..........] OK\n";
        EXPECT_EQ(r.out.substr(banner.size()), expect + "\nDone.\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(testkit::read_file(out / "plain.txt"), to_bytes("stored as it is\n"));
        EXPECT_EQ(testkit::read_file(out / "text.txt"), text);
        EXPECT_EQ(testkit::read_file(out / "big.bin"), bin);
    }
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Hostile and unusual archives on the 68000 build: each case asserts the
// status, the messages and the files afterwards. A file "old.txt" exists
// before every run and must survive every failure.
TEST_F(StubQemu, HostileArchivesAndLongHeaders)
{
    auto stored = [](const std::string &name) { return stubtest::stored_entry(name, to_bytes("by " + name)); };
    Bytes first = stored("first.txt"), second = stored("second.txt");
    Bytes wrap = second; // a packed size that takes the position back to this header
    uint32_t header = (uint32_t)(second.size() - 13);
    for (int k = 0; k < 4; k++)
        wrap[7 + k] = (uint8_t)((0u - header) >> (8 * k));
    Bytes text = stubtest::sample_data(30000, 3);
    Bytes packed = stubtest::compress(text, 6);
    Bytes cut_data(packed.begin(), packed.begin() + 500);
    const std::string long_name = std::string(218, 'n') + ".txt";
    Bytes data = to_bytes("long");
    const std::string ask = "  overwrite old\\.txt\\? \\[y\\]es \\[n\\]o \\[A\\]ll \\[N\\]one: \n";
    struct Case {
        const char *what;
        Bytes archive;      // without the end marker
        long size_limit;    // bytes a file may take, -1: no limit
        int status;
        std::string want;   // a regular expression for the output after the banner
        std::vector<std::string> made;
    } cases[] = {
        {"wrapping size", first + wrap, -1, 5, "  extracted: first\\.txt\nSFX: Damaged archive: data past its end\n",
         {"first.txt"}},
        {"bomb", stubtest::lv2_entry("bomb.bin", "-lh7-", Bytes{0, 1, 0, 0, 0}, 0xFFFFFFFFu, 0), -1, 5,
         "  extracting: bomb\\.bin   \\[\\] DAMAGED\n", {}},
        {"level-0 header", Bytes{22, 0, '-', 'l', 'h', '0', '-', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 1, 'x', 0, 0, 'x'},
         -1, 5, "SFX: Damaged archive: not a level-2 header\n", {}},
        {"unknown method", stubtest::lv2_entry("odd.bin", "-lzs-", to_bytes("12345"), 5, 0) + first, -1, 5,
         "SFX: Unknown method, skipped: odd\\.bin\n  extracted: first\\.txt\n", {"first.txt"}},
        {"damaged data over a file", stubtest::lv2_entry("old.txt", "-lh6-", cut_data, 30000, stubtest::crc16(text)), -1,
         5, ask + "  extracting: old\\.txt   \\[\\.*\\] DAMAGED\n", {}},
        {"full disk over a file", stubtest::lv2_entry("old.txt", "-lh6-", packed, 30000, stubtest::crc16(text)) + first,
         20000, 5, ask + "  extracting: old\\.txt   \\[\\.*\\] WRITE ERROR\n  extracted: first\\.txt\n",
         {"first.txt"}},
        {"control bytes", stored("a\nDone.\x9b.txt"), -1, 0, "  extracted: a\\\\012Done\\.\\\\233\\.txt\n",
         {"a\nDone.\x9b.txt"}},
        {"256-byte headers, padded and old", stubtest::crc_entry(long_name, "-lh0-", data, 4, stubtest::crc16(data), 1) +
                                                 stubtest::crc_entry("x" + long_name.substr(1), "-lh0-", data, 4,
                                                                     stubtest::crc16(data), 0) + first,
         -1, 0, "  extracted: n{218}\\.txt\n  extracted: xn{217}\\.txt\n  extracted: first\\.txt\n",
         {"first.txt", long_name, "x" + long_name.substr(1)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run_dir;
        Bytes archive = c.archive;
        archive.insert(archive.end(), {0, 0});
        Bytes file(1001 + archive.size(), 0x4E);
        std::copy(archive.begin(), archive.end(), file.begin() + 1001);
        testkit::write_file(build / "case.run", file);
        testkit::write_text(run_dir / "old.txt", "old");
        testkit::RunOptions opt;
        opt.cwd = run_dir.path();
        opt.input = "y\n";
        opt.file_size_limit = c.size_limit;
        testkit::RunResult r = testkit::run_program(
            {"/usr/bin/env", "qemu-m68k", "-cpu", "m68000", elf, build / "case.run", "1001"}, opt);
        std::string after = r.out.substr(banner_of(r.out).size());
        EXPECT_TRUE(std::regex_match(after, std::regex(c.want + "\nDone\\.\n"))) << after;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(testkit::read_text(run_dir / "old.txt"), "old");
        for (const std::string &name : c.made)
            EXPECT_TRUE(testkit::file_exists(run_dir / name)) << name;
        testkit::RunResult ls = testkit::run_program(
            {"/bin/sh", "-c", "find '" + run_dir.path() + "' -mindepth 1 -maxdepth 1 -printf x | wc -c"});
        EXPECT_EQ(std::stoul(ls.out), c.made.size() + 1) << "no file beyond these and old.txt";
    }
}

} // namespace
