// The ELF to hunk converter, on a small hand-assembled 68000 ELF file:
// relocations per target hunk, hunk-relative values, the padded layout and
// the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testkit.h"

namespace {

using testkit::Bytes;

constexpr uint32_t HEADER = 0x3F3, CODE = 0x3E9, DATA = 0x3EA, BSS = 0x3EB, RELOC32 = 0x3EC, END = 0x3F2;
constexpr uint32_t R_32 = 1, R_16 = 2, R_PC32 = 4, R_PC16 = 5;
constexpr uint16_t SHN_ABS = 0xFFF1;
constexpr uint32_t TEXT_BASE = 0, DATA_BASE = 0x40000000, BSS_BASE = 0x80000000;

void be16(Bytes &b, unsigned v)
{
    b.push_back((uint8_t)(v >> 8));
    b.push_back((uint8_t)v);
}
void be32(Bytes &b, uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}
Bytes words(std::initializer_list<uint32_t> ws)
{
    Bytes b;
    for (uint32_t w : ws)
        be32(b, w);
    return b;
}

// Images compare as text of longwords, which shows where they differ.
std::string hex_words(const Bytes &b)
{
    std::string s;
    char buf[16];
    for (size_t i = 0; i < b.size(); i += 4) {
        uint32_t w = 0;
        for (size_t k = i; k < i + 4; k++)
            w = w << 8 | (k < b.size() ? b[k] : 0);
        snprintf(buf, sizeof buf, "%x ", w);
        s += buf;
    }
    return s;
}

struct Rela {
    uint32_t offset, sym, type;
};

// Symbols of the test file: 1..3 the sections .text, .data, .bss,
// 4 an absolute symbol (the exec base at 4), 5 an undefined one.
enum { SYM_TEXT = 1, SYM_DATA, SYM_BSS, SYM_ABS, SYM_UNDEF };

struct ElfInput {
    uint32_t entry = TEXT_BASE;
    Bytes text, data;
    uint32_t bss_size = 40;
    std::vector<Rela> text_relocs, data_relocs;
};

// The program: code that calls into itself, points at data and BSS and
// reads the exec base; data that points at code and BSS.
ElfInput sample()
{
    ElfInput s;
    s.text = Bytes{
        0x4E, 0xB9, 0x00, 0x00, 0x00, 0x10,  // 0  jsr $10
        0x41, 0xF9, 0x40, 0x00, 0x00, 0x04,  // 6  lea data+4,a0
        0x43, 0xF9, 0x80, 0x00, 0x00, 0x08,  // 12 lea bss+8,a1
        0x4E, 0x75,                          // 18 rts
        0x61, 0x00, 0xFF, 0xEC,              // 20 bsr.w 8 (PC-relative, stays)
        0x2C, 0x79, 0x00, 0x00, 0x00, 0x04,  // 24 movea.l 4,a6
    };
    s.data = words({TEXT_BASE + 0x12, 0xDEADBEEF, BSS_BASE + 0x20});
    s.text_relocs = {{2, SYM_TEXT, R_32}, {8, SYM_DATA, R_32}, {14, SYM_BSS, R_32},
                     {22, SYM_TEXT, R_PC16}, {26, SYM_ABS, R_32}};
    s.data_relocs = {{DATA_BASE + 8, SYM_BSS, R_32}, {DATA_BASE + 0, SYM_TEXT, R_32}};
    return s;
}

Bytes make_elf(const ElfInput &s)
{
    // Section contents in file order; headers follow them.
    struct Sec {
        std::string name;
        uint32_t type, flags, addr, size, link, info, align, entsize;
        Bytes body;
    };
    auto rela = [](const std::vector<Rela> &rs) {
        Bytes b;
        for (const Rela &r : rs) {
            be32(b, r.offset);
            be32(b, r.sym << 8 | r.type);
            be32(b, 0);
        }
        return b;
    };
    Bytes symtab(16, 0);
    auto sym = [&](uint32_t value, uint8_t info, uint16_t shndx) {
        be32(symtab, 0);
        be32(symtab, value);
        be32(symtab, 0);
        symtab.push_back(info);
        symtab.push_back(0);
        be16(symtab, shndx);
    };
    sym(TEXT_BASE, 3, 1);
    sym(DATA_BASE, 3, 3);
    sym(BSS_BASE, 3, 5);
    sym(4, 0x10, SHN_ABS);
    sym(0, 0x10, 0);
    std::vector<Sec> secs = {
        {"", 0, 0, 0, 0, 0, 0, 0, 0, {}},
        {".text", 1, 6, TEXT_BASE, (uint32_t)s.text.size(), 0, 0, 4, 0, s.text},
        {".rela.text", 4, 0x40, 0, 0, 6, 1, 4, 12, rela(s.text_relocs)},
        {".data", 1, 3, DATA_BASE, (uint32_t)s.data.size(), 0, 0, 4, 0, s.data},
        {".rela.data", 4, 0x40, 0, 0, 6, 3, 4, 12, rela(s.data_relocs)},
        {".bss", 8, 3, BSS_BASE, s.bss_size, 0, 0, 4, 0, {}},
        {".symtab", 2, 0, 0, 0, 7, 4, 4, 16, symtab},
        {".strtab", 3, 0, 0, 0, 0, 0, 1, 0, Bytes{0}},
        {".shstrtab", 3, 0, 0, 0, 0, 0, 1, 0, {}},
    };
    Bytes names{0};
    std::vector<uint32_t> name_at;
    for (Sec &sec : secs) {
        name_at.push_back(sec.name.empty() ? 0 : (uint32_t)names.size());
        if (!sec.name.empty()) {
            names.insert(names.end(), sec.name.begin(), sec.name.end());
            names.push_back(0);
        }
    }
    secs.back().body = names;

    Bytes f = {0x7F, 'E', 'L', 'F', 1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    be16(f, 2);   // ET_EXEC
    be16(f, 4);   // EM_68K
    be32(f, 1);
    be32(f, s.entry);
    be32(f, 0);   // no program headers
    size_t shoff_at = f.size();
    be32(f, 0);
    be32(f, 0x01000000);  // m68000
    be16(f, 52);
    be16(f, 32);
    be16(f, 0);
    be16(f, 40);
    be16(f, (unsigned)secs.size());
    be16(f, (unsigned)secs.size() - 1);
    std::vector<uint32_t> offs;
    for (Sec &sec : secs) {
        while (f.size() % 4)
            f.push_back(0);
        offs.push_back((uint32_t)f.size());
        f.insert(f.end(), sec.body.begin(), sec.body.end());
        if (sec.type != 8 && sec.size == 0)
            sec.size = (uint32_t)sec.body.size();
    }
    while (f.size() % 4)
        f.push_back(0);
    uint32_t shoff = (uint32_t)f.size();
    for (int i = 0; i < 4; i++)
        f[shoff_at + i] = (uint8_t)(shoff >> (24 - 8 * i));
    for (size_t i = 0; i < secs.size(); i++) {
        const Sec &sec = secs[i];
        for (uint32_t v : {name_at[i], sec.type, sec.flags, sec.addr, offs[i], sec.size, sec.link, sec.info,
                           sec.align, sec.entsize})
            be32(f, v);
    }
    return f;
}

struct Converted {
    testkit::RunResult run;
    Bytes image;
    bool written;
};

Converted convert(const ElfInput &input, std::vector<std::string> opts = {})
{
    testkit::TempDir dir;
    testkit::write_file(dir / "in.elf", make_elf(input));
    std::vector<std::string> args{ELF2HUNK_BIN};
    args.insert(args.end(), opts.begin(), opts.end());
    args.push_back(dir / "in.elf");
    args.push_back(dir / "out");
    Converted c;
    c.run = testkit::run_program(args);
    c.written = testkit::file_exists(dir / "out");
    if (c.written)
        c.image = testkit::read_file(dir / "out");
    return c;
}

// The natural image of sample(): every relocation in the group of its
// target hunk, longwords reduced to offsets within their hunk.
Bytes natural_sample()
{
    Bytes b = words({HEADER, 0, 3, 0, 2, 8, 3, 10, CODE, 8});
    Bytes text = sample().text;
    text[8] = 0x00;    // data+4 -> 4
    text[14] = 0x00;   // bss+8 -> 8
    text.resize(32, 0);
    b.insert(b.end(), text.begin(), text.end());
    for (uint32_t w : {RELOC32, 1u, 0u, 2u, 1u, 1u, 8u, 1u, 2u, 14u, 0u, END, DATA, 3u, 0x12u, 0xDEADBEEFu,
                       0x20u, RELOC32, 1u, 0u, 0u, 1u, 2u, 8u, 0u, END, BSS, 10u, END})
        be32(b, w);
    return b;
}

TEST(Elf2Hunk, NaturalLayout)
{
    Converted c = convert(sample());
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    EXPECT_EQ(hex_words(c.image), hex_words(natural_sample()));
    EXPECT_NE(c.run.out.find("5 relocations"), std::string::npos) << c.run.out;
}

TEST(Elf2Hunk, PaddedLayoutFillsRelocationBlocksIntoThePadding)
{
    // Code 8 -> 12 longwords, its relocation block 44 -> 60 bytes (4 filler
    // entries); data 3 -> 5 longwords, block 28 -> 40 bytes (3 fillers);
    // BSS stated as 100 longwords.
    Converted c = convert(sample(), {"--code-longs", "12", "--code-reloc-bytes", "60", "--data-longs", "5",
                                     "--data-reloc-bytes", "40", "--bss-longs", "100"});
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    EXPECT_EQ(c.run.err, "");
    Bytes expect = words({HEADER, 0, 3, 0, 2, 12, 5, 100, CODE, 12});
    Bytes text = natural_sample();
    expect.insert(expect.end(), text.begin() + 40, text.begin() + 72);
    for (uint32_t w : {0u, 0u, 0u, 0u,
                       // code: fillers join the code's own group, spread over bytes 32..47
                       RELOC32, 5u, 0u, 2u, 32u, 36u, 40u, 44u, 1u, 1u, 8u, 1u, 2u, 14u, 0u, END,
                       DATA, 5u, 0x12u, 0xDEADBEEFu, 0x20u, 0u, 0u,
                       // data: no own group, so the fillers join the first (code)
                       RELOC32, 3u, 0u, 0u, 12u, 16u, 1u, 2u, 8u, 0u, END, BSS, 100u, END})
        be32(expect, w);
    EXPECT_EQ(hex_words(c.image), hex_words(expect));
}

TEST(Elf2Hunk, LayoutThatCannotBeMetKeepsTheNaturalOne)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--code-longs", "7"},                        // the code needs 8
        {"--code-reloc-bytes", "40"},                 // the relocations need 44
        {"--code-reloc-bytes", "48"},                 // filler needs padding, there is none
        {"--data-longs", "4", "--data-reloc-bytes", "30"},  // not a multiple of 4
        {"--bss-longs", "9"},                         // BSS needs 10
    };
    for (const auto &opts : cases) {
        Converted c = convert(sample(), opts);
        EXPECT_EQ(c.run.status, 0) << opts[0];
        EXPECT_NE(c.run.err.find("keeping the natural layout"), std::string::npos) << opts[0] << c.run.err;
        EXPECT_EQ(hex_words(c.image), hex_words(natural_sample())) << opts[0];
    }
}

TEST(Elf2Hunk, RefusesWhatTheLoaderCannotRelocate)
{
    struct Case {
        const char *what;
        ElfInput input;
        const char *message;
    };
    std::vector<Case> cases;
    ElfInput s = sample();
    s.entry = 6;
    cases.push_back({"entry", s, "entry point"});
    s = sample();
    s.text_relocs.push_back({22, SYM_DATA, R_PC16});
    cases.push_back({"pc16 across", s, "PC-relative reference to another section"});
    s = sample();
    s.text_relocs.push_back({2, SYM_BSS, R_PC32});
    cases.push_back({"pc32 across", s, "PC-relative reference to another section"});
    s = sample();
    s.text_relocs.push_back({8, SYM_DATA, R_16});
    cases.push_back({"16-bit absolute", s, "unsupported relocation type 2"});
    s = sample();
    s.text_relocs.push_back({8, SYM_UNDEF, R_32});
    cases.push_back({"undefined", s, "undefined symbol"});
    s = sample();
    s.text_relocs.push_back({40, SYM_DATA, R_32});
    cases.push_back({"outside", s, "outside its section"});
    for (const Case &c : cases) {
        Converted r = convert(c.input);
        EXPECT_EQ(r.run.status, 1) << c.what;
        EXPECT_NE(r.run.err.find(c.message), std::string::npos) << c.what << ": " << r.run.err;
        EXPECT_FALSE(r.written) << c.what;
    }

    testkit::TempDir dir;
    testkit::write_text(dir / "not.elf", "#!/bin/sh\necho not an ELF file\n");
    auto r = testkit::run_program({ELF2HUNK_BIN, dir / "not.elf", dir / "out"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not an ELF file"), std::string::npos) << r.err;
}

} // namespace
