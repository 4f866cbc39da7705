// Self-extracting archives: the builder branch of the add command. The
// entries go to a temporary archive, which is then placed inside a copy of
// the embedded AmigaOS extractor (see tmb_sfx_image.cpp for the layout).
#include "tmb_sfx.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tmb_add.h"
#include "tmb_cleanup.h"
#include "tmb_io.h"
#include "tmb_rewrite.h"
#include "tmb_sfx_image.h"
#include "tmb_stream.h"

namespace {

// The temporary archive is removed on every way out of the builder: by the
// guard on each return, and through the clean-up registry when the process
// ends early (a fatal error in the encoder, Ctrl+C).
class TempArchive {
public:
    explicit TempArchive(AtomicFile *a) : a_(a) {}
    ~TempArchive() { remove_now(); }
    TempArchive(const TempArchive &) = delete;
    TempArchive &operator=(const TempArchive &) = delete;
    void remove_now() { tmb_atomic_abort(a_); }

private:
    AtomicFile *a_;
};

// An existing file of the .run name is replaced only when it is empty or
// an AmigaOS program (its first word is the hunk header's type 0x3F3): a
// file named by mistake must not be lost. `old` receives the existing
// program, opened only so that the tree walk knows it, or nullptr.
int may_replace_program(const MessageSink &msg, const char *path, FILE **old)
{
    *old = nullptr;
    struct stat st;
    int fd = tmb_open_to_replace(msg, path, &st);
    if (fd < 0)
        return fd == -1;
    static const unsigned char kHunkHeader[4] = {0x00, 0x00, 0x03, 0xF3};
    unsigned char word[4];
    if (st.st_size > 0 && (read(fd, word, 4) != 4 || memcmp(word, kHunkHeader, 4) != 0)) {
        close(fd);
        msg_printf(msg, MSG_ERR, "Not a self-extracting archive, not replaced: %s\n", path);
        return 0;
    }
    *old = fdopen(fd, "rb");
    if (!*old)
        close(fd);
    return 1;
}

// Writes the finished program through an exclusive temporary beside it (or
// beside the file a link of that name points at) and renames it into
// place: an existing .run stays whole until the new one is complete, and no
// link planted at the temporary's name can redirect the write.
int install_program(const MessageSink &msg, const char *archive, const unsigned char *img, size_t len, const SfxPlan *plan,
                    const unsigned char *data, size_t n)
{
    NewArchive out;
    if (!rewrite_create(&out, archive, msg)) {
        msg_printf(msg, MSG_ERR, "Cannot open/create: %s (%s)\n", archive, strerror(errno));
        return 0;
    }
    if (!sfx_write_image(out.file.get(), img, len, plan, data, n)) {
        msg_printf(msg, MSG_ERR, "Cannot write: %s; %s left unchanged\n", out.path, archive);
        rewrite_abort(&out);
        return 0;
    }
    return rewrite_install(&out, archive);
}

} // namespace

int sfx_build(AddState &as, const char *archive, char *const *files, int nfiles, int method, int *added_out,
              int *errors_out)
{
    FILE *old_program;
    if (!may_replace_program(as.msg, archive, &old_program))
        return 0;
    // The entries go to a temporary archive beside the output, created
    // exclusively so that no existing file or link is ever written through.
    // It is never placed: only the entries are taken from it (private, 0600).
    AtomicFile tmp_name;
    BufferedFile tmp_file(tmb_atomic_create_beside(&tmp_name, archive, 0600));
    FILE *tmp = tmp_file.get();
    if (!tmp) {
        // No file was made: name the directory it was to be made in.
        msg_printf(as.msg, MSG_ERR, "Cannot create temp: %s (%s)\n", tmb_dir_of(archive).c_str(), strerror(errno));
        if (old_program)
            fclose(old_program);
        return 0;
    }
    TempArchive tmp_guard(&tmp_name);

    // Every argument is one path, without wildcard expansion; a directory's
    // entries are named relative to it, whatever "./" pairs lead it. A walk
    // of the directory holding the output passes over the temporary archive
    // and the program being replaced.
    add_set_archive(as, tmp, old_program);
    int added = 0, errors = 0;
    for (int i = 0; i < nfiles; i++) {
        const char *path = files[i];
        const char *name = path;
        while (name[0] == '.' && name[1] == '/')
            name += 2;
        struct stat st;
        int is_dir = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
        as.arc_root_len = is_dir ? (int)strlen(name) + 1 : 0;
        if (as.add_tally.broken)
            break;
        AddTally before = as.add_tally;
        int ok = add_path(as, tmp, path, name, method);
        int failed = as.add_tally.failed - before.failed;
        added += as.add_tally.added - before.added;
        errors += failed > 0 ? failed : !ok;
    }
    add_set_archive(as, nullptr);
    if (old_program)
        fclose(old_program);
    // Entries lost for want of disk or memory: no program is built.
    if (as.add_tally.broken) {
        msg_printf(as.msg, MSG_ERR, "Cannot build %s; left unchanged\n", archive);
        return 0;
    }
    if (added == 0) {
        add_report_nothing_added(as, archive);
        return 0;
    }

    // End the archive and read it back whole through the same stream. A
    // temporary archive that could not be written whole must not become a
    // broken .run file.
    static const unsigned char end_mark[2] = {0, 0};
    fwrite(end_mark, 1, 2, tmp);
    if (fflush(tmp) != 0 || ferror(tmp)) {
        msg_printf(as.msg, MSG_ERR, "Cannot write temp: %s\n", tmp_name.tmp.c_str());
        return 0;
    }
    long n = -1;
    if (fseek(tmp, 0, SEEK_END) == 0)
        n = ftell(tmp);
    if (n < 0 || fseek(tmp, 0, SEEK_SET) != 0) {
        msg_puts(as.msg, MSG_ERR, "Cannot read temp\n");
        return 0;
    }
    unsigned char *data = (unsigned char *)malloc(n > 0 ? (size_t)n : 1);
    if (!data) {
        msg_puts(as.msg, MSG_ERR, "Out of memory\n");
        return 0;
    }
    if (fread(data, 1, (size_t)n, tmp) != (size_t)n) {
        msg_puts(as.msg, MSG_ERR, "Cannot read temp\n");
        free(data);
        return 0;
    }
    tmp_file.close();
    tmp_guard.remove_now();
    as.log.line("TMB data: %ld bytes", n);

    // Patch a copy; the embedded image itself never changes.
    unsigned char *copy = (unsigned char *)malloc(tmb_stub_len);
    if (!copy) {
        free(data);
        msg_puts(as.msg, MSG_ERR, "Out of memory\n");
        return 0;
    }
    memcpy(copy, tmb_stub, tmb_stub_len);
    SfxPlan plan;
    if (!sfx_patch_image(copy, tmb_stub_len, (size_t)n, &plan, as.log)) {
        msg_puts(as.msg, MSG_ERR, "Archive too large for a self-extracting file\n");
        free(copy);
        free(data);
        return 0;
    }

    // Stub up to the end of the data contents, archive, fill bytes, the rest
    // of the stub (or, without a data hunk, stub then archive). A truncated
    // executable would crash on AmigaOS; none is ever put in place.
    int ok = install_program(as.msg, archive, copy, tmb_stub_len, &plan, data, (size_t)n);
    free(copy);
    free(data);
    if (!ok)
        return 0;

    *added_out = added;
    *errors_out = errors;
    return 1;
}
