// Entry headers of LZH archives: reading levels 0/1/2, writing level 2,
// the method table, time stamps and CRC-16.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include "tmb_crc.h"
#include "tmb_log.h"

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

// 1 when a header was read; 0 at the end of the archive and on every
// failure, a header whose check value does not match included.
// The reader's debug lines (the bytes of level-0 headers as read) go to
// `log`.
int tmb_read_header(FILE *fp, EntryHeader *h, const LogSink &log = {});

// The next entry of an archive walked from its start. The header reader
// answers 0 both at the end and at a damaged header; this tells them
// apart. An archive ends only with a zero byte where a header would start
// (not the first byte of a header of an earlier version that the reader
// recognises), or with the end of the file exactly there. At offset 0 the
// zero byte must be the whole file, or be followed by one more zero byte
// only: an empty archive is its end mark alone, while many files that are
// no archive start with a zero byte. A header whose checksum (levels 0
// and 1) or header CRC (level 2) does not match is damage.
enum : int { TMB_WALK_CUT = -2, TMB_WALK_DAMAGED = -1, TMB_WALK_END = 0, TMB_WALK_ENTRY = 1 };
// `size` is the archive file's size, or -1 when it cannot be known (a
// pipe). On an entry the stream stands at its data and data_pos is set;
// on damage *why says what was found there and the stream stands where
// that header starts (when it can). TMB_WALK_CUT is damage too: a sound
// header (filled in `h`) whose data runs past the end of the file.
int tmb_walk_next(FILE *fp, int64_t size, EntryHeader *h, const char **why, const LogSink &log = {});

// 1 when the regular file behind `fp` holds an archive anywhere, not only
// at its start (a self-extractor holds one after its code, other files may
// hold one inside): a sound entry header of a known method whose data lies
// within the file. The file is read once, in windows; the stream's
// position is left anywhere.
int tmb_holds_archive(FILE *fp);

// The size of the regular file behind `fp`, or -1.
int64_t tmb_file_size(FILE *fp);
const char *tmb_method_name(int number);

int64_t dos_to_unix_time(uint32_t dos);
int64_t tmb_tm_to_time(const struct tm *tm);
void tmb_time_to_tm(int64_t t, struct tm *tm);

int tmb_write_header_lv2(FILE *fp, const EntryHeader *h);
