/* The least a hand-off can cost: read the registry file, start the upgrade program, exit. */
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

/* minimal REGISTRY PROGRAM PARAMETERS */
int main(int argc, char **argv)
{
    char buffer[65536];
    if (argc != 4)
        return 2;
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    char *args[] = {argv[2], argv[3], NULL};
    pid_t pid;
    return posix_spawn(&pid, argv[2], NULL, NULL, args, environ) == 0 ? 0 : 1;
}
