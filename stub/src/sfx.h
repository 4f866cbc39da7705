/*
 * The self-extractor: extracts the LZH archive that the builder placed
 * inside the program's own file into the current directory.
 */
#ifndef TMB_STUB_SFX_H
#define TMB_STUB_SFX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The program's only initialised writable data: 11 longwords on the 68000,
 * the contents of the data hunk. The builder of self-extracting files looks
 * for the bytes DE AD BE EF (arc_offset, the fourth longword) and replaces
 * them with the file offset of the archive, big-endian. The other longwords
 * are the texts the start-up and the banner use.
 */
struct sfx_data {
    const char *lib_name[2];   /* dos.library, utility.library */
    const char *title;         /* first banner line */
    uint8_t arc_offset[4];     /* patched by the builder */
    const char *credit[2];     /* the two credit lines */
    const char *notes;         /* the notes between them */
    char tag[16];
};

extern struct sfx_data sfx_data;

/* Runs the extractor; returns the AmigaOS return code 0, 5 or 20. */
int sfx_main(void);

#ifdef __cplusplus
}
#endif

#endif
