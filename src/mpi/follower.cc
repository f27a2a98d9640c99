#include "mpi/follower.h"

#include <errno.h>

#include <atomic>
#include <memory>
#include <vector>

#include "console/clock.h"
#include "driver/phases.h"
#include "driver/stop.h"
#include "mpi/protocol.h"
#include "work/directories.h"
#include "work/grants.h"
#include "work/owners.h"
#include "work/phase.h"

namespace treeflood {

namespace {

// Another rank's side: each thread asks rank 0 for grants of numbers, and
// asks for its next one once it has used half of the one in hand, so that
// the round trip is hidden behind the other half.
struct RemoteCounter final : FileNumberSource {
  MPI_Comm comm = MPI_COMM_NULL;
  std::atomic<uint64_t> files{0};
  // A thread's grant in hand and its request for the next one. Here rather
  // than in the thread, since a request may outlive it.
  struct Slot {
    MPI_Request request = MPI_REQUEST_NULL;
    uint64_t reply[2] = {};
    Grant grant;
    uint64_t size = 0;  // of the grant in hand
    bool over = false;  // rank 0 has no more
  } slots[64];

  void reset() override {
    files = 0;
    for (Slot& slot : slots) {
      slot.grant = {};
      slot.over = false;
    }
  }

  // Waits for the replies to the requests that no thread took, once the
  // phase's threads have ended; rank 0 answers every request in a phase.
  void drain() {
    for (Slot& slot : slots) waitQuietly(&slot.request, comm);
  }

  // Asks rank 0 for the next grant, the reply to come to `slot` under `tag`,
  // the thread's own.
  void ask(Slot* slot, int tag) {
    MPI_Irecv(slot->reply, 2, MPI_UINT64_T, 0, tag, comm, &slot->request);
    MPI_Send(nullptr, 0, MPI_UINT64_T, 0, tag, comm);
  }

  uint64_t next(NumberCursor* cursor) override {
    const int index = static_cast<int>(cursor->thread);
    Slot& slot = slots[index];
    if (slot.grant.first == slot.grant.end) {
      if (slot.over) return kNoMore;
      if (slot.request == MPI_REQUEST_NULL) ask(&slot, index + 1);
      waitQuietly(&slot.request, comm);
      if (slot.reply[0] == kNoMore) {
        slot.over = true;
        return kNoMore;
      }
      slot.grant = {slot.reply[0], slot.reply[1]};
      slot.size = slot.reply[1] - slot.reply[0];
    }
    const uint64_t n = slot.grant.first++;
    if (slot.request == MPI_REQUEST_NULL &&
        2 * (slot.grant.end - slot.grant.first) <= slot.size) {
      ask(&slot, index + 1);
    }
    files.fetch_add(1, std::memory_order_relaxed);
    return n;
  }

  uint64_t handedOut() const override { return files.load(); }
};

// A rank's link to rank 0 during a phase, on a thread of its own: it
// reports the rank's progress, so that a rank that works through a large
// grant is not taken for a silent one, and takes rank 0's word to stop, which
// a rank in the middle of a grant would otherwise not hear until its end.
struct Heartbeat {
  MPI_Comm comm = MPI_COMM_NULL;
  const RemoteCounter* counter = nullptr;
  StoppableThread thread;
};

void* beat(void* arg) {
  Heartbeat& h = *static_cast<Heartbeat*>(arg);
  uint64_t stop = 0;
  MPI_Request stopping;
  MPI_Irecv(&stop, 1, MPI_UINT64_T, 0, kStopTag, h.comm, &stopping);
  auto obey = [&stop] {
    if (stop != 0) {
      requestStop(static_cast<int>(stop & 0xff), static_cast<int>(stop >> 8));
    }
  };
  // A stop is taken within a tenth of a second; progress goes every fifth.
  const uint64_t kWakeNs = kProgressNs / 5;
  for (uint64_t wake = 1; h.thread.waitUntil(monotonicNs() + kWakeNs); ++wake) {
    int arrived = 0;
    MPI_Test(&stopping, &arrived, MPI_STATUS_IGNORE);
    if (arrived) {
      obey();
      stop = 0;
    }
    if (wake % 5 != 0) continue;
    const uint64_t progress[2] = {h.counter->handedOut(), 0};
    MPI_Send(progress, 2, MPI_UINT64_T, 0, kProgressTag, h.comm);
  }
  // A stop still on its way is taken in the next phase.
  if (stopping != MPI_REQUEST_NULL) {
    MPI_Cancel(&stopping);
    MPI_Wait(&stopping, MPI_STATUS_IGNORE);
    obey();
  }
  return nullptr;
}

}  // namespace

void follow(const RunSettings& s, int workFd, MPI_Comm world,
            MPI_Comm service) {
  PhasePlan base = runPlan(s);
  base.progress = false;  // rank 0 writes the phase's lines
  base.quiet = true;
  DirectoryFds dirFds(s.dirs);
  RemoteCounter counter;
  counter.comm = service;
  std::vector<uint64_t> refused;
  for (;;) {
    Command command;
    MPI_Request request;
    MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
    waitQuietly(&request, service);
    if (command.stop != 0) {
      requestStop(command.stop & 0xff, command.stop >> 8);
    }
    if (command.quit) break;
    refused.resize(command.refused);
    if (!refused.empty()) {
      MPI_Ibcast(refused.data(), static_cast<int>(refused.size()), MPI_UINT64_T,
                 0, world, &request);
      waitQuietly(&request, service);
    }
    const Phase phase = static_cast<Phase>(command.phase);
    if (phase == Phase::Create) {
      // Rank 0 has made the directories; those it could not make fail here
      // too, as they do there.
      PhaseFailures missing;
      closeDirectories(base.layout, dirFds.data());
      openDirectories(workFd, base.layout, DirectoryMode::OpenOnly,
                      dirFds.data(), &missing);
      // Ready: rank 0 starts its files with ours.
      MPI_Ibarrier(world, &request);
      waitQuietly(&request, service);
    }
    PhasePlan plan = base;
    plan.nbFiles = command.nbFiles;
    plan.timeFiles = command.timeFiles != 0;
    plan.syncFd = command.syncfs ? workFd : -1;
    plan.order = command.order;
    plan.numbers = &counter;
    plan.dirFds = dirFds.data();
    plan.refused = &refused;
    // The delete phase ends only when all is gone.
    plan.stop = phase == Phase::Delete ? &kNeverStop : &stopRequested;
    counter.reset();
    Heartbeat heartbeat;
    heartbeat.comm = service;
    heartbeat.counter = &counter;
    // Without it, a rank whose grant lasts longer than the warning's 5 s is
    // warned of, and the phase goes on.
    heartbeat.thread.start(beat, &heartbeat);
    PhaseStats stats;
    runPhase(plan, phaseWorker(phase), monotonicNs(), &stats);
    counter.drain();
    heartbeat.thread.stop();
    passOnStop(service);
    const uint64_t done[2] = {counter.handedOut(), 1};
    MPI_Send(done, 2, MPI_UINT64_T, 0, kProgressTag, service);
    auto report = std::make_unique<Report>();
    fillReport(stats, counter.files, report.get());
    MPI_Igather(report.get(), sizeof(Report), MPI_BYTE, nullptr, 0, MPI_BYTE, 0,
                world, &request);
    waitQuietly(&request, service);
    MPI_Igatherv(stats.refused.data(), static_cast<int>(stats.refused.size()),
                 MPI_UINT64_T, nullptr, nullptr, nullptr, MPI_UINT64_T, 0,
                 world, &request);
    waitQuietly(&request, service);
  }
}

}  // namespace treeflood
