// asuser: run a command as a robot's service runs it: a user of its own, the given
// groups, no capability at all (CapEff 0, which it checks), no new privileges.
//
//   asuser UID GID[,GID...] COMMAND [ARGS...]   the first GID is the primary group
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: asuser UID GID[,GID...] COMMAND [ARGS...]\n");
        return 125;
    }
    const uid_t uid = static_cast<uid_t>(std::atoi(argv[1]));
    std::vector<gid_t> groups;
    for (char* g = std::strtok(argv[2], ","); g != nullptr; g = std::strtok(nullptr, ","))
        groups.push_back(static_cast<gid_t>(std::atoi(g)));
    if (groups.empty() || setgroups(groups.size(), groups.data()) != 0 || setgid(groups[0]) != 0 || setuid(uid) != 0 ||
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        std::perror("asuser");
        return 125;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0 && line.find_first_not_of("0\t ", 7) != std::string::npos) {
            std::fprintf(stderr, "asuser: capabilities left: %s\n", line.c_str());
            return 125;
        }
    execv(argv[3], argv + 3);
    std::perror(argv[3]);
    return 127;
}
