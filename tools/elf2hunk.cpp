// elf2hunk: turns the extractor's linked 68000 ELF file into an AmigaOS
// hunk executable.
//
// The input is linked once with --emit-relocs and a linker script that puts
// .text (code and read-only data), .data and .bss at three distinct base
// addresses, so every absolute address in the image says which section it
// belongs to. Each section becomes one hunk:
//
//   HUNK_HEADER   0x3F3, 0 (no resident libraries), 3 sizes, hunks 0 to 2
//   HUNK_CODE     0x3E9, size in longwords, contents     (hunk 0, .text)
//   HUNK_RELOC32  0x3EC, groups (count, target hunk, offsets), 0
//   HUNK_END      0x3F2
//   HUNK_DATA     0x3EA, size, contents + HUNK_RELOC32 + HUNK_END (hunk 1)
//   HUNK_BSS      0x3EB, size + HUNK_END                  (hunk 2, .bss)
//
// An R_68K_32 relocation names a longword that holds an absolute address.
// The linker has already stored "target section base + offset" there; the
// hunk file must hold only the offset and list the place in a HUNK_RELOC32
// group of the target hunk, so that the loader adds that hunk's load address.
//
// Optionally the image is padded to a fixed layout: the code and data hunks
// grow by zero longwords, their relocation blocks are filled to a given
// length with entries that point into that padding (the loader adds a base
// address to longwords that nothing ever reads), and the BSS size is stated
// as asked. When the program does not fit the requested layout the natural
// one is written and a note says why.
//
// Usage: elf2hunk [--code-longs N] [--code-reloc-bytes N] [--data-longs N]
//                 [--data-reloc-bytes N] [--bss-longs N] input.elf output

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t HUNK_HEADER = 0x3F3;
constexpr uint32_t HUNK_CODE = 0x3E9;
constexpr uint32_t HUNK_DATA = 0x3EA;
constexpr uint32_t HUNK_BSS = 0x3EB;
constexpr uint32_t HUNK_RELOC32 = 0x3EC;
constexpr uint32_t HUNK_END = 0x3F2;

// ELF constants used here (32-bit, big-endian, Motorola 68000).
constexpr int EM_68K = 4;
constexpr int ET_EXEC = 2;
constexpr uint32_t SHT_RELA = 4;
constexpr uint32_t SHT_NOBITS = 8;
constexpr uint32_t SHF_ALLOC = 2;
constexpr uint16_t SHN_UNDEF = 0;
constexpr uint16_t SHN_ABS = 0xFFF1;
constexpr uint32_t R_68K_NONE = 0;
constexpr uint32_t R_68K_32 = 1;
constexpr uint32_t R_68K_PC32 = 4;
constexpr uint32_t R_68K_PC16 = 5;
constexpr uint32_t R_68K_PC8 = 6;

struct Failure {
    std::string what;
};

[[noreturn]] void fail(const std::string &what)
{
    throw Failure{what};
}

uint32_t be32(const Bytes &b, size_t at)
{
    if (at > b.size() || b.size() - at < 4)
        fail("truncated ELF file");
    return (uint32_t)b[at] << 24 | (uint32_t)b[at + 1] << 16 | (uint32_t)b[at + 2] << 8 | b[at + 3];
}

uint16_t be16(const Bytes &b, size_t at)
{
    if (at > b.size() || b.size() - at < 2)
        fail("truncated ELF file");
    return (uint16_t)(b[at] << 8 | b[at + 1]);
}

void put32(Bytes &out, uint32_t v)
{
    out.push_back((uint8_t)(v >> 24));
    out.push_back((uint8_t)(v >> 16));
    out.push_back((uint8_t)(v >> 8));
    out.push_back((uint8_t)v);
}

struct Section {
    std::string name;
    uint32_t name_at;  // offset of the name in the section name table
    uint32_t type, flags, addr, offset, size, link, info, entsize;
};

// One hunk in the making: its contents (empty for BSS), its size in bytes,
// and its relocations grouped by target hunk.
struct Hunk {
    Bytes contents;
    uint32_t size = 0;
    std::map<uint32_t, std::vector<uint32_t>> relocs;
};

struct Layout {
    long code_longs = -1, code_reloc_bytes = -1;
    long data_longs = -1, data_reloc_bytes = -1;
    long bss_longs = -1;
    bool any() const
    {
        return code_longs >= 0 || code_reloc_bytes >= 0 || data_longs >= 0 ||
               data_reloc_bytes >= 0 || bss_longs >= 0;
    }
};

struct Elf {
    Bytes file;
    uint32_t entry = 0;
    std::vector<Section> sections;
    int hunk_of_section(size_t index) const;
};

// Which hunk a section of the linked file becomes: .text 0, .data 1, .bss 2.
int Elf::hunk_of_section(size_t index) const
{
    if (index >= sections.size())
        return -1;
    const std::string &n = sections[index].name;
    if (n == ".text")
        return 0;
    if (n == ".data")
        return 1;
    if (n == ".bss")
        return 2;
    return -1;
}

Elf read_elf(const char *path)
{
    Elf elf;
    FILE *fp = fopen(path, "rb");
    if (!fp)
        fail(std::string("cannot open ") + path + ": " + strerror(errno));
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, fp)) > 0)
        elf.file.insert(elf.file.end(), chunk, chunk + got);
    bool bad = ferror(fp);
    fclose(fp);
    if (bad)
        fail(std::string("cannot read ") + path);

    const Bytes &f = elf.file;
    if (f.size() < 52 || memcmp(f.data(), "\x7f" "ELF", 4) != 0)
        fail("not an ELF file");
    if (f[4] != 1 || f[5] != 2)
        fail("not a 32-bit big-endian ELF file");
    if (be16(f, 18) != EM_68K)
        fail("not a 68000 ELF file");
    if (be16(f, 16) != ET_EXEC)
        fail("not a linked executable");
    elf.entry = be32(f, 24);
    uint32_t shoff = be32(f, 32);
    uint16_t shentsize = be16(f, 46), shnum = be16(f, 48), shstrndx = be16(f, 50);
    if (shentsize < 40 || shstrndx >= shnum)
        fail("bad section header table");
    for (unsigned i = 0; i < shnum; i++) {
        size_t at = (size_t)shoff + (size_t)i * shentsize;
        Section s;
        s.name_at = be32(f, at);
        s.type = be32(f, at + 4);
        s.flags = be32(f, at + 8);
        s.addr = be32(f, at + 12);
        s.offset = be32(f, at + 16);
        s.size = be32(f, at + 20);
        s.link = be32(f, at + 24);
        s.info = be32(f, at + 28);
        s.entsize = be32(f, at + 36);
        if (s.type != SHT_NOBITS && (s.offset > f.size() || f.size() - s.offset < s.size))
            fail("section outside the file");
        elf.sections.push_back(s);
    }
    const Section &strs = elf.sections[shstrndx];
    for (Section &s : elf.sections) {
        if (s.name_at >= strs.size)
            fail("bad section name");
        const char *p = (const char *)f.data() + strs.offset + s.name_at;
        s.name.assign(p, strnlen(p, strs.size - s.name_at));
    }
    return elf;
}

// Builds the three hunks from the sections and their relocations.
std::vector<Hunk> make_hunks(const Elf &elf)
{
    std::vector<Hunk> hunks(3);
    int found[3] = {-1, -1, -1};
    for (size_t i = 0; i < elf.sections.size(); i++) {
        const Section &s = elf.sections[i];
        int h = elf.hunk_of_section(i);
        if (h >= 0) {
            found[h] = (int)i;
            hunks[h].size = s.size;
            if (s.type != SHT_NOBITS)
                hunks[h].contents.assign(elf.file.begin() + s.offset,
                                         elf.file.begin() + s.offset + s.size);
        } else if ((s.flags & SHF_ALLOC) && s.size > 0) {
            fail("section " + s.name + " is neither .text, .data nor .bss");
        }
    }
    if (found[0] < 0)
        fail("no .text section");
    if (elf.entry != elf.sections[found[0]].addr)
        fail("the entry point is not the first byte of .text");
    if (found[2] >= 0 && !hunks[2].contents.empty())
        fail(".bss holds contents");
    for (int h = 0; h < 3; h++)
        hunks[h].contents.resize((hunks[h].size + 3) & ~3u, 0);
    if (!hunks[2].contents.empty())
        hunks[2].contents.clear();

    for (const Section &rs : elf.sections) {
        if (rs.type != SHT_RELA)
            continue;
        int h = elf.hunk_of_section(rs.info);
        if (h < 0)
            continue; // relocations of debugging sections do not matter
        if (h == 2)
            fail("relocations against .bss");
        const Section &place_sec = elf.sections[rs.info];
        if (rs.link >= elf.sections.size())
            fail("bad symbol table link");
        const Section &symtab = elf.sections[rs.link];
        if (rs.entsize != 12)
            fail("unexpected relocation entry size");
        for (uint32_t at = 0; at + 12 <= rs.size; at += 12) {
            size_t e = (size_t)rs.offset + at;
            uint32_t r_offset = be32(elf.file, e);
            uint32_t r_info = be32(elf.file, e + 4);
            uint32_t type = r_info & 0xFF, sym = r_info >> 8;
            if (type == R_68K_NONE)
                continue;
            if ((uint64_t)(sym + 1) * 16 > symtab.size)
                fail("relocation names a missing symbol");
            uint16_t shndx = be16(elf.file, symtab.offset + sym * 16 + 14);
            uint32_t place = r_offset - place_sec.addr;
            char where[64];
            snprintf(where, sizeof where, " at %s+0x%x", place_sec.name.c_str(), place);
            if (place >= place_sec.size)
                fail(std::string("relocation outside its section") + where);
            if (type == R_68K_PC32 || type == R_68K_PC16 || type == R_68K_PC8) {
                // Resolved by the linker; right only within one section.
                if (shndx != SHN_ABS && elf.hunk_of_section(shndx) != h)
                    fail(std::string("PC-relative reference to another section") + where);
                continue;
            }
            if (type != R_68K_32)
                fail("unsupported relocation type " + std::to_string(type) + where);
            if (shndx == SHN_ABS)
                continue; // an absolute address, such as 4 for the exec base
            if (shndx == SHN_UNDEF)
                fail(std::string("relocation against an undefined symbol") + where);
            int target = elf.hunk_of_section(shndx);
            if (target < 0)
                fail(std::string("relocation into an unknown section") + where);
            if (place % 2 != 0 || place + 4 > hunks[h].contents.size())
                fail(std::string("misplaced relocation") + where);
            // The longword holds base + offset; keep the offset only.
            uint8_t *p = &hunks[h].contents[place];
            uint32_t value = (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
            uint32_t offset = value - elf.sections[shndx].addr;
            p[0] = (uint8_t)(offset >> 24);
            p[1] = (uint8_t)(offset >> 16);
            p[2] = (uint8_t)(offset >> 8);
            p[3] = (uint8_t)offset;
            hunks[h].relocs[(uint32_t)target].push_back(place);
        }
    }
    for (Hunk &hk : hunks)
        for (auto &g : hk.relocs)
            std::sort(g.second.begin(), g.second.end());
    return hunks;
}

// Length in bytes of a hunk's HUNK_RELOC32 block: type word, the groups
// (count, target, offsets), the terminating 0. 0 when there is none.
size_t reloc_block_bytes(const Hunk &h)
{
    if (h.relocs.empty())
        return 0;
    size_t n = 8;
    for (const auto &g : h.relocs)
        n += 8 + 4 * g.second.size();
    return n;
}

// Grows a hunk to `longs` longwords of contents and its relocation block to
// `reloc_bytes`, the extra entries pointing into the padding. `self` is the
// hunk's own number (the target of a new group when one is needed).
// Returns an empty string on success, else why it cannot be done.
std::string pad_hunk(Hunk &h, uint32_t self, long longs, long reloc_bytes, const char *what)
{
    size_t used = h.contents.size();
    if (longs >= 0) {
        if ((size_t)longs * 4 < used)
            return std::string(what) + " needs " + std::to_string(used) + " bytes, more than " +
                   std::to_string(longs * 4);
        h.contents.resize((size_t)longs * 4, 0);
        h.size = (uint32_t)h.contents.size();
    }
    if (reloc_bytes < 0)
        return "";
    size_t have = h.relocs.empty() ? 8 : reloc_block_bytes(h);
    if ((size_t)reloc_bytes < have)
        return std::string(what) + " relocations need " + std::to_string(have) + " bytes, more than " +
               std::to_string(reloc_bytes);
    size_t extra = (size_t)reloc_bytes - have;
    if (extra % 4 != 0)
        return std::string(what) + " relocation block length is not a multiple of 4";
    if (extra == 0)
        return "";
    std::vector<uint32_t> *group;
    if (h.relocs.empty()) {
        if (extra < 12)
            return std::string(what) + " relocation block cannot be filled to " + std::to_string(reloc_bytes);
        extra -= 8;
        group = &h.relocs[self];
    } else {
        group = h.relocs.count(self) ? &h.relocs[self] : &h.relocs.begin()->second;
    }
    size_t free_from = (used + 3) & ~size_t(3);
    size_t free_longs = (h.contents.size() - free_from) / 4;
    if (free_longs == 0)
        return std::string(what) + " has no padding for filler relocations";
    // Spread the entries over the padding in ascending order.
    size_t count = extra / 4;
    for (size_t k = 0; k < count; k++)
        group->push_back((uint32_t)(free_from + 4 * (k * free_longs / count)));
    return "";
}

void emit_relocs(Bytes &out, const Hunk &h, bool always)
{
    if (h.relocs.empty() && !always)
        return;
    put32(out, HUNK_RELOC32);
    for (const auto &g : h.relocs) {
        put32(out, (uint32_t)g.second.size());
        put32(out, g.first);
        for (uint32_t off : g.second)
            put32(out, off);
    }
    put32(out, 0);
}

Bytes write_image(const std::vector<Hunk> &hunks, uint32_t bss_longs, bool always_relocs)
{
    Bytes out;
    uint32_t longs[3] = {(uint32_t)hunks[0].contents.size() / 4, (uint32_t)hunks[1].contents.size() / 4,
                         bss_longs};
    put32(out, HUNK_HEADER);
    put32(out, 0);
    put32(out, 3);
    put32(out, 0);
    put32(out, 2);
    for (uint32_t l : longs)
        put32(out, l);
    const uint32_t types[2] = {HUNK_CODE, HUNK_DATA};
    for (int i = 0; i < 2; i++) {
        put32(out, types[i]);
        put32(out, longs[i]);
        out.insert(out.end(), hunks[i].contents.begin(), hunks[i].contents.end());
        emit_relocs(out, hunks[i], always_relocs);
        put32(out, HUNK_END);
    }
    put32(out, HUNK_BSS);
    put32(out, bss_longs);
    put32(out, HUNK_END);
    return out;
}

long parse_number(const char *opt, const char *text)
{
    char *end;
    errno = 0;
    long v = strtol(text, &end, 0);
    if (errno || *end || v < 0 || v > 0x3FFFFFFF)
        fail(std::string("bad number for ") + opt + ": " + text);
    return v;
}

int run(int argc, char **argv)
{
    Layout want;
    std::vector<const char *> names;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        long *slot = a == "--code-longs"        ? &want.code_longs
                     : a == "--code-reloc-bytes" ? &want.code_reloc_bytes
                     : a == "--data-longs"       ? &want.data_longs
                     : a == "--data-reloc-bytes" ? &want.data_reloc_bytes
                     : a == "--bss-longs"        ? &want.bss_longs
                                                 : nullptr;
        if (slot) {
            if (i + 1 >= argc)
                fail("missing value for " + a);
            *slot = parse_number(argv[i], argv[i + 1]);
            i++;
        } else if (a.size() > 1 && a[0] == '-') {
            fail("unknown option " + a);
        } else {
            names.push_back(argv[i]);
        }
    }
    if (names.size() != 2) {
        fputs("usage: elf2hunk [--code-longs N] [--code-reloc-bytes N] [--data-longs N]\n"
              "                [--data-reloc-bytes N] [--bss-longs N] input.elf output\n",
              stderr);
        return 2;
    }

    Elf elf = read_elf(names[0]);
    std::vector<Hunk> natural = make_hunks(elf);
    uint32_t bss_natural = (natural[2].size + 3) / 4;
    Bytes image;
    std::vector<Hunk> padded = natural;
    std::string why;
    if (want.any()) {
        why = pad_hunk(padded[0], 0, want.code_longs, want.code_reloc_bytes, "code");
        if (why.empty())
            why = pad_hunk(padded[1], 1, want.data_longs, want.data_reloc_bytes, "data");
        if (why.empty() && want.bss_longs >= 0 && (uint32_t)want.bss_longs < bss_natural)
            why = "bss needs " + std::to_string(bss_natural) + " longwords";
        if (why.empty())
            image = write_image(padded, want.bss_longs >= 0 ? (uint32_t)want.bss_longs : bss_natural, true);
        else
            fprintf(stderr, "elf2hunk: %s; keeping the natural layout\n", why.c_str());
    }
    if (image.empty())
        image = write_image(natural, bss_natural, false);

    FILE *fp = fopen(names[1], "wb");
    if (!fp)
        fail(std::string("cannot create ") + names[1] + ": " + strerror(errno));
    bool ok = fwrite(image.data(), 1, image.size(), fp) == image.size();
    ok = (fclose(fp) == 0) && ok;
    if (!ok)
        fail(std::string("cannot write ") + names[1]);

    size_t nrel = 0;
    for (const Hunk &h : natural)
        for (const auto &g : h.relocs)
            nrel += g.second.size();
    printf("elf2hunk: %s: %zu bytes; code %u bytes, data %u bytes, bss %u bytes, %zu relocations\n",
           names[1], image.size(), natural[0].size, natural[1].size, natural[2].size, nrel);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        fprintf(stderr, "elf2hunk: %s\n", f.what.c_str());
        return 1;
    }
}
