/*
 * libtambrix: reading and writing LZH archives from C and C++.
 *
 * The library is the archiver's own format and codec code behind a small C
 * interface: the same header reader, decoder and encoders, so an archive
 * written here holds exactly the bytes `tambrix a` writes for the same
 * input, and an archive is judged damaged here exactly when the program
 * judges it so.
 *
 * Conventions that hold for every call:
 *
 *  - Every call returns an int: TAMBRIX_OK (0) on success, a negative
 *    TAMBRIX_E_* code on failure, and the positive TAMBRIX_END only from
 *    tambrix_reader_next() at the clean end of an archive. Damage is never
 *    an end. tambrix_strerror() turns any code into a short message.
 *  - No call prints, exits, installs a signal handler, changes the working
 *    directory, or keeps state outside its handle. No C++ exception leaves
 *    the library. (tambrix_writer_open_path gives a new archive the
 *    permission bits of the umask, read from /proc/self/status; only on a
 *    system without that file does it read the umask by setting it and
 *    straight back, when a file another thread creates in that instant
 *    could get the bits of umask 0.)
 *  - Handles are opaque. A handle is used by one thread at a time; separate
 *    handles may be used from separate threads at once, with no locking by
 *    the caller (they share nothing).
 *  - A writer set to pack on several threads starts threads of its own;
 *    they end before the call that frees the handle returns. A reader
 *    unpacks on the caller's thread, inside tambrix_read(). Callbacks run only on the thread
 *    that called into the library.
 *  - Strings are NUL-terminated bytes; entry names are bytes as stored in
 *    the archive, '/' between directory levels.
 */
#ifndef TAMBRIX_H
#define TAMBRIX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TAMBRIX_BUILDING) && defined(__GNUC__)
#define TAMBRIX_API __attribute__((visibility("default")))
#else
#define TAMBRIX_API
#endif

#define TAMBRIX_VERSION_MAJOR 1
#define TAMBRIX_VERSION_MINOR 0
#define TAMBRIX_VERSION_PATCH 0
#define TAMBRIX_VERSION_STRING "1.0.0"

/* The library's version as MAJOR * 10000 + MINOR * 100 + PATCH; compare it
 * with the TAMBRIX_VERSION_* the program was compiled against. */
TAMBRIX_API int tambrix_version(void);

/* ---- Result codes ------------------------------------------------------ */

enum {
    TAMBRIX_OK = 0,
    TAMBRIX_END = 1,                /* reader_next: the archive ended cleanly */
    TAMBRIX_E_ARG = -1,             /* a null handle or pointer, a bad name or
                                       method, or a call out of order */
    TAMBRIX_E_NOMEM = -2,           /* memory ran out */
    TAMBRIX_E_OPEN = -3,            /* a file could not be opened or created,
                                       or is no regular file */
    TAMBRIX_E_READ = -4,            /* reading an input or the archive failed */
    TAMBRIX_E_WRITE = -5,           /* writing failed (a full disk, a closed
                                       descriptor); the archive is lost */
    TAMBRIX_E_NOT_ARCHIVE = -6,     /* the input is no LZH archive */
    TAMBRIX_E_DAMAGED = -7,         /* an entry header is damaged (cut, or its
                                       checksum or header CRC does not match)
                                       or packed data ends early */
    TAMBRIX_E_TRUNCATED = -8,       /* an entry's data runs past the end */
    TAMBRIX_E_UNSUPPORTED = -9,     /* a method this library cannot unpack
                                       (or pack) */
    TAMBRIX_E_CRC = -10,            /* the data unpacked does not match the
                                       entry's CRC-16 */
    TAMBRIX_E_CANCELLED = -11,      /* the handle's cancel flag was set */
    TAMBRIX_E_TOO_LARGE = -12       /* an entry of 4 GiB or more */
};

/* A short English message for `code` (also for unknown codes); a static
 * string, never to be freed. */
TAMBRIX_API const char *tambrix_strerror(int code);

/* ---- Per-handle settings ----------------------------------------------- */

/* Progress: `done` of `total` bytes of the current entry (unpacked bytes
 * delivered when reading, input bytes packed when writing). Called on the
 * caller's thread, from inside tambrix_read() and the writer's add, flush
 * and finish calls. */
typedef void (*tambrix_progress_fn)(void *user, uint64_t done, uint64_t total);

/* ---- Reading ----------------------------------------------------------- */

typedef struct tambrix_reader tambrix_reader;

/* One entry, as tambrix_reader_next() found it. The pointers stay valid
 * until the next call of tambrix_reader_next() or tambrix_reader_free() on
 * the same handle. */
typedef struct tambrix_entry_info {
    const unsigned char *name;  /* the stored path bytes (not terminated) */
    size_t name_len;
    const char *display;        /* the name as the listing shows it: every
                                   byte a terminal could take as a control
                                   written as a backslash and three octal
                                   digits; NUL-terminated */
    const char *method;         /* "-lh0-" ... "-lh7-", "-lz4-" ... */
    uint64_t packed_size;
    uint64_t original_size;
    int64_t mtime;              /* seconds since 1970, UTC */
    unsigned crc;               /* CRC-16 of the data, as stored */
    int is_dir;                 /* the name ends in '/' */
    int level;                  /* header level: 0, 1 or 2 */
    int name_cut;               /* the stored path was longer than 255 bytes
                                   and `name` holds only part of it */
} tambrix_entry_info;

/* Opens the archive at `path` (a regular file) for reading. */
TAMBRIX_API int tambrix_reader_open_path(tambrix_reader **out, const char *path);
/* Reads the archive from the start of the regular file open on `fd`. The
 * descriptor is duplicated: the caller may close it at once, but its file
 * offset is shared and moves while the handle reads. */
TAMBRIX_API int tambrix_reader_open_fd(tambrix_reader **out, int fd);
/* Reads an archive held in memory. The bytes are not copied: they must stay
 * valid and unchanged until the handle is freed. */
TAMBRIX_API int tambrix_reader_open_memory(tambrix_reader **out, const void *data, size_t size);

/* Moves to the next entry and describes it in *info. Returns TAMBRIX_OK
 * for an entry, TAMBRIX_END at the archive's end mark (or at the end of the
 * file exactly where a header would start), and an error for anything
 * else: TAMBRIX_E_NOT_ARCHIVE when the first header cannot be read (or
 * reads as one of no known method whose data would run past the end),
 * TAMBRIX_E_DAMAGED for a later one, TAMBRIX_E_TRUNCATED for an entry whose
 * data runs past the end (*info then describes that entry). Errors and
 * TAMBRIX_END are sticky: every further call returns the same. Entries
 * whose method the format does not know are stepped over, as the program's
 * listing does. Data of the previous entry not read is skipped. */
TAMBRIX_API int tambrix_reader_next(tambrix_reader *r, tambrix_entry_info *info);

/* Reads the current entry's unpacked data into buf (at most `cap` bytes);
 * *got is the count delivered. While data comes, the result is TAMBRIX_OK
 * and *got > 0. The call after the last byte returns TAMBRIX_OK with *got 0
 * only when the entry unpacked whole and its CRC-16 matched: until then the
 * bytes delivered are not verified. Otherwise it returns TAMBRIX_E_CRC,
 * TAMBRIX_E_DAMAGED (the packed data ends early), TAMBRIX_E_UNSUPPORTED
 * (a method that cannot be unpacked: "-lh1-" to "-lh3-", "-lzs-", "-lz5-"),
 * TAMBRIX_E_CANCELLED or TAMBRIX_E_READ; the result stays until the next
 * entry. A directory entry has no data. */
TAMBRIX_API int tambrix_read(tambrix_reader *r, void *buf, size_t cap, size_t *got);

/* The progress callback for reading (fn may be NULL). */
TAMBRIX_API int tambrix_reader_set_progress(tambrix_reader *r, tambrix_progress_fn fn, void *user);
/* A flag the caller owns and may set to non-zero from any thread (with an
 * atomic store) or a signal handler: the entry being read stops at its next
 * 64 KB and tambrix_read returns TAMBRIX_E_CANCELLED. NULL for none. The
 * flag must outlive its use by the handle. */
TAMBRIX_API int tambrix_reader_set_cancel(tambrix_reader *r, const volatile int *flag);

/* Frees the handle and everything it holds; NULL is fine. Returns
 * TAMBRIX_OK. */
TAMBRIX_API int tambrix_reader_free(tambrix_reader *r);

/* Extraction of entries into files below a directory, with the guarantees
 * of the program's x command (no path outside the directory, no link
 * followed, each file renamed into place only when verified), will come
 * here as tambrix_reader_extract_to(). Until then read each entry with
 * tambrix_read() and write it where it belongs. */

/* ---- Writing ----------------------------------------------------------- */

typedef struct tambrix_writer tambrix_writer;

/* Flags for the add calls. */
#define TAMBRIX_OPTIMAL 1   /* the cost-driven parse of the program's -9:
                               smaller, several times slower */

/* Creates the archive `path`. The bytes go to an exclusive temporary file
 * beside it ("PATH.XXXXXX.tmp"); tambrix_writer_finish() renames it into
 * place once the archive is complete and on the disk. An existing file of
 * that name is replaced only then (a symbolic link named as the archive is
 * kept, the file it points to replaced) and keeps its permission bits. If
 * the archive is never finished the temporary is removed by
 * tambrix_writer_free(); if the process dies first it stays behind. */
TAMBRIX_API int tambrix_writer_open_path(tambrix_writer **out, const char *path);
/* Writes the archive to `fd` at its current offset. The descriptor is
 * duplicated and not closed; the caller owns what happens to the bytes
 * written if the archive is never finished. */
TAMBRIX_API int tambrix_writer_open_fd(tambrix_writer **out, int fd);

/* Packs on `threads` threads (0: one per online core; default 1). Only
 * before the first add. With more than one thread the add calls return
 * before the entry is packed (see below). */
TAMBRIX_API int tambrix_writer_set_threads(tambrix_writer *w, int threads);
TAMBRIX_API int tambrix_writer_set_progress(tambrix_writer *w, tambrix_progress_fn fn, void *user);
/* As tambrix_reader_set_cancel(): checked every 64 KB of input; the entry
 * being packed fails with TAMBRIX_E_CANCELLED, and so do every further add
 * and tambrix_writer_finish() while the flag is set. */
TAMBRIX_API int tambrix_writer_set_cancel(tambrix_writer *w, const volatile int *flag);

/* Adding entries. `name` is the entry's path as stored: 1 to 255 bytes, no
 * NUL. `method` is "-lh0-" (stored), "-lh5-", "-lh6-" or "-lh7-", or NULL
 * for "-lh5-"; a packed entry is stored instead when packing does not make
 * it smaller, as the program does. Entries go into the archive in the order
 * of the calls, with the header the program writes (level 2, OS id 'A').
 *
 * With one thread an add returns the entry's own result. With more, it
 * checks the arguments, opens the input, queues the entry and returns; the
 * result of packing it comes from tambrix_writer_flush() (which waits for
 * every queued entry) or tambrix_writer_finish(). An entry that fails is
 * left out and the archive stays sound; its error is returned once, by the
 * add itself or by the flush or finish after it. TAMBRIX_E_WRITE (the
 * archive or its packing temporary could not be written) is final: every
 * further call returns it and the archive is abandoned. */

/* From memory. With more than one thread, the bytes must stay valid and
 * unchanged until tambrix_writer_flush(), tambrix_writer_finish() or
 * tambrix_writer_free() returns. `mtime` is stored as given. */
TAMBRIX_API int tambrix_add_memory(tambrix_writer *w, const char *name, const void *data, size_t size,
                                   int64_t mtime, const char *method, int flags);
/* From the regular file open on `fd`, from its current offset to its end as
 * it is at the call (read with pread: the offset is not moved). The
 * descriptor is duplicated and may be closed at once. */
TAMBRIX_API int tambrix_add_fd(tambrix_writer *w, const char *name, int fd, int64_t mtime,
                               const char *method, int flags);
/* From the regular file `path`; the time is the file's modification time
 * (the current time when that is 0), as the program stores it. */
TAMBRIX_API int tambrix_add_path(tambrix_writer *w, const char *name, const char *path, const char *method,
                                 int flags);
/* A directory entry: `name` gets a '/' at its end unless it has one (254
 * bytes at most before it). */
TAMBRIX_API int tambrix_add_directory(tambrix_writer *w, const char *name, int64_t mtime);

/* Waits until every queued entry is in the archive; returns the first
 * error of those entries not returned yet. */
TAMBRIX_API int tambrix_writer_flush(tambrix_writer *w);
/* Flushes, ends the archive with its end mark and makes it whole: for a
 * path, synced and renamed into place. A queued entry's failure not yet
 * returned is returned instead and nothing is finished (call again to
 * finish without that entry). After TAMBRIX_OK the handle takes no more
 * entries; free it. */
TAMBRIX_API int tambrix_writer_finish(tambrix_writer *w);
/* Frees the handle. An archive not finished is abandoned: its temporary is
 * removed (for a path) and queued entries are dropped. NULL is fine.
 * Returns TAMBRIX_OK. */
TAMBRIX_API int tambrix_writer_free(tambrix_writer *w);

#ifdef __cplusplus
}
#endif

#endif /* TAMBRIX_H */
