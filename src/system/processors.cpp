#include "processors.h"

#include <algorithm>
#include <utility>

ThreadStarter startThread = &startSystemThread;

std::thread startSystemThread(std::function<void()> work) { return std::thread(std::move(work)); }

int takeThreads(ThreadBudget& budget, int wanted) {
  int spare = budget.spare.load();
  int taken = 0;
  do {
    taken = std::max(0, std::min(spare, wanted));
  } while (taken > 0 && !budget.spare.compare_exchange_weak(spare, spare - taken));
  return taken;
}

void giveThreads(ThreadBudget& budget, int taken) { budget.spare += taken; }
