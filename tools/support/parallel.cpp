#include "support/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace tsneloss::support {
namespace {

constexpr std::size_t kNoTask = std::numeric_limits<std::size_t>::max();

std::thread Start(const ThreadStarter& start, std::function<void()> body) {
  try {
    return start ? start(std::move(body)) : std::thread(std::move(body));
  } catch (const std::system_error& error) {
    throw std::system_error(error.code(), "cannot start a thread");
  }
}

// What the workers of one loop share.
class Loop {
 public:
  Loop(std::size_t tasks, const std::function<void(std::size_t, unsigned)>& work,
       const std::function<void(std::size_t)>* take)
      : tasks_(tasks), work_(work), take_(take) {}

  void RunWorker(unsigned worker) {
    for (std::size_t task = next_.fetch_add(1); task < tasks_; task = next_.fetch_add(1)) {
      bool done = false;
      if (task < first_fault_.load(std::memory_order_acquire)) {
        try {
          work_(task, worker);
          done = true;
        } catch (...) {
          Fail(task, std::current_exception());
        }
      }
      if (take_ != nullptr) TakeInTurn(task, done);
    }
  }

  // No task starts after this; the system's failure is reported above any task's.
  void FailToStart(std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (!system_fault_) system_fault_ = std::move(error);
    first_fault_.store(0, std::memory_order_release);
  }

  void Rethrow() {
    if (system_fault_) std::rethrow_exception(system_fault_);
    if (fault_) std::rethrow_exception(fault_);
  }

 private:
  void Fail(std::size_t task, std::exception_ptr error) {
    const std::lock_guard lock(mutex_);
    if (task < fault_task_) {
      fault_task_ = task;
      fault_ = std::move(error);
    }
    if (task < first_fault_.load(std::memory_order_relaxed)) first_fault_.store(task, std::memory_order_release);
  }

  void TakeInTurn(std::size_t task, bool done) {
    // Tasks are handed out in order, so every earlier one is held by a running
    // worker: the wait always ends.
    for (std::size_t now = turn_.load(std::memory_order_acquire); now != task;
         now = turn_.load(std::memory_order_acquire)) {
      turn_.wait(now, std::memory_order_acquire);
    }
    if (done && task < first_fault_.load(std::memory_order_acquire)) {
      try {
        (*take_)(task);
      } catch (...) {
        Fail(task, std::current_exception());
      }
    }
    turn_.store(task + 1, std::memory_order_release);
    turn_.notify_all();
  }

  const std::size_t tasks_;
  const std::function<void(std::size_t, unsigned)>& work_;
  const std::function<void(std::size_t)>* take_;
  std::atomic<std::size_t> next_{0};
  std::atomic<std::size_t> turn_{0};
  std::atomic<std::size_t> first_fault_{kNoTask};
  std::mutex mutex_;
  std::size_t fault_task_ = kNoTask;
  std::exception_ptr fault_;
  std::exception_ptr system_fault_;
};

void RunLoop(std::size_t tasks, const Parallel& parallel, Loop& loop) {
  const auto workers = static_cast<unsigned>(std::min<std::size_t>(ThreadCount(parallel.threads), tasks));
  std::vector<std::thread> helpers;
  helpers.reserve(workers);
  for (unsigned worker = 1; worker < workers; ++worker) {
    try {
      helpers.push_back(Start(parallel.start, [&loop, worker] { loop.RunWorker(worker); }));
    } catch (...) {
      loop.FailToStart(std::current_exception());
      break;
    }
  }
  // The caller works too: with the helpers started, or alone to skip what is left.
  loop.RunWorker(0);
  for (std::thread& helper : helpers) helper.join();
  loop.Rethrow();
}

}  // namespace

unsigned ThreadCount(unsigned wanted) {
  if (wanted != 0) return wanted;
  return std::max(1u, std::thread::hardware_concurrency());
}

void ParallelFor(std::size_t tasks, const Parallel& parallel,
                 const std::function<void(std::size_t task, unsigned worker)>& work) {
  Loop loop(tasks, work, nullptr);
  RunLoop(tasks, parallel, loop);
}

void ParallelInOrder(std::size_t tasks, const Parallel& parallel, const std::function<void(std::size_t task)>& work,
                     const std::function<void(std::size_t task)>& take) {
  const std::function<void(std::size_t, unsigned)> work_on = [&work](std::size_t task, unsigned) { work(task); };
  Loop loop(tasks, work_on, &take);
  RunLoop(tasks, parallel, loop);
}

Background::Background(std::function<void()> task, const ThreadStarter& start) : state_(std::make_unique<State>()) {
  State* state = state_.get();
  state->thread = Start(start, [state, task = std::move(task)] {
    try {
      task();
    } catch (...) {
      state->fault = std::current_exception();
    }
  });
}

Background::~Background() {
  if (state_ && state_->thread.joinable()) state_->thread.join();
}

Background::Background(Background&& other) noexcept = default;

Background& Background::operator=(Background&& other) noexcept {
  if (this != &other) {
    if (state_ && state_->thread.joinable()) state_->thread.join();
    state_ = std::move(other.state_);
  }
  return *this;
}

void Background::Wait() {
  if (!state_) return;
  if (state_->thread.joinable()) state_->thread.join();
  const std::exception_ptr fault = state_->fault;
  state_.reset();
  if (fault) std::rethrow_exception(fault);
}

}  // namespace tsneloss::support
