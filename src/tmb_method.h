// Unpacking entries and the compression driver.
#pragma once
#include <cstdint>
#include <cstdio>
#include "tmb_header.h"

// CRC-16 of the bytes produced by the last successful tmb_extract.
extern uint16_t g_extract_crc;

// Results of tmb_extract.
enum : int {
    TMB_EXTRACT_OK = 0,
    TMB_EXTRACT_FAILED = -1,      // no memory, or writing the output failed
    TMB_EXTRACT_DAMAGED = -2,     // the packed data ends before the entry does
    TMB_EXTRACT_UNSUPPORTED = -3, // a method this program cannot unpack
};

// Unpacks the entry whose packed data starts at the current position of
// `arc` into `out` (nullptr: decode and compute the CRC only). One of the
// results above; the CRC is only worth comparing after TMB_EXTRACT_OK.
// Afterwards `arc` stands at the end of the entry's packed data, unless
// reading the archive failed.
int tmb_extract(FILE *arc, FILE *out, const EntryHeader *h);

// True when tmb_extract can unpack the entry: its method is known and
// supported (an empty "-lh1-" entry needs no decoder).
bool tmb_extract_supported(const EntryHeader *h);
