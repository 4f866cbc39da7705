#include "testkit.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit {

TempDir::TempDir()
{
    char tmpl[] = "/tmp/tmbtest_XXXXXX";
    if (!mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const std::string &path)
{
    Bytes b = read_file(path);
    return std::string(b.begin(), b.end());
}

void write_file(const std::string &path, const Bytes &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), (std::streamsize)data.size());
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string &path, const std::string &text)
{
    write_file(path, Bytes(text.begin(), text.end()));
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

RunResult run_program(const std::vector<std::string> &args, const RunOptions &opt)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            _exit(126);
        if (opt.file_size_limit >= 0) {
            struct rlimit rl = {(rlim_t)opt.file_size_limit, (rlim_t)opt.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &rl);
            // A failed write, not a killed process; or the default action,
            // whatever this process had, for a program that must see to it.
            signal(SIGXFSZ, opt.default_sigxfsz ? SIG_DFL : SIG_IGN);
        }
        if (opt.wall_limit_seconds > 0)
            alarm((unsigned)opt.wall_limit_seconds);  // survives the exec
        if (opt.cpu_limit_seconds >= 0) {
            struct rlimit rl = {(rlim_t)opt.cpu_limit_seconds, (rlim_t)opt.cpu_limit_seconds};
            setrlimit(RLIMIT_CPU, &rl);
        }
        if (opt.open_files_limit >= 0) {
            struct rlimit rl = {(rlim_t)opt.open_files_limit, (rlim_t)opt.open_files_limit};
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        for (const std::string &e : opt.env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    // Feed stdin and drain both outputs together so no pipe fills up.
    signal(SIGPIPE, SIG_IGN);
    size_t fed = 0;
    int in_fd = in_pipe[1];
    if (opt.close_stdin || opt.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    RunResult r;
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    char buf[65536];
    while (out_fd >= 0 || err_fd >= 0) {
        struct pollfd fds[3];
        int n = 0;
        if (out_fd >= 0)
            fds[n++] = {out_fd, POLLIN, 0};
        if (err_fd >= 0)
            fds[n++] = {err_fd, POLLIN, 0};
        if (in_fd >= 0)
            fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in_fd) {
                ssize_t w = write(in_fd, opt.input.data() + fed, opt.input.size() - fed);
                if (w > 0)
                    fed += (size_t)w;
                if (w < 0 || fed == opt.input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            std::string &dst = fds[i].fd == out_fd ? r.out : r.err;
            if (got > 0) {
                dst.append(buf, (size_t)got);
            } else {
                close(fds[i].fd);
                (fds[i].fd == out_fd ? out_fd : err_fd) = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.pid = (int)pid;
    return r;
}

RunResult run_tambrix(const std::vector<std::string> &args, const RunOptions &opt)
{
    // The program is linked statically; a run that preloads a library takes
    // the same program linked against the shared C library.
    bool preloads = false;
    for (const std::string &e : opt.env)
        preloads = preloads || e.rfind("LD_PRELOAD=", 0) == 0;
    std::vector<std::string> full{preloads ? TAMBRIX_PRELOAD_BIN : TAMBRIX_BIN};
    full.insert(full.end(), args.begin(), args.end());
    if (!opt.measure_rss)
        return run_program(full, opt);
#ifdef TMB_RSS_PROBE
    // A child forked from the test would count the test's own memory.
    char rss_path[] = "/tmp/tmbtest_rss_XXXXXX";
    int fd = mkstemp(rss_path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    close(fd);
    full.insert(full.begin(), {TMB_RSS_PROBE, rss_path});
    RunResult r = run_program(full, opt);
    std::string kb = read_text(rss_path);
    std::remove(rss_path);
    r.peak_rss_kb = kb.empty() ? -1 : std::stol(kb);
    return r;
#else
    throw std::runtime_error("built without tmb_rss_probe");
#endif
}

void put_u8(Bytes &b, unsigned v) { b.push_back((uint8_t)v); }
void put_u16(Bytes &b, unsigned v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void put_u32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.push_back((uint8_t)(v >> (8 * i)));
}
void put_str(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }

FILE *tmpfile_with(const Bytes &data)
{
    FILE *fp = tmpfile();
    if (!data.empty())
        fwrite(data.data(), 1, data.size(), fp);
    rewind(fp);
    return fp;
}

Bytes whole_stream(FILE *fp)
{
    fflush(fp);
    long here = ftell(fp);
    fseek(fp, 0, SEEK_END);
    Bytes b((size_t)ftell(fp));
    rewind(fp);
    if (!b.empty() && fread(b.data(), 1, b.size(), fp) != b.size())
        b.clear();
    fseek(fp, here, SEEK_SET);
    return b;
}

} // namespace testkit
