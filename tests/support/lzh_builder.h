// Byte builder for LZH archives in tests: entry headers of level 0, 1 and 2
// followed by the packed bytes given, and the end marker. Nothing here
// compresses; pass already packed bytes, or use stored() for "-lh0-" data.
//
// Header layouts (offsets from the header's first byte, little-endian):
//   all levels  2 method id (5)  7 packed size (4)  11 original size (4)
//               15 time (4)  19 attribute  20 level
//   level 0     0 H = header bytes after the first two, 1 checksum,
//               21 name length N, 22 name, 22+N CRC-16          (H+2 bytes)
//   level 1     as level 0, then 24+N OS id, 25+N size of the first
//               extended header; 7 holds the packed size plus the sizes of
//               all extended headers, which follow the base header
//   level 2     0 total header size T (2), 21 CRC-16, 23 OS id,
//               24 size of the first extended header, 26 extended headers
// An extended header of size S is: type (1), S-3 data bytes, size of the
// next one (2; 0 ends the chain). Type 1 file name, 2 directory name with
// 0xFF between levels, 0 header CRC.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "testkit.h"

namespace testkit {

struct ExtHeader {
    uint8_t type = 0;
    Bytes data;
};

struct LzhEntry {
    std::string name;              // lv0/lv1: base-header name; lv2: file-name extended header
    std::string dir;               // lv1/lv2: directory extended header ('/' stored as 0xFF); "" none
    std::string method = "-lh0-";  // 5-character method id
    Bytes packed;                  // the entry's data as stored in the archive
    uint32_t orig_size = 0;
    uint16_t crc = 0;              // CRC-16 of the unpacked data
    uint32_t time = 0;             // MS-DOS stamp (lv0/lv1) or seconds since 1970 (lv2)
    uint8_t attribute = 0x20;
    uint8_t os_id = 'U';           // lv1/lv2 only
    std::vector<ExtHeader> extra;  // further extended headers (lv1/lv2), after name and directory
    bool lv2_header_crc = true;    // lv2: add a type-0 header-CRC extended header
};

// A stored ("-lh0-") entry: packed = data, orig_size and crc filled in.
LzhEntry stored(const std::string &name, const std::string &data, uint32_t time = 0);

// Header followed by the packed bytes.
Bytes build_lv0(const LzhEntry &e);
Bytes build_lv1(const LzhEntry &e);
Bytes build_lv2(const LzhEntry &e);
Bytes build_entry(int level, const LzhEntry &e);

// Positional forms of the above (no directory or extra extended headers).
Bytes build_lv0(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t dos_time);
Bytes build_lv1(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t dos_time, const std::string &dir = "");
Bytes build_lv2(const std::string &name, const std::string &method, const Bytes &packed,
                uint32_t orig_size, uint16_t crc, uint32_t unix_time, const std::string &dir = "");

// Makes the check value of the header at the start of `entry` fit its bytes
// again after a test changed them: the byte sum of levels 0 and 1 (over
// bytes 2..H+1), the header CRC of level 2 (over all T bytes, when the
// header holds a type-0 extended header inside T). Level by byte 20.
void reseal(Bytes &entry);

// The CRC-16 of LZH archives (reflected polynomial 0xA001, no final
// inversion) computed bit by bit, apart from the program's table-driven
// routine, so that tests can check the program's check values against it.
uint16_t crc16_bitwise(const uint8_t *p, size_t n, uint16_t crc = 0);

// Walks the level-2 entries of an archive from its start to its end mark
// (or its end) and checks each header CRC with crc16_bitwise: over all T
// header bytes, its own two bytes taken as 0. Returns a line for every
// header without a header-CRC extended header or whose value differs, ""
// when all are sound; `headers` gets the number of headers walked.
std::string header_crc_faults(const Bytes &archive, size_t *headers);

// MS-DOS stamp from calendar fields (year 1980..2107, month 1..12).
uint32_t dos_stamp(int year, int month, int day, int hour, int minute, int second);

// The end of an archive as this program writes it: two zero bytes.
Bytes end_marker();

// Entries concatenated, then the end marker.
Bytes make_archive(const std::vector<Bytes> &entries);

// Appends b to a.
void append(Bytes &a, const Bytes &b);

} // namespace testkit
