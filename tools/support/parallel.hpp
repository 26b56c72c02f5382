// The one way the tools start threads: a parallel loop, the same loop handing each
// result over in order, and a single task run beside the caller.
//
// Every failure stops the work cleanly: tasks not yet begun are skipped, every thread
// started is joined, and the caller gets one exception. A thread that cannot be
// started is a failure of the system (std::system_error naming the reason), never a
// refusal of the input: nothing is computed with fewer threads behind the caller's
// back.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace tsneloss::support {

// Starts `body` on a new thread; throws std::system_error when it cannot. Tests put
// their own in Parallel::start to make that happen.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

struct Parallel {
  unsigned threads = 0;  // 0: one per processor
  ThreadStarter start;   // empty: std::thread
};

// `wanted`, or one per processor (at least 1) for 0.
unsigned ThreadCount(unsigned wanted);

// Calls work(task, worker) once for every task in [0, tasks), tasks taken in
// increasing order by whichever worker is free; worker 0 is the calling thread.
// After a task throws, no further task starts, and the exception of the lowest task
// that threw is rethrown once all workers are done.
void ParallelFor(std::size_t tasks, const Parallel& parallel,
                 const std::function<void(std::size_t task, unsigned worker)>& work);

// As ParallelFor, and then take(task) for each task in increasing order, one at a
// time, as soon as its work is done and take(task - 1) has returned. After a work or
// a take throws, no later task is worked or taken (earlier ones still are), and the
// exception of the lowest task is rethrown.
void ParallelInOrder(std::size_t tasks, const Parallel& parallel, const std::function<void(std::size_t task)>& work,
                     const std::function<void(std::size_t task)>& take);

// One task run on a thread of its own while the caller goes on. Wait() returns once
// it is done and rethrows what it threw; the destructor waits too (without
// rethrowing), so nothing the task uses may go before its Background.
class Background {
 public:
  Background() = default;
  // Starts `task`; throws std::system_error when no thread can be started.
  explicit Background(std::function<void()> task, const ThreadStarter& start = {});
  ~Background();
  Background(Background&& other) noexcept;
  Background& operator=(Background&& other) noexcept;

  bool running() const { return state_ != nullptr; }
  // Waits for the task and rethrows its exception; nothing happens when none runs.
  void Wait();

 private:
  struct State {
    std::thread thread;
    std::exception_ptr fault;
  };
  std::unique_ptr<State> state_;
};

}  // namespace tsneloss::support
