// Self-extracting archives: the builder branch of the add command. The
// entries go to a temporary archive, which is then placed inside a copy of
// the embedded AmigaOS extractor (see tmb_sfx_image.cpp for the layout).
#include "tmb_sfx.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "tambrix.h"
#include "tmb_add.h"
#include "tmb_cleanup.h"
#include "tmb_debug.h"
#include "tmb_io.h"
#include "tmb_progress.h"
#include "tmb_sfx_image.h"

namespace {

// The temporary archive is removed on every way out of the builder: by the
// guard on each return, and through the clean-up registry when the process
// ends early (a fatal error in the encoder, Ctrl+C).
class TempArchive {
public:
    explicit TempArchive(const char *path) : path_(path) { tmb_cleanup_add(path_); }
    ~TempArchive() { remove_now(); }
    TempArchive(const TempArchive &) = delete;
    TempArchive &operator=(const TempArchive &) = delete;
    void remove_now()
    {
        if (removed_)
            return;
        removed_ = true;
        remove(path_);
        tmb_cleanup_release(path_);
    }

private:
    const char *path_;
    bool removed_ = false;
};

} // namespace

int sfx_build(FILE *arc, int method, clock_t start)
{
    // The entries go to a temporary archive beside the output, created
    // exclusively so that no existing file or link is ever written through.
    // The archive file itself stays empty until the .run is written.
    char tmp_name[256];
    FILE *tmp = tmb_create_temp(g_opts.archive, ".tmp", tmp_name, sizeof tmp_name);
    if (!tmp) {
        fprintf(stderr, "Cannot create temp: %s\n", tmp_name);
        fclose(arc);
        return 1;
    }
    fclose(arc);
    TempArchive tmp_guard(tmp_name);
    setvbuf(tmp, nullptr, _IOFBF, 65536);

    // Every argument is one path, without wildcard expansion; a directory's
    // entries are named relative to it, whatever "./" pairs lead it.
    int added = 0, errors = 0;
    for (int i = 0; i < g_opts.nfiles; i++) {
        const char *path = g_opts.files[i];
        const char *name = path;
        while (name[0] == '.' && name[1] == '/')
            name += 2;
        struct stat st;
        int is_dir = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
        g_arc_root_len = is_dir ? (int)strlen(name) + 1 : 0;
        if (add_path(tmp, path, name, method))
            added++;
        else
            errors++;
    }

    // End the archive and read it back whole through the same stream. A
    // temporary archive that could not be written whole must not become a
    // broken .run file.
    fputc(0, tmp);
    fputc(0, tmp);
    if (fflush(tmp) != 0 || ferror(tmp)) {
        fprintf(stderr, "Cannot write temp: %s\n", tmp_name);
        fclose(tmp);
        return 1;
    }
    long n = -1;
    if (fseek(tmp, 0, SEEK_END) == 0)
        n = ftell(tmp);
    if (n < 0 || fseek(tmp, 0, SEEK_SET) != 0) {
        fputs("Cannot read temp\n", stderr);
        fclose(tmp);
        return 1;
    }
    unsigned char *data = (unsigned char *)malloc(n > 0 ? (size_t)n : 1);
    if (!data) {
        fclose(tmp);
        fputs("Out of memory\n", stderr);
        return 1;
    }
    if (fread(data, 1, (size_t)n, tmp) != (size_t)n) {
        fputs("Cannot read temp\n", stderr);
        free(data);
        fclose(tmp);
        return 1;
    }
    fclose(tmp);
    tmp_guard.remove_now();
    dbg_log("TMB data: %ld bytes", n);

    // Patch a copy; the embedded image itself never changes.
    unsigned char *copy = (unsigned char *)malloc(tmb_stub_len);
    if (!copy) {
        free(data);
        fputs("Out of memory\n", stderr);
        return 1;
    }
    memcpy(copy, tmb_stub, tmb_stub_len);
    SfxPlan plan;
    if (!sfx_patch_image(copy, tmb_stub_len, (size_t)n, &plan)) {
        fputs("Archive too large for a self-extracting file\n", stderr);
        free(copy);
        free(data);
        return 1;
    }

    // Stub up to the end of the data contents, archive, fill bytes, the rest
    // of the stub (or, without a data hunk, stub then archive).
    FILE *out = fopen(g_opts.archive, "wb");
    if (!out) {
        free(copy);
        free(data);
        return 1;
    }
    setvbuf(out, nullptr, _IOFBF, 65536);
    int ok = sfx_write_image(out, copy, tmb_stub_len, &plan, data, (size_t)n);
    ok = tmb_close_checked(out) && ok;
    free(copy);
    free(data);
    if (!ok) {
        // A truncated executable would crash on AmigaOS; leave none behind.
        fprintf(stderr, "Cannot write: %s\n", g_opts.archive);
        remove(g_opts.archive);
        return 1;
    }

    printf("\nSelf-extracting archive: %s\n", g_opts.archive);
    print_elapsed(start);
    fflush(stdout);
    dbg_log("=== cmd_add end (sfx): added=%d errors=%d ===", added, errors);
    dbg_close();
    return errors != 0;
}
