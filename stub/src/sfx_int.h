/*
 * What the parts of the extractor share: the reader of the own file, the
 * current entry, the decoder and the output file.
 *
 *   sfx.c        the run: start, entry loop, prompt, files, messages
 *   sfx_read.c   buffered reading of the own file, level-2 headers
 *   sfx_decode.c CRC-16, bit input, code tables, the block decoder
 */
#ifndef TMB_STUB_SFX_INT_H
#define TMB_STUB_SFX_INT_H

#include <stdint.h>

#include "os.h"

/*
 * The address of a static object in an address register, hidden from the
 * compiler: fields are then reached as 16-bit offsets from the register
 * instead of 32-bit absolute addresses, each of which would cost a
 * relocation in the hunk file (their room is fixed) and extra cycles.
 */
#ifdef __mc68000__
#define HIDE(p) __asm__("" : "+a"(p))
#else
#define HIDE(p) ((void)0)
#endif

/* ---- Reading the own file (sfx_read.c, sfx_decode.c) ----
 * One buffer serves headers and packed data; many small entries come in
 * with a single Read. The buffer holds the file bytes up to offset
 * `rfile`, the file's own position. */

#define RBUF_SIZE 4096
/* The largest header read; the archiver writes at most 290 bytes. */
#define HEADER_MAX RBUF_SIZE

struct input {
    os_fh arc;            /* our own file */
    uint8_t *rp, *re;     /* next byte and end of the buffered bytes */
    uint32_t rfile;       /* file offset of re */
    /* The decoder takes packed bytes from rp up to dend, refilled up to
     * file offset dlimit (the packed size plus a slack), then zero bytes
     * from `zero`; consuming any of those means the data ended early. */
    uint8_t *dend;
    uint32_t dlimit;
    int past;             /* rp runs in `zero` */
    int overrun;          /* more than `zero` was needed */
    uint32_t bitbuf;      /* unread bits, the next one in bit 31 */
    int nbits;            /* valid bits in bitbuf */
    uint8_t zero[64];
    uint8_t buf[RBUF_SIZE];
};

extern struct input s_in;
#define INPUT(p) struct input *p = &s_in; HIDE(p)

/* Starts reading the open file `arc` at file offset pos. */
void rd_start(os_fh arc, uint32_t pos);
void rd_seek(uint32_t pos);
/* At least n (<= RBUF_SIZE) bytes at rp; fewer when the file ends. */
uint32_t rd_fill(uint32_t n);

/* ---- The current entry ---- */

enum header_result {
    HDR_ENTRY,    /* an entry was read */
    HDR_END,      /* the end marker or the end of the file */
    HDR_DAMAGED,  /* reported; the archive cannot be followed further */
};

struct entry {
    uint32_t packed, size;   /* packed and uncompressed size */
    uint16_t crc;            /* CRC-16 of the uncompressed data */
    char method[6];          /* the method id, "-lh5-" */
    int is_dir;              /* the name ends in '/' */
    uint32_t data_pos;       /* file offset of the packed data */
    char name[256];          /* directory part and file name, as stored */
};

extern struct entry s_entry;
#define ENTRY(p) struct entry *p = &s_entry; HIDE(p)

/* Reads the header at file offset `pos` of an archive that ends at `end`. */
enum header_result read_header(uint32_t pos, uint32_t end);

/* ---- Decoding (sfx_decode.c) ---- */

enum entry_result {
    ENTRY_OK,
    ENTRY_CRC,       /* the data does not match its CRC */
    ENTRY_DAMAGED,   /* the packed data ends early, or the sizes disagree */
    ENTRY_WRITE,     /* writing or closing the file failed */
    ENTRY_BREAK,     /* Ctrl+C */
};

extern uint8_t s_window[65536];

void crc_init(void);
uint16_t crc_block(uint16_t crc, const uint8_t *p, uint32_t n);

/* Unpacks the current entry ("-lh4-" to "-lh7-", the digit given) from
 * its data position into `out`. */
enum entry_result decode_entry(os_fh out, int digit);

/* ---- Services of sfx.c ---- */

/* Writes a message and flushes it. */
void say(const char *s);

/* Writes n bytes to the output file; 0 on failure. */
int put_out(os_fh out, const uint8_t *p, uint32_t n);
/* Progress dots: progress() is due once `produced` reaches s_next_dot. */
extern uint32_t s_next_dot;
void progress(uint32_t produced);
/* Shows the dots gathered so far; called once a piece of the file is out. */
void show_progress(void);
/* Non-zero when Ctrl+C arrived. */
int take_break(void);

#endif
