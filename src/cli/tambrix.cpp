// Entry point: options, archive-name rules, file list, banner, usage and
// dispatch.
#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tmb_cmd.h"
#include "tmb_debug.h"
#include "tmb_header.h"
#include "tmb_match.h"
#include "tmb_shown.h"
#include "tmb_spool.h"
#include "tmb_report.h"

const char tmb_verstag[] = "$VER: TAMBRIX 1.0 (30.11.2026) build 119";

namespace {

struct Command {
    int letter;
    int (*run)(const Options &);
    bool own_output_check = false; // says itself when standard output fails
};

// The one place where commands are wired in.
const Command s_commands[] = {
    {'l', cmd_list},   {'v', cmd_list},    {'L', cmd_savelist}, {'a', cmd_add},
    {'x', cmd_extract}, {'e', cmd_extract}, {'t', cmd_test},     {'p', cmd_print, true},
    {'u', cmd_update}, {'f', cmd_update},  {'d', cmd_delete},   {'s', cmd_split},
    {'j', cmd_join},
};

// Non-option arguments: the archive first, then the file arguments, which
// Options::files points into unless the file list replaces them.
constexpr int MAX_ARGS = 1024;
char *s_args[MAX_ARGS];
int s_nargs = 0;

// Memory the arguments point into beyond argv: the file list's lines and
// the expanded wildcard arguments, with the arrays that hold them. Kept
// like s_args until the next run (or the end of the process).
struct OwnedArgs {
    std::vector<void *> blocks;
    void clear()
    {
        for (void *p : blocks)
            free(p);
        blocks.clear();
    }
    ~OwnedArgs() { clear(); }
};
OwnedArgs s_owned;

// Copies a path into a 256-byte field. A longer one is refused, never
// cut: a cut name would make the archive, the work directory or the list
// some other file than the one the user named.
bool set_path(char *dst, const char *src)
{
    if (strlen(src) > 255) {
        fprintf(stderr, "Path too long: %s\n", tmb_shown(src).c_str());
        return false;
    }
    snprintf(dst, 256, "%s", src);
    return true;
}

// A decimal number as the options read it: optional white space and sign,
// then digits up to the first non-digit; 0 when there are none. Values
// beyond int are held at its limits.
int parse_number(const char *s)
{
    errno = 0;
    long v = strtol(s, nullptr, 10);
    if (v > INT_MAX || (errno == ERANGE && v > 0))
        return INT_MAX;
    if (v < INT_MIN || (errno == ERANGE && v < 0))
        return INT_MIN;
    return (int)v;
}

bool ends_in_archive_ext(const char *name)
{
    size_t n = strlen(name);
    const char *tail = n > 4 ? name + n - 4 : name;
    return tmb_strcasecmp(tail, ".tmb") == 0 || tmb_strcasecmp(tail, ".lzh") == 0;
}

bool append_ext(char *path, const char *ext)
{
    std::string whole = std::string(path) + ext;
    return set_path(path, whole.c_str());
}

void apply_modifiers(Options &o, const char *word)
{
    for (const char *m = word + 1; *m; m++) {
        switch (*m) {
        case 'o': o.force_overwrite = 1; break;
        case 'q': o.quiet = 1; break;
        case 'r': o.recursive = 1; break;
        case 'v': o.verbose = 1; break;
        default: break; // other letters are ignored
        }
    }
}

struct Flag {
    const char *text;
    int Options::*field;
    int value;
};

// Options taking no value, in the order they are tried.
constexpr Flag s_flags[] = {
    {"-lh0", &Options::method, 0},      {"-lh5", &Options::method, 5},
    {"-lh6", &Options::method, 6},      {"-lh7", &Options::method, 7},
    {"-q", &Options::quiet, 1},         {"-v", &Options::verbose, 1},
    {"-r", &Options::recursive, 1},     {"-o", &Options::force_overwrite, 1},
    {"-debug0", &Options::debug_level, 0}, {"-debug1", &Options::debug_level, 1},
    {"-debug2", &Options::debug_level, 2}, {"-sfx", &Options::sfx, 1},
    {"-n", &Options::no_progress, 1},   {"-e", &Options::exclude_empty, 1},
    {"-9", &Options::optimal, 1},
};

// One argument beginning with '-'; may consume the next one (-d, -i).
// Returns the index of the last argument used; clears `usable` after
// saying on standard error why an argument cannot be taken.
int parse_option(Options &o, int argc, char **argv, int i, bool *usable)
{
    const char *a = argv[i];
    for (const Flag &f : s_flags) {
        if (strcmp(a, f.text) == 0) {
            o.*f.field = f.value;
            return i;
        }
    }
    if (a[1] == 's' && a[2] >= '0' && a[2] <= '9') {
        o.split_kb = parse_number(a + 2);
        return i;
    }
    if (a[1] == 'T' && a[2] >= '0' && a[2] <= '9') {
        o.threads = parse_number(a + 2);
        return i;
    }
    if (a[1] == 'b' && a[2] != '\0') {
        o.buffer_kb = parse_number(a + 2);
        return i;
    }
    if ((strcmp(a, "-d") == 0 || strcmp(a, "-i") == 0) && i + 1 < argc) {
        if (!set_path(a[1] == 'd' ? o.work_dir : o.list_file, argv[i + 1]))
            *usable = false;
        return i + 1;
    }
    fprintf(stderr, "Unknown option: %s\n", a);
    *usable = false;
    return i;
}

// Default extension: a name that neither ends in .tmb/.lzh nor names an
// existing file gets ".tmb". False when that makes the name too long.
bool settle_archive_name(Options &o)
{
    if (o.archive[0] == '\0' || ends_in_archive_ext(o.archive))
        return true;
    // "-" and a pipe, FIFO or device are archives as they are; opening a
    // FIFO only to look would wait for a writer and then lose its data.
    if (tmb_is_stream_archive(o.archive))
        return true;
    FILE *fp = fopen(o.archive, "rb");
    if (!fp)
        return append_ext(o.archive, ".tmb");
    fclose(fp);
    return true;
}

// The archive "-" is standard input for the reading commands and standard
// output for a. A command that rewrites its archive in place, or makes
// parts or a program file beside it, needs a file.
int settle_stdio_archive(Options &o)
{
    int c = o.command;
    if (c == 'a' && !o.sfx && o.split_kb <= 0)
        return tmb_stdout_archive_begin(tmb_console(), &o.stdout_fd);
    if (c == 'a') {
        fprintf(stderr, "%s needs an archive file, not - (standard output)\n",
                o.sfx ? "-sfx" : "-s<KB>");
        return 1;
    }
    if (c == 'u' || c == 'f' || c == 'd' || c == 's' || c == 'j') {
        fprintf(stderr, "Command %c needs an archive file, not - (standard input or output)\n", c);
        return 1;
    }
    return 0;
}

// A file argument ending in ':' or '/' (a device or directory) names the
// work directory when -d did not. The adding commands take their
// arguments as paths to pack, so a directory argument stays one of them
// there: taking it away would leave that tree out of the archive.
// False when the directory's name is too long.
bool take_work_dir(Options &o)
{
    int c = o.command;
    if (c == 'a' || c == 'u' || c == 'f')
        return true;
    if (o.work_dir[0] != '\0' || o.nfiles < 1)
        return true;
    for (int i = 0; i < o.nfiles; i++) {
        const char *f = o.files[i];
        size_t n = strlen(f);
        if (n > 0 && (f[n - 1] == ':' || f[n - 1] == '/')) {
            if (!set_path(o.work_dir, f))
                return false;
            for (int j = i; j + 1 < o.nfiles; j++)
                o.files[j] = o.files[j + 1];
            o.nfiles--;
            return true;
        }
    }
    return true;
}

bool sfx_name(Options &o)
{
    size_t n = strlen(o.archive);
    if (n > 3 && ends_in_archive_ext(o.archive))
        o.archive[n - 4] = '\0';
    return append_ext(o.archive, ".run");
}

// Reads the next line piece of at most 255 characters and strips trailing
// white space; false at the end of the file.
bool next_list_line(FILE *fp, char *line)
{
    if (!fgets(line, 256, fp))
        return false;
    size_t n = strlen(line);
    while (n > 0 && strchr(" \t\r\n", line[n - 1]))
        line[--n] = '\0';
    return true;
}

bool is_list_entry(const char *line) { return line[0] != '\0' && line[0] != '#'; }

// The file list (-i): one name per line, '#' starts a comment line. The
// entries are appended to the file arguments. Returns 0, or the exit
// status when the list cannot be loaded.
int load_file_list(Options &o)
{
    FILE *fp = fopen(o.list_file, "r");
    if (!fp) {
        fprintf(stderr, "Cannot open filelist: %s\n", o.list_file);
        return 1;
    }
    char line[256];
    int count = 0;
    while (next_list_line(fp, line))
        if (is_list_entry(line))
            count++;
    if (count == 0) {
        fclose(fp);
        return 0;
    }
    rewind(fp);
    char **list = static_cast<char **>(calloc((size_t)o.nfiles + count + 1, sizeof(char *)));
    if (!list) {
        fprintf(stderr, "Out of memory loading filelist\n");
        fclose(fp);
        return 1;
    }
    int n = 0;
    for (int i = 0; i < o.nfiles; i++)
        list[n++] = o.files[i];
    int added = 0;
    while (added < count && next_list_line(fp, line)) {
        if (!is_list_entry(line))
            continue;
        added++;
        if (char *copy = strdup(line))
            list[n++] = copy;
    }
    list[n] = nullptr;
    s_owned.blocks.push_back(list);
    for (int i = o.nfiles; i < n; i++)
        s_owned.blocks.push_back(list[i]);
    o.files = list;
    o.nfiles = n;
    fclose(fp);
    return 0;
}

// True when everything printed on standard output has arrived. The error
// flag is sticky, so a write that failed early (the banner into a full
// disk) is still seen here after the command has ended.
bool stdout_arrived() { return fflush(stdout) == 0 && !ferror(stdout); }

int dispatch(const Options &o, const char *prog)
{
    for (const Command &c : s_commands) {
        if (c.letter != o.command)
            continue;
        int status = c.run(o);
        // A listing or a report that never reached its reader is no
        // success: `l arc > /dev/full` must not pass.
        if (!c.own_output_check && !stdout_arrived()) {
            fputs("Write error on standard output\n", stderr);
            status = 1;
        }
        return status;
    }
    fprintf(stderr, "Unknown command: %c\n", o.command);
    usage(prog);
    return 1;
}

void print_banner_lines()
{
    fputs("TAMBRIX 1.0 build 119  [AmigaOS 68000]\n"
          "Written for the TAMBRIX project by its developers\n"
          "Amiga Rulez!  May 2026 - 30.11.2026\n"
          "Y2K11 fixed - Level 2 headers - lh5/lh6/lh7\n\n",
          stdout);
}

} // namespace

void banner()
{
    print_banner_lines();
    fflush(stdout);
}

void usage(const char *prog)
{
    static const char *const lines[] = {
        "Commands:",
        "  l   list archive contents",
        "  v   verbose list",
        "  x   extract files (keep paths)",
        "  e   extract files (strip paths)",
        "  a   add files to archive",
        "  u   update (add only newer files)",
        "  d   delete files from archive",
        "  t   test archive integrity",
        "  f   freshen (update existing files only)",
        "  s   split a file into numbered parts (.001, .002, ...)",
        "  j   join parts back into the original file",
        "  p   print one file's contents to stdout",
        "  L   save archive listing to a file",
        "\nOptions:",
        "  -lh5  use -lh5- compression (default)",
        "  -lh6  use -lh6- compression (32KB window)",
        "  -lh7  use -lh7- compression (64KB window)",
        "  -lh0  store without compression",
        "  -d <dir>  extract to directory",
        "  -q    quiet",
        "  -v    verbose",
        "  -r    recursive (add directory trees)",
        "  -e    exclude empty directories when adding",
        "  -n    no progress dots",
        "  -b<KB>  set I/O buffer size in KB",
        "  -s<KB>  split the archive into <KB>-sized parts after adding",
        "  -i <file>  read list of files to process from a text file",
        "  -o    overwrite without prompting",
        "  -debug0  disable debug logging (default)",
        "  -debug1  log to RAM:tmb_debug.txt",
        "  -debug2  log to smb2:tmb_debug.txt",
        "  -sfx  create self-extracting archive (.run)",
        "  -9    smallest archive (slower: optimal parsing; -lh7 unless a method is given)",
        "  -T<n>  threads: 0 = every core (default), 1 = one thread",
        "\nExamples:",
    };
    static const char *const examples[] = {
        "  %s l archive.tmb\n",
        "  %s x archive.tmb\n",
        "  %s x -d RAM:tmp/ archive.tmb\n",
        "  %s a -lh6 archive.tmb file1 dir/\n",
        "  %s a -r archive.tmb SYS:Games/\n",
        "  %s a -r -lh5 -s880 archive.tmb SYS:Games/   (pack and split for floppies)\n",
        "  %s s archive.tmb 880    (split an existing archive into 880KB parts)\n",
        "  %s j archive.tmb.001 archive.tmb   (join parts back together)\n",
    };
    banner();
    printf("Usage: %s <command> [options] archive[.tmb] [files...]\n\n", prog);
    for (const char *l : lines)
        printf("%s\n", l);
    for (const char *e : examples)
        printf(e, prog);
}

void init_buffers(Options &o)
{
    if (o.buffer_kb > 0) {
        o.inbuf_max = (uint64_t)o.buffer_kb * 1024;
        o.outbuf_max = o.inbuf_max;
    } else {
        o.outbuf_max = 4194304;
        o.inbuf_max = 23488101;
    }
    if (!o.quiet) {
        printf("RAM: %luMB\n", 32UL);
        fflush(stdout);
    }
}

namespace {

int run_command_line(Options &o, DebugLog &log, int argc, char **argv)
{
    const char *prog = argc > 0 ? argv[0] : "tambrix";
    if (argc < 2) {
        usage(prog);
        return 0;
    }
    // The conventions every command-line user tries first.
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        usage(prog);
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0) {
        printf("TAMBRIX 1.0 build 119\n");
        return 0;
    }
    if (argc == 2) {
        usage(prog);
        return (argv[1][0] == '?' || strcmp(argv[1], "help") == 0) ? 0 : 1;
    }

    o = Options{};
    o.method = -1; // none asked for yet
    o.command = (unsigned char)argv[1][0];
    apply_modifiers(o, argv[1]);

    // An argument that cannot be taken is a usage error: running on
    // without it would do something else than asked (a mistyped -r packs
    // nothing of a tree), so nothing is done at all.
    bool usable = true;
    s_nargs = 0;
    s_owned.clear();
    for (int i = 2; i < argc; i++) {
        // A lone "-" is a name (standard input or output), not an option.
        if (argv[i][0] != '-' || argv[i][1] == '\0') {
            if (s_nargs < MAX_ARGS)
                s_args[s_nargs++] = argv[i];
        } else {
            i = parse_option(o, argc, argv, i, &usable);
        }
    }
    // -9 asks for the smallest archive, so without a method of its own it
    // takes the method that packs smallest.
    if (o.method < 0)
        o.method = o.optimal ? 7 : 5;
    if (!usable)
        return 1;
    if (s_nargs == 0) {
        fprintf(stderr, "No archive name specified.\n");
        usage(prog);
        return 1;
    }
    if (!set_path(o.archive, s_args[0]))
        return 1;
    o.files = s_args + 1;
    o.nfiles = s_nargs - 1;

    if (!settle_archive_name(o) || !take_work_dir(o))
        return 1;
    if (strcmp(o.archive, "-") == 0) {
        int status = settle_stdio_archive(o);
        if (status != 0)
            return status;
    }
    if (o.sfx && !sfx_name(o))
        return 1;

    if (o.command == 'p')
        o.quiet = 1;
    else if (!o.quiet)
        banner();
    init_buffers(o);
    log.debug_level = o.debug_level;
    o.log = &log;

    if (o.list_file[0] != '\0') {
        int status = load_file_list(o);
        if (status != 0)
            return status;
    }
    expand_pack_wildcards(o, s_owned.blocks);
    return dispatch(o, prog);
}

} // namespace

int tambrix_main(int argc, char **argv, Options *parsed)
{
    Options o{};
    DebugLog log;
    int status = run_command_line(o, log, argc, argv);
    o.log = nullptr; // it ends here
    if (parsed)
        *parsed = o;
    return status;
}
