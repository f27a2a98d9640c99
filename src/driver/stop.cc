#include "driver/stop.h"

#include <signal.h>

namespace treeflood {

std::atomic<bool> stopRequested{false};

namespace {

// The stop: the signal, and the rank that received it above 8 bits; set
// once, by the handler or by another thread. Lock-free atomics are safe in a
// signal handler, and the handler and the thread that passes on another
// rank's stop may race.
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> stopCode{0};
// Whether this process received a stop signal itself: a stop passed on from
// another rank must not make this process's own first signal its second, or
// a SIGTERM to every rank (as a batch system sends it) would kill rank 0
// before it cleans up.
std::atomic<bool> received{false};

// Sets the stop to `signal` from `rank` unless one is set.
void setStop(int signal, int rank) {
  int none = 0;
  if (stopCode.compare_exchange_strong(none, rank << 8 | signal)) {
    stopRequested.store(true, std::memory_order_relaxed);
  }
}

void onStopSignal(int number) {
  if (received.exchange(true)) {
    // A second signal ends the process at once, by that signal.
    signal(number, SIG_DFL);
    raise(number);
    return;
  }
  setStop(number, 0);
}

}  // namespace

int stopSignal() { return stopCode.load() & 0xff; }

int stopRank() { return stopCode.load() >> 8; }

void installStopHandlers() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void requestStop(int signal, int rank) { setStop(signal, rank); }

}  // namespace treeflood
