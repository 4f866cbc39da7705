// Entry headers of LZH archives: reading levels 0/1/2, writing level 2,
// the method table, time stamps and CRC-16.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>

struct EntryHeader {
    int method;          // method_table number, -1 when unknown
    uint64_t comp_size;
    uint64_t orig_size;
    int64_t mtime;       // seconds since 1970, UTC
    uint8_t attribute;
    int level;
    char name[256];
    uint16_t crc;
    uint8_t os_id;
    int is_dir;
    int name_cut;        // the stored path did not fit in `name`: it was cut or
                         // lost its directory part (listing shows it; never extract it)
    int64_t header_pos;
    int64_t data_pos;    // set by the caller after a successful read
};

struct MethodEntry {
    const char *id;      // 5 characters, nullptr ends the table
    int number;
};
extern const MethodEntry method_table[];

int tmb_read_header(FILE *fp, EntryHeader *h);
const char *tmb_method_name(int number);

int64_t dos_to_unix_time(uint32_t dos);
int64_t tmb_tm_to_time(const struct tm *tm);
void tmb_time_to_tm(int64_t t, struct tm *tm);

int tmb_write_header_lv2(FILE *fp, const EntryHeader *h);
uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc);

// Listing line printer and date text.
void tmb_print_header(const EntryHeader *h, int verbose);
void tmb_format_time(int64_t t, char *buf, size_t size);
