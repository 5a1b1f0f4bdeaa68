#include "processors.h"

#include <algorithm>
#include <utility>

#include "safe_file.h"

ThreadStarter startThread = &startSystemThread;

// The program's own threads leave the terminating signals to the main thread, where the handlers
// that remove a pending temporary file and give the terminal back run.
std::thread startSystemThread(std::function<void()> work) {
  return std::thread([work = std::move(work)] {
    blockTerminatingSignalsInThisThread();
    work();
  });
}

int takeThreads(ThreadBudget& budget, int wanted) {
  int spare = budget.spare.load();
  int taken = 0;
  do {
    taken = std::max(0, std::min(spare, wanted));
  } while (taken > 0 && !budget.spare.compare_exchange_weak(spare, spare - taken));
  return taken;
}

void giveThreads(ThreadBudget& budget, int taken) { budget.spare += taken; }
