// The processors this process may run on. Linux: those it is allowed (taskset, cgroups'
// cpusets), which may be fewer than the machine has; threads beyond them only take turns.
#include <sched.h>

#include <algorithm>
#include <thread>

#include "processors.h"

int processorCount() {
#ifdef __linux__
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return std::min(CPU_COUNT(&allowed), 1024);
  }
#endif
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : static_cast<int>(std::min(processors, 1024u));
}
