// FFTW's transforms with their parallel loops run by the tools' thread utility: its
// thread count, and its handling of a thread that cannot be started (an error, never a
// transform quietly left half done).
#pragma once

#include <fftw3.h>

#include <mutex>

namespace tsneloss::normaliser::detail {

// Sets FFTW's threads up (once) and locks its planner, which is not reentrant.
std::unique_lock<std::mutex> LockPlanner();

// Executes `plan` (made under LockPlanner with `threads` threads) with its parallel
// loops on the utility's threads. Rethrows what a loop threw, once FFTW is done.
void ExecuteOnThreads(fftw_plan plan, unsigned threads);

}  // namespace tsneloss::normaliser::detail
