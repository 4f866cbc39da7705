// The options of one run, its buffer limits and the start-up texts.
#pragma once
#include <cstdint>

struct DebugLog;

struct Options {
    int command;          // command letter (unsigned value of the first character)
    int method;           // 0 stored, 5/6/7 for -lh5-/-lh6-/-lh7-
    int optimal;          // -9: tokens and blocks chosen by their cost
    int verbose;
    int quiet;
    int recursive;
    int force_overwrite;
    int sfx;
    int no_progress;
    int buffer_kb;
    int exclude_empty;
    int split_kb;
    int threads;          // -T<n>: 0 every online core, 1 one thread
    char list_file[256];
    char work_dir[256];
    char archive[256];
    char **files;         // name arguments; consumers go by nfiles
    int nfiles;
    int debug_level;      // -debug<n>
    int skipped_paths;    // paths the wildcard expansion passed over as too long
    int stdout_fd = -1;   // a -: the real standard output, kept for the archive
    DebugLog *log = nullptr; // the debug log of the run (held by tambrix_main)
    // Largest packed entry read into memory whole, and the decoder's output
    // buffer size (from -b<KB>; set by init_buffers).
    uint64_t inbuf_max;
    uint64_t outbuf_max;
};

extern const char tmb_verstag[];

void usage(const char *prog);
void banner();
void init_buffers(Options &o);

// The whole program; main() only forwards here so tests can link the rest.
// `parsed`, when given, receives the options as the command saw them.
int tambrix_main(int argc, char **argv, Options *parsed = nullptr);
