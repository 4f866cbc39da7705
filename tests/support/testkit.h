// Helpers shared by the tests: scratch directories, whole-file I/O and
// running the built program.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testkit {

using Bytes = std::vector<uint8_t>;

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes read_file(const std::string &path);
std::string read_text(const std::string &path);
void write_file(const std::string &path, const Bytes &data);
void write_text(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

struct RunResult {
    int status = -1;      // exit status, or 128 + signal
    int pid = -1;         // the child's process id (names of its temporary files)
    std::string out;      // standard output
    std::string err;      // standard error
    long peak_rss_kb = -1; // peak resident memory, when measured (RunOptions.measure_rss)
};

struct RunOptions {
    std::string cwd;                 // empty: the current directory
    std::string input;               // fed to standard input
    bool close_stdin = false;        // standard input at end of file at once
    long file_size_limit = -1;       // RLIMIT_FSIZE in bytes for the child, -1: none
    bool default_sigxfsz = false;    // with the limit, SIGXFSZ left to the program (else ignored)
    long cpu_limit_seconds = -1;     // RLIMIT_CPU for the child (a runaway loop dies), -1: none
    long wall_limit_seconds = -1;    // SIGALRM for the child (a blocked one dies too), -1: none
    long open_files_limit = -1;      // RLIMIT_NOFILE for the child, -1: none
    std::vector<std::string> env;    // extra "NAME=value" entries for the child
    bool measure_rss = false;        // run through tmb_rss_probe and fill peak_rss_kb
};

// Runs the built program with `args` (without the program name); with an
// LD_PRELOAD entry in the environment, its twin linked against the shared
// C library, which a preloaded library can reach.
RunResult run_tambrix(const std::vector<std::string> &args, const RunOptions &opt = {});

// Runs any program; args[0] is the program path.
RunResult run_program(const std::vector<std::string> &args, const RunOptions &opt = {});

// An anonymous temporary file holding `data`, positioned at its start.
FILE *tmpfile_with(const Bytes &data);
// Everything in `fp`, read without moving its position.
Bytes whole_stream(FILE *fp);

// Little-endian appenders for byte builders.
void put_u8(Bytes &b, unsigned v);
void put_u16(Bytes &b, unsigned v);
void put_u32(Bytes &b, uint32_t v);
void put_str(Bytes &b, const std::string &s);

} // namespace testkit
