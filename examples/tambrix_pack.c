/* Packs the files named on the command line into a new archive.
 *
 *   tambrix_pack [-9] [-T THREADS] ARCHIVE FILE...
 *
 * Each file is stored under its base name with "-lh5-" ("-lh7-" and the
 * optimal parse with -9), as `tambrix a` stores files given by name. The
 * archive takes its name only once it is complete. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tambrix.h>

/* The part after the last '/' or ':' (an AmigaOS device name ends in
 * ':'), as the program names a file given with a path. */
static const char *base_name(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; p++)
        if (*p == '/' || *p == ':')
            base = p + 1;
    return base;
}

int main(int argc, char **argv)
{
    int optimal = 0, threads = 1, i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-9") == 0)
            optimal = 1;
        else if (strcmp(argv[i], "-T") == 0 && i + 1 < argc)
            threads = atoi(argv[++i]);
        else
            break;
    }
    if (argc - i < 2) {
        fprintf(stderr, "usage: tambrix_pack [-9] [-T THREADS] ARCHIVE FILE...\n");
        return 2;
    }
    const char *archive = argv[i++];
    tambrix_writer *w;
    int rc = tambrix_writer_open_path(&w, archive);
    if (rc == TAMBRIX_OK)
        rc = tambrix_writer_set_threads(w, threads);
    if (rc != TAMBRIX_OK) {
        fprintf(stderr, "tambrix_pack: %s: %s\n", archive, tambrix_strerror(rc));
        tambrix_writer_free(w);
        return 1;
    }
    int failed = 0;
    for (; i < argc; i++) {
        rc = tambrix_add_path(w, base_name(argv[i]), argv[i], optimal ? "-lh7-" : "-lh5-",
                              optimal ? TAMBRIX_OPTIMAL : 0);
        if (rc != TAMBRIX_OK) {
            fprintf(stderr, "tambrix_pack: %s: %s\n", argv[i], tambrix_strerror(rc));
            failed = 1;
            if (rc == TAMBRIX_E_WRITE)
                break;
        }
    }
    /* With threads, the entries' own failures come from finish; each is
     * returned once, and the archive is finished only on a clean call. */
    while ((rc = tambrix_writer_finish(w)) != TAMBRIX_OK && rc != TAMBRIX_E_WRITE &&
           rc != TAMBRIX_E_CANCELLED && rc != TAMBRIX_E_ARG) {
        fprintf(stderr, "tambrix_pack: %s\n", tambrix_strerror(rc));
        failed = 1;
    }
    if (rc != TAMBRIX_OK) {
        fprintf(stderr, "tambrix_pack: %s: %s\n", archive, tambrix_strerror(rc));
        failed = 1;
    }
    tambrix_writer_free(w);
    return failed;
}
