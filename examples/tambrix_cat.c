/* Prints one entry of an archive to standard output.
 *
 *   tambrix_cat ARCHIVE NAME
 *
 * The entry's bytes go out as they are unpacked; the exit status is 0 only
 * when the whole entry came out and its CRC-16 matched. */
#include <stdio.h>
#include <string.h>

#include <tambrix.h>

static int fail(const char *what, int rc)
{
    fprintf(stderr, "tambrix_cat: %s: %s\n", what, tambrix_strerror(rc));
    return 1;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tambrix_cat ARCHIVE NAME\n");
        return 2;
    }
    tambrix_reader *r;
    int rc = tambrix_reader_open_path(&r, argv[1]);
    if (rc != TAMBRIX_OK)
        return fail(argv[1], rc);
    tambrix_entry_info info;
    size_t want = strlen(argv[2]);
    while ((rc = tambrix_reader_next(r, &info)) == TAMBRIX_OK) {
        if (info.is_dir || info.name_len != want || memcmp(info.name, argv[2], want) != 0)
            continue;
        unsigned char buf[65536];
        size_t got;
        while ((rc = tambrix_read(r, buf, sizeof buf, &got)) == TAMBRIX_OK && got > 0)
            if (fwrite(buf, 1, got, stdout) != got) {
                tambrix_reader_free(r);
                return fail("standard output", TAMBRIX_E_WRITE);
            }
        tambrix_reader_free(r);
        if (fflush(stdout) != 0)
            return fail("standard output", TAMBRIX_E_WRITE);
        return rc == TAMBRIX_OK ? 0 : fail(argv[2], rc);
    }
    tambrix_reader_free(r);
    if (rc == TAMBRIX_END) {
        fprintf(stderr, "tambrix_cat: %s: no such entry\n", argv[2]);
        return 1;
    }
    return fail(argv[1], rc);
}
