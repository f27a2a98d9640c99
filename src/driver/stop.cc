#include "driver/stop.h"

#include <pthread.h>
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
  if (!received.exchange(true)) {
    setStop(number, 0);
  } else if (number == SIGINT) {
    // A person pressing Ctrl-C again ends the process at once, by that
    // signal. A scheduler repeats SIGTERM (Slurm sends it twice, 10 ms
    // apart) and means the clean-up to go on; SIGKILL is its last word.
    signal(number, SIG_DFL);
    raise(number);
  }
}

}  // namespace

int stopSignal() { return stopCode.load() & 0xff; }

int stopRank() { return stopCode.load() >> 8; }

void installStopHandlers() {
  const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2};
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  action.sa_flags = SA_RESTART;
  // One handler at a time, so that the first signal to arrive is the one
  // that stops the run, not one that interrupts its handler; and none held
  // back by a mask the process was started with.
  sigset_t stops;
  sigemptyset(&stops);
  for (int s : kStopSignals) sigaddset(&stops, s);
  action.sa_mask = stops;
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void requestStop(int signal, int rank) { setStop(signal, rank); }

}  // namespace treeflood
