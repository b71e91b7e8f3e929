// asuser: run a command as a robot's service runs it: a user of its own, the given
// groups, no capability at all (CapEff 0, which it checks), no new privileges. C library
// only, so that it runs on any of the VMs' C libraries.
//
//   asuser UID GID[,GID...] COMMAND [ARGS...]   the first GID is the primary group
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: asuser UID GID[,GID...] COMMAND [ARGS...]\n");
        return 125;
    }
    const uid_t uid = static_cast<uid_t>(std::atoi(argv[1]));
    gid_t groups[16];
    size_t n = 0;
    for (char* g = std::strtok(argv[2], ","); g != nullptr && n < 16; g = std::strtok(nullptr, ","))
        groups[n++] = static_cast<gid_t>(std::atoi(g));
    if (n == 0 || setgroups(n, groups) != 0 || setgid(groups[0]) != 0 || setuid(uid) != 0 ||
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::perror("asuser");
        return 125;
    }
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[128];
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "CapEff:", 7) == 0 && line[7 + std::strspn(line + 7, "0\t ")] != '\n') {
            std::fprintf(stderr, "asuser: capabilities left: %s", line);
            return 125;
        }
    if (status != nullptr) std::fclose(status);
    execv(argv[3], argv + 3);
    std::perror(argv[3]);
    return 127;
}
