// Plays a running status agent for the login-agent tests: takes the agent's instance lock at the
// path it is given and holds it until asked to end.
//   agent_stand_in LOCKFILE   exits 3 when another process holds the lock, 0 once terminated
#include "platform/linux/InstanceLock.h"

#include <csignal>

int main(int argc, char** argv) {
    if (argc < 2) {
        return 64;
    }
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    const auto lock = zorvane::InstanceLock::claim(argv[1]);
    if (lock.isHeldElsewhere()) {
        return 3;
    }
    int received = 0;
    sigwait(&ending, &received);
    return 0;
}
