#include "lzh_builder.h"

#include <stdexcept>

#include "tmb_header.h"

namespace testkit {

namespace {

void put_method(Bytes &b, const std::string &method)
{
    if (method.size() != 5)
        throw std::invalid_argument("method id must have 5 characters: " + method);
    put_str(b, method);
}

// Directory names keep their levels apart with 0xFF instead of '/'.
Bytes dir_bytes(const std::string &dir)
{
    Bytes d;
    for (char c : dir)
        d.push_back(c == '/' ? 0xFF : (uint8_t)c);
    return d;
}

std::vector<ExtHeader> ext_chain(const LzhEntry &e, bool with_name)
{
    std::vector<ExtHeader> chain;
    if (with_name)
        chain.push_back({1, Bytes(e.name.begin(), e.name.end())});
    if (!e.dir.empty())
        chain.push_back({2, dir_bytes(e.dir)});
    chain.insert(chain.end(), e.extra.begin(), e.extra.end());
    return chain;
}

// Writes the chain; the size of the first header has already been written
// by the caller, each header ends with the size of the next one.
void put_chain(Bytes &b, const std::vector<ExtHeader> &chain)
{
    for (size_t i = 0; i < chain.size(); i++) {
        put_u8(b, chain[i].type);
        b.insert(b.end(), chain[i].data.begin(), chain[i].data.end());
        put_u16(b, i + 1 < chain.size() ? (unsigned)chain[i + 1].data.size() + 3 : 0);
    }
}

size_t chain_size(const std::vector<ExtHeader> &chain)
{
    size_t n = 0;
    for (const ExtHeader &x : chain)
        n += x.data.size() + 3;
    return n;
}

// Level 0 and 1 carry a byte sum of header bytes 2..H+1 in byte 1.
void set_checksum(Bytes &h)
{
    unsigned sum = 0;
    for (size_t i = 2; i < h.size(); i++)
        sum += h[i];
    h[1] = (uint8_t)sum;
}

} // namespace

LzhEntry stored(const std::string &name, const std::string &data, uint32_t time)
{
    LzhEntry e;
    e.name = name;
    e.packed.assign(data.begin(), data.end());
    e.orig_size = (uint32_t)data.size();
    e.crc = tmb_crc16(data.data(), data.size(), 0);
    e.time = time;
    return e;
}

Bytes build_lv0(const LzhEntry &e)
{
    if (e.name.size() > 255 - 22)
        throw std::invalid_argument("level-0 name too long");
    Bytes h;
    put_u8(h, 22 + (unsigned)e.name.size()); // H
    put_u8(h, 0);
    put_method(h, e.method);
    put_u32(h, (uint32_t)e.packed.size());
    put_u32(h, e.orig_size);
    put_u32(h, e.time);
    put_u8(h, e.attribute);
    put_u8(h, 0);
    put_u8(h, (unsigned)e.name.size());
    put_str(h, e.name);
    put_u16(h, e.crc);
    set_checksum(h);
    append(h, e.packed);
    return h;
}

Bytes build_lv1(const LzhEntry &e)
{
    if (e.name.size() > 255 - 25)
        throw std::invalid_argument("level-1 name too long");
    std::vector<ExtHeader> chain = ext_chain(e, false);
    Bytes h;
    put_u8(h, 25 + (unsigned)e.name.size()); // H
    put_u8(h, 0);
    put_method(h, e.method);
    put_u32(h, (uint32_t)(e.packed.size() + chain_size(chain))); // skip size
    put_u32(h, e.orig_size);
    put_u32(h, e.time);
    put_u8(h, e.attribute);
    put_u8(h, 1);
    put_u8(h, (unsigned)e.name.size());
    put_str(h, e.name);
    put_u16(h, e.crc);
    put_u8(h, e.os_id);
    put_u16(h, chain.empty() ? 0 : (unsigned)chain[0].data.size() + 3);
    set_checksum(h);
    put_chain(h, chain);
    append(h, e.packed);
    return h;
}

Bytes build_lv2(const LzhEntry &e)
{
    std::vector<ExtHeader> chain = ext_chain(e, true);
    if (e.lv2_header_crc)
        chain.push_back({0, Bytes{0, 0}});
    Bytes h;
    put_u16(h, 26 + (unsigned)chain_size(chain)); // T
    put_method(h, e.method);
    put_u32(h, (uint32_t)e.packed.size());
    put_u32(h, e.orig_size);
    put_u32(h, e.time);
    put_u8(h, e.attribute);
    put_u8(h, 2);
    put_u16(h, e.crc);
    put_u8(h, e.os_id);
    put_u16(h, chain.empty() ? 0 : (unsigned)chain[0].data.size() + 3);
    put_chain(h, chain);
    if (e.lv2_header_crc) {
        // The header CRC sits in the data of the last extended header,
        // the two bytes before its (zero) next-size field.
        uint16_t c = tmb_crc16(h.data(), h.size(), 0);
        h[h.size() - 4] = (uint8_t)(c & 0xFF);
        h[h.size() - 3] = (uint8_t)(c >> 8);
    }
    append(h, e.packed);
    return h;
}

void reseal(Bytes &entry)
{
    if (entry.size() < 26)
        throw std::invalid_argument("reseal: no header");
    if (entry[20] != 2) {
        size_t end = entry[0] + 2u;
        if (end > entry.size())
            throw std::invalid_argument("reseal: header runs past the bytes");
        Bytes base(entry.begin(), entry.begin() + (long)end);
        set_checksum(base);
        entry[1] = base[1];
        return;
    }
    size_t T = entry[0] | (size_t)entry[1] << 8;
    if (T > entry.size())
        throw std::invalid_argument("reseal: header runs past the bytes");
    for (size_t at = 24; at + 2 <= T;) {
        size_t S = entry[at] | (size_t)entry[at + 1] << 8;
        size_t ext = at + 2;
        if (S < 3 || ext + S > T)
            return;
        if (entry[ext] == 0 && S >= 5) {
            entry[ext + 1] = entry[ext + 2] = 0;
            uint16_t c = tmb_crc16(entry.data(), T, 0);
            entry[ext + 1] = (uint8_t)(c & 0xFF);
            entry[ext + 2] = (uint8_t)(c >> 8);
            return;
        }
        at = ext + S - 2;
    }
}

uint16_t crc16_bitwise(const uint8_t *p, size_t n, uint16_t crc)
{
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
    }
    return crc;
}

std::string header_crc_faults(const Bytes &a, size_t *headers)
{
    std::string faults;
    *headers = 0;
    size_t pos = 0;
    while (pos + 26 <= a.size() && a[pos] != 0) {
        size_t T = a[pos] | (size_t)a[pos + 1] << 8;
        size_t comp = a[pos + 7] | (size_t)a[pos + 8] << 8 | (size_t)a[pos + 9] << 16 |
                      (size_t)a[pos + 10] << 24;
        std::string where = "header at " + std::to_string(pos) + ": ";
        ++*headers;
        if (a[pos + 20] != 2 || pos + T > a.size())
            return faults + where + "not a whole level-2 header\n";
        size_t crc_at = 0;
        for (size_t at = pos + 24; at + 2 <= pos + T;) {
            size_t S = a[at] | (size_t)a[at + 1] << 8;
            if (S < 3 || at + 2 + S > pos + T)
                break;
            if (a[at + 2] == 0 && S >= 5) {
                crc_at = at + 3;
                break;
            }
            at += S;
        }
        if (!crc_at) {
            faults += where + "no header CRC\n";
        } else {
            Bytes h(a.begin() + (long)pos, a.begin() + (long)(pos + T));
            uint16_t stored = (uint16_t)(h[crc_at - pos] | h[crc_at - pos + 1] << 8);
            h[crc_at - pos] = h[crc_at - pos + 1] = 0;
            uint16_t want = crc16_bitwise(h.data(), h.size());
            if (stored != want)
                faults += where + "header CRC " + std::to_string(stored) + ", computed " +
                          std::to_string(want) + "\n";
        }
        pos += T + comp;
    }
    return faults;
}

Bytes build_entry(int level, const LzhEntry &e)
{
    switch (level) {
    case 0: return build_lv0(e);
    case 1: return build_lv1(e);
    case 2: return build_lv2(e);
    }
    throw std::invalid_argument("header level must be 0, 1 or 2");
}

namespace {

// The positional builders below differ only in the header level.
LzhEntry entry_of(const std::string &name, const std::string &method, const Bytes &packed,
                  uint32_t orig_size, uint16_t crc, uint32_t time, const std::string &dir)
{
    LzhEntry e;
    e.name = name;
    e.dir = dir;
    e.method = method;
    e.packed = packed;
    e.orig_size = orig_size;
    e.crc = crc;
    e.time = time;
    return e;
}

} // namespace

Bytes build_lv0(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t dos_time)
{
    return build_lv0(entry_of(name, method, packed, orig_size, crc, dos_time, ""));
}

Bytes build_lv1(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t dos_time, const std::string &dir)
{
    return build_lv1(entry_of(name, method, packed, orig_size, crc, dos_time, dir));
}

Bytes build_lv2(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t unix_time, const std::string &dir)
{
    return build_lv2(entry_of(name, method, packed, orig_size, crc, unix_time, dir));
}

uint32_t dos_stamp(int year, int month, int day, int hour, int minute, int second)
{
    uint32_t date = (uint32_t)((year - 1980) << 9 | month << 5 | day);
    uint32_t time = (uint32_t)(hour << 11 | minute << 5 | second / 2);
    return date << 16 | time;
}

Bytes end_marker() { return Bytes{0, 0}; }

Bytes make_archive(const std::vector<Bytes> &entries)
{
    Bytes a;
    for (const Bytes &e : entries)
        append(a, e);
    append(a, end_marker());
    return a;
}

void append(Bytes &a, const Bytes &b) { a.insert(a.end(), b.begin(), b.end()); }

} // namespace testkit
