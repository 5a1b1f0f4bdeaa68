// The processors this process may run on, the share of them a build's threads take, and the one
// way its threads are started, which tests can make fail.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

// The processors this process may run on (at least 1): on a machine of eight held to two (an
// affinity mask, a cpuset), two. One file per platform (processors_*.cpp).
int processorCount();

// The processors no thread is using yet, shared by everything that runs at once: work takes
// threads of its own only from here, so a thread runs only on a processor the others leave idle.
struct ThreadBudget {
  std::atomic<int> spare{0};
  explicit ThreadBudget(int threads) : spare(threads) {}
};

// Up to `wanted` threads from the budget; how many were taken. They go back with
// giveThreads when their work is done.
int takeThreads(ThreadBudget& budget, int wanted);
void giveThreads(ThreadBudget& budget, int taken);

// Starts a thread that runs `work`; throws std::system_error (or std::bad_alloc) when the system
// has no thread to give, as std::thread does.
using ThreadStarter = std::thread (*)(std::function<void()> work);

// Starts a std::thread that blocks the terminating signals (safe_file.h) before it runs `work`.
std::thread startSystemThread(std::function<void()> work);

// startSystemThread unless a test has put something else in its place.
extern ThreadStarter startThread;
