// Runs a program and records its peak resident memory.
//   tmb_rss_probe OUTFILE PROGRAM [ARGS...]
// The test process cannot measure this itself: a child forked from it
// starts with the test's own pages, and the kernel's high-water mark keeps
// them across exec. Forked from this small program, the child's peak is
// its own. The probe ends the way the program ended (status or signal).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: tmb_rss_probe OUTFILE PROGRAM [ARGS...]\n");
        return 125;
    }
    pid_t pid = fork();
    if (pid < 0)
        return 125;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage ru = {};
    if (wait4(pid, &status, 0, &ru) != pid)
        return 125;
    if (FILE *fp = fopen(argv[1], "w")) {
        fprintf(fp, "%ld\n", ru.ru_maxrss);
        fclose(fp);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
