#include "apps/tsneloss/interrupt_cleanup.hpp"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace tsneloss::apps {
namespace {

// Copied before the handler is set: a handler may only unlink a path it already holds.
char removed_path[4096];

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void RemoveAndEnd(int signal_number) {
  ::unlink(removed_path);
  // The disposition was reset on entry: raised again, the signal ends the process
  // once this handler returns, and the parent sees it as the cause.
  std::raise(signal_number);
}

}  // namespace

void RemoveOnInterrupt(const std::string& path) {
  if (path.size() >= sizeof removed_path) return;
  // Held back while the path changes, so that no handler sees half of it.
  sigset_t interrupts;
  sigemptyset(&interrupts);
  for (const int signal_number : kInterrupts) sigaddset(&interrupts, signal_number);
  sigset_t previous_mask;
  pthread_sigmask(SIG_BLOCK, &interrupts, &previous_mask);
  std::memcpy(removed_path, path.c_str(), path.size() + 1);
  struct sigaction action {};
  action.sa_handler = RemoveAndEnd;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kInterrupts) {
    struct sigaction previous {};
    sigaction(signal_number, nullptr, &previous);
    // A signal the shell set to be ignored (a background job's SIGINT) stays ignored.
    if (previous.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
  }
  pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
}

}  // namespace tsneloss::apps
