/* Runs a program N times in a row and prints, one line per run, the wall
 * time in nanoseconds, the peak resident set in KiB, the exit status and
 * the CPU time (user and system) in nanoseconds.
 *   measure [-n runs] [-i stdin-file] [-o stdout-file] -- program [args...]
 * The child's environment is this program's.  Linked statically where the C
 * library allows: a child's peak RSS counts the launcher's pages at the fork,
 * so the launcher must stay smaller than anything it measures. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv)
{
    long runs = 1;
    const char *in = "/dev/null", *out = "/dev/null";
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
        if (i + 1 >= argc)
            return 2;
        if (strcmp(argv[i], "-n") == 0)
            runs = strtol(argv[i + 1], NULL, 10);
        else if (strcmp(argv[i], "-i") == 0)
            in = argv[i + 1];
        else if (strcmp(argv[i], "-o") == 0)
            out = argv[i + 1];
        else
            return 2;
    }
    if (i + 1 >= argc) {
        fputs("usage: measure [-n runs] [-i stdin] [-o stdout] -- program [args...]\n", stderr);
        return 2;
    }
    char **child_argv = argv + i + 1;
    for (long r = 0; r < runs; r++) {
        long long start = now_ns();
        pid_t pid = fork();
        if (pid < 0)
            return 1;
        if (pid == 0) {
            int fd0 = open(in, O_RDONLY);
            int fd1 = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd0 < 0 || fd1 < 0 || dup2(fd0, 0) < 0 || dup2(fd1, 1) < 0)
                _exit(126);
            close(fd0);
            close(fd1);
            execv(child_argv[0], child_argv);
            _exit(127);
        }
        int status;
        struct rusage ru;
        if (wait4(pid, &status, 0, &ru) != pid)
            return 1;
        long long ns = now_ns() - start;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        long long cpu = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000000LL +
            (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1000LL;
        printf("%lld %ld %d %lld\n", ns, ru.ru_maxrss, code, cpu);
    }
    return 0;
}
