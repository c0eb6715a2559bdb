/* Runs one command and writes to a file how long it ran and its peak resident memory.
   Built static and small, so that the memory it holds when it forks is not taken for the
   command's own. */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* measure RESULT PROGRAM [ARGUMENT...]: writes to RESULT
   "WALL_NANOSECONDS CPU_NANOSECONDS PEAK_RSS_KIB EXIT_STATUS", CPU time being user and system. */
int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    FILE *result = fopen(argv[1], "w");
    if (result == NULL)
        return 2;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    /* The command's standard output closes when the command exits, not when this does. */
    close(STDOUT_FILENO);
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid)
        return 2;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long nanoseconds =
        (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    long long cpu = ((long long)usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                    ((long long)usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    fprintf(result, "%lld %lld %ld %d\n", nanoseconds, cpu, usage.ru_maxrss,
            WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return fclose(result) == 0 ? 0 : 2;
}
