#include "normaliser/fft_threads.hpp"

#include <cstddef>
#include <exception>

#include "support/parallel.hpp"

namespace tsneloss::normaliser::detail {
namespace {

// The execution this thread runs; null on the utility's own workers, where a loop
// nested in a job runs on that worker alone.
struct Execution {
  support::Parallel parallel;
  std::exception_ptr fault;
};
thread_local Execution* current_execution = nullptr;

// FFTW's parallel loop: work(jobdata + job * size) for every job. It must not throw
// through FFTW, so a failure is kept for ExecuteOnThreads.
void ParallelLoop(void* (*work)(char*), char* jobdata, std::size_t size, int jobs, void*) {
  Execution* execution = current_execution;
  if (execution == nullptr) {
    for (int job = 0; job < jobs; ++job) work(jobdata + static_cast<std::size_t>(job) * size);
    return;
  }
  if (execution->fault) return;  // the result is thrown away
  try {
    support::ParallelFor(static_cast<std::size_t>(jobs), execution->parallel,
                                   [&](std::size_t job, unsigned) { work(jobdata + job * size); });
  } catch (...) {
    execution->fault = std::current_exception();
  }
}

std::mutex& PlannerMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::unique_lock<std::mutex> LockPlanner() {
  std::unique_lock<std::mutex> lock(PlannerMutex());
  static const bool set_up = [] {
    fftw_init_threads();
    fftw_threads_set_callback(&ParallelLoop, nullptr);
    return true;
  }();
  (void)set_up;
  return lock;
}

void ExecuteOnThreads(fftw_plan plan, unsigned threads) {
  Execution execution{{threads, {}}, nullptr};
  Execution* const outer = current_execution;
  current_execution = &execution;
  fftw_execute(plan);
  current_execution = outer;
  if (execution.fault) std::rethrow_exception(execution.fault);
}

}  // namespace tsneloss::normaliser::detail
