// The processors this process may run on: those of its affinity mask (start /affinity, a job
// object), which may be fewer than the machine has; threads beyond them only take turns.
#include <windows.h>

#include <algorithm>
#include <bitset>
#include <thread>

#include "processors.h"

int processorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) != 0 && process != 0) {
    return static_cast<int>(std::bitset<sizeof(DWORD_PTR) * 8>(process).count());
  }
  const unsigned processors = std::thread::hardware_concurrency();
  return processors == 0 ? 1 : static_cast<int>(std::min(processors, 1024u));
}
