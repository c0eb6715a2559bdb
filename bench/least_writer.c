/* The least a status write can cost: copy the registry file with one line more beside it,
 * flush the copy and rename it over the file. Given IDLE_MS, it first waits that long and then
 * says "go": the write that follows meets the machine as a write after a countdown does (a virtual
 * machine may have let an idle guest's memory go cold meanwhile). */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* least_writer REGISTRY LINE [IDLE_MS] */
int main(int argc, char **argv)
{
    char buffer[65536];
    char temporary[4096];
    if ((argc != 3 && argc != 4) ||
        snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]) >= (int)sizeof temporary)
        return 2;
    if (argc == 4) {
        long idle = atol(argv[3]);
        struct timespec wait = {idle / 1000, (idle % 1000) * 1000000L};
        nanosleep(&wait, NULL);
        if (puts("go") < 0 || fflush(stdout) != 0)
            return 1;
    }
    int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    int out = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0)
        return 1;
    ssize_t got;
    while ((got = read(in, buffer, sizeof buffer)) > 0)
        if (write(out, buffer, (size_t)got) != got)
            return 1;
    size_t length = strlen(argv[2]);
    if (got < 0 || write(out, argv[2], length) != (ssize_t)length || write(out, "\n", 1) != 1 ||
        fsync(out) != 0 || close(out) != 0)
        return 1;
    close(in);
    return rename(temporary, argv[1]) == 0 ? 0 : 1;
}
