#include "priority.h"

#include <sched.h>
#include <sys/resource.h>

namespace mivo::room {

void raiseToServerPriority() {
    const sched_param roundRobin{5};
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &roundRobin) == 0) return;
    setpriority(PRIO_PROCESS, 0, -11);
}

}  // namespace mivo::room
