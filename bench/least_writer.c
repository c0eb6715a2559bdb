/* The least a status write can cost: copy the registry file with one line more beside it,
 * flush the copy and rename it over the file. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* least_writer REGISTRY LINE */
int main(int argc, char **argv)
{
    char buffer[65536];
    char temporary[4096];
    if (argc != 3 ||
        snprintf(temporary, sizeof temporary, "%s.tmp", argv[1]) >= (int)sizeof temporary)
        return 2;
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
