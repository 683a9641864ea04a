#include "quorlane/signals.h"

#include <atomic>
#include <csignal>

namespace {

std::atomic<int> gCaughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

extern "C" void quorlane_handle_signal(int signo) {
  gCaughtSignal.store(signo, std::memory_order_relaxed);
}

namespace quorlane {

void installTerminationHandlers() {
  struct sigaction action {};
  action.sa_handler = quorlane_handle_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signo : {SIGHUP, SIGINT, SIGTERM}) sigaction(signo, &action, nullptr);
}

int caughtSignal() { return gCaughtSignal.load(std::memory_order_relaxed); }

std::string signalReason(int signo) {
  switch (signo) {
    case SIGHUP: return "SIGHUP (terminal disconnect)";
    case SIGINT: return "SIGINT (Ctrl-C)";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signo);
  }
}

}  // namespace quorlane
