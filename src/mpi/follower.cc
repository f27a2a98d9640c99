#include "mpi/follower.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "console/clock.h"
#include "console/output.h"
#include "driver/checks.h"
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
// the round trip is hidden behind the other half. Each thread also keeps,
// for the rank's progress reports, how many files it has finished and the
// number it works on.
struct RemoteCounter final : FileNumberSource {
  MPI_Comm comm = MPI_COMM_NULL;
  std::atomic<uint64_t> files{0};
  // A thread's grant in hand and its request for the next one. Here rather
  // than in the thread, since a request may outlive it. A line of its own,
  // which the thread alone writes.
  struct alignas(64) Slot {
    MPI_Request request = MPI_REQUEST_NULL;
    uint64_t reply[2] = {};
    Grant grant;
    uint64_t size = 0;  // of the grant in hand
    bool over = false;  // rank 0 has no more
    std::atomic<uint64_t> finished{0};
    std::atomic<uint64_t> held{kNoMore};  // the number it works on
  } slots[64];

  void reset() override {
    files = 0;
    for (Slot& slot : slots) {
      slot.grant = {};
      slot.over = false;
      slot.finished = 0;
      slot.held = kNoMore;
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
    // The number drawn before this one is done with.
    if (slot.held.load(std::memory_order_relaxed) != kNoMore) {
      slot.finished.store(slot.finished.load(std::memory_order_relaxed) + 1,
                          std::memory_order_relaxed);
    }
    if (slot.grant.first == slot.grant.end) {
      slot.held.store(kNoMore, std::memory_order_relaxed);
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
    slot.held.store(n, std::memory_order_relaxed);
    if (slot.request == MPI_REQUEST_NULL &&
        2 * (slot.grant.end - slot.grant.first) <= slot.size) {
      ask(&slot, index + 1);
    }
    files.fetch_add(1, std::memory_order_relaxed);
    return n;
  }

  uint64_t handedOut() const override { return files.load(); }

  // The files every thread has finished, and the lowest number one works
  // on, or kNoMore.
  void progress(uint64_t* finished, uint64_t* held) const {
    *finished = 0;
    *held = kNoMore;
    for (const Slot& slot : slots) {
      *finished += slot.finished.load(std::memory_order_relaxed);
      *held = std::min(*held, slot.held.load(std::memory_order_relaxed));
    }
  }
};

// A rank's link to rank 0, on a thread of its own from the first phase to
// the last: during a phase it reports the rank's progress, so that rank 0
// sees a rank that works on and one that is stuck; it takes rank 0's word to
// stop, which a rank in the middle of a grant would otherwise not hear until
// its end; and it ends the job when rank 0 has sent nothing for the stall
// timeout, but while rank 0 said it pauses.
struct Link {
  MPI_Comm comm = MPI_COMM_NULL;
  const RemoteCounter* counter = nullptr;
  uint64_t stallTimeoutNs = 0;  // 0: wait for rank 0 forever
  const Startup* startup = nullptr;
  std::mutex lock;  // orders the progress reports of a phase
  // Under lock: whether a phase runs and whether its directories are being
  // opened, and the report in flight.
  bool inPhase = false, settingUp = false;
  MPI_Request sending = MPI_REQUEST_NULL;
  uint64_t report[kMessageWords] = {};
  StoppableThread thread;
};

// Sends rank 0 the rank's progress, unless a report is still in flight; the
// last one of a phase (`done`) after it, in any case. Under link->lock.
void reportProgress(Link* link, bool done) {
  int sent = link->sending == MPI_REQUEST_NULL;
  if (!sent) MPI_Test(&link->sending, &sent, MPI_STATUS_IGNORE);
  if (!sent && !done) return;
  waitQuietly(&link->sending, link->comm);
  link->report[0] = link->counter->handedOut();
  link->report[1] = done;
  link->counter->progress(&link->report[2], &link->report[3]);
  if (link->settingUp) link->report[3] = kSettingUp;
  MPI_Isend(link->report, kMessageWords, MPI_UINT64_T, 0, kProgressTag,
            link->comm, &link->sending);
  if (done) waitQuietly(&link->sending, link->comm);
}

// Says that rank 0 has been silent in `turn` and ends the job; the tree is
// left to --cleanup, since rank 0 may still be working in it.
[[noreturn]] void abandonJob(const Link& link, Phase turn) {
  logMessage(
      "Rank 0 (%s) sent nothing for %.0f s in the %s phase: ending the job; "
      "the tree stays: run treeflood --cleanup -d %s\n",
      link.startup->hosts[0].c_str(),
      static_cast<double>(link.stallTimeoutNs) / 1e9, phaseName(turn),
      link.startup->workDir.c_str());
  MPI_Abort(MPI_COMM_WORLD, 1);
  _exit(1);  // not reached: MPI_Abort ends the process
}

void* keepLink(void* arg) {
  Link& link = *static_cast<Link*>(arg);
  uint64_t stop = 0, alive[2] = {};
  MPI_Request stopping, hearing;
  MPI_Irecv(&stop, 1, MPI_UINT64_T, 0, kStopTag, link.comm, &stopping);
  MPI_Irecv(alive, 2, MPI_UINT64_T, 0, kAliveTag, link.comm, &hearing);
  Phase turn = Phase::Create;
  bool paused = false;
  uint64_t heardNs = monotonicNs(), lastNs = heardNs;
  // A stop is taken within a tenth of a second; progress goes every fifth.
  const uint64_t kWakeNs = kProgressNs / 5;
  for (uint64_t wake = 1; link.thread.waitUntil(monotonicNs() + kWakeNs);
       ++wake) {
    int arrived = 0;
    MPI_Test(&stopping, &arrived, MPI_STATUS_IGNORE);
    if (arrived) {
      requestStop(static_cast<int>(stop & 0xff), static_cast<int>(stop >> 8));
      MPI_Irecv(&stop, 1, MPI_UINT64_T, 0, kStopTag, link.comm, &stopping);
    }
    const uint64_t now = monotonicNs();
    // Every keep-alive waiting is read first; a gap in this thread's own
    // wakes (this rank stopped) is not rank 0's silence.
    if (now - lastNs > kProgressNs || paused) heardNs += now - lastNs;
    lastNs = now;
    for (MPI_Test(&hearing, &arrived, MPI_STATUS_IGNORE); arrived;
         MPI_Test(&hearing, &arrived, MPI_STATUS_IGNORE)) {
      heardNs = now;
      turn = static_cast<Phase>(alive[0]);
      paused = alive[1] != 0;
      MPI_Irecv(alive, 2, MPI_UINT64_T, 0, kAliveTag, link.comm, &hearing);
    }
    if (link.stallTimeoutNs != 0 && now - heardNs > link.stallTimeoutNs) {
      abandonJob(link, turn);
    }
    if (wake % 5 != 0) continue;
    std::lock_guard<std::mutex> hold(link.lock);
    if (link.inPhase) reportProgress(&link, false);
  }
  for (MPI_Request* request : {&stopping, &hearing}) {
    MPI_Cancel(request);
    MPI_Wait(request, MPI_STATUS_IGNORE);
  }
  // A stop that came as the link ended is taken all the same.
  if (stop != 0) {
    requestStop(static_cast<int>(stop & 0xff), static_cast<int>(stop >> 8));
  }
  return nullptr;
}

}  // namespace

void follow(const Startup& startup, MPI_Comm world, MPI_Comm service) {
  const RunSettings& s = startup.settings;
  const int workFd = startup.workFd.get();
  PhasePlan base = runPlan(s);
  base.progress = false;  // rank 0 writes the phase's lines
  base.quiet = true;
  DirectoryFds dirFds(s.dirs);
  RemoteCounter counter;
  counter.comm = service;
  std::vector<uint64_t> refused;
  RandomData data;
  Link link;
  link.comm = service;
  link.counter = &counter;
  link.stallTimeoutNs =
      static_cast<uint64_t>(s.stallTimeout.value_or(kStallTimeout) * 1e9);
  link.startup = &startup;
  // Without it, a rank whose grant lasts longer than the warning's 5 s is
  // warned of, and a silent rank 0 is waited for forever.
  link.thread.start(keepLink, &link);
  for (;;) {
    Command command;
    MPI_Request request;
    MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
    waitQuietly(&request, service);
    if (command.stop != 0) {
      requestStop(command.stop & 0xff, command.stop >> 8);
    }
    if (command.quit) break;
    if (command.dropCaches) {
      int dropped = !startup.dropFd || dropCaches(workFd, startup.dropFd.get());
      MPI_Ireduce(&dropped, nullptr, 1, MPI_INT, MPI_MIN, 0, world, &request);
      waitQuietly(&request, service);
      continue;
    }
    refused.resize(command.refused);
    if (!refused.empty()) {
      MPI_Ibcast(refused.data(), static_cast<int>(refused.size()), MPI_UINT64_T,
                 0, world, &request);
      waitQuietly(&request, service);
    }
    const Phase phase = static_cast<Phase>(command.phase);
    counter.reset();
    {
      std::lock_guard<std::mutex> hold(link.lock);
      link.inPhase = true;
      link.settingUp = phase == Phase::Create;
    }
    if (phase == Phase::Create) {
      // Rank 0 has made the directories; those it could not make fail here
      // too, as they do there.
      PhaseFailures missing;
      closeDirectories(base.layout, dirFds.data());
      openDirectories(workFd, base.layout, DirectoryMode::OpenOnly,
                      dirFds.data(), &missing);
      {
        std::lock_guard<std::mutex> hold(link.lock);
        link.settingUp = false;
      }
      // Ready: rank 0 starts its files with ours.
      MPI_Ibarrier(world, &request);
      waitQuietly(&request, service);
    }
    PhasePlan plan = base;
    plan.nbFiles = command.nbFiles;
    plan.timeFiles = command.timeFiles != 0;
    plan.syncFd = command.syncfs ? workFd : -1;
    plan.order = command.order;
    // Made once, as rank 0's were; without the memory, every file fails.
    if (s.randomData) {
      if (!data.pool.data() || data.seed != command.dataSeed) {
        makeRandomData(command.dataSeed, &data);
      }
      plan.data = &data;
    }
    plan.numbers = &counter;
    plan.dirFds = dirFds.data();
    plan.refused = &refused;
    // The delete phase ends only when all is gone.
    plan.stop = phase == Phase::Delete ? &kNeverStop : &stopRequested;
    PhaseStats stats;
    runPhase(plan, phaseWorker(phase), monotonicNs(), &stats);
    counter.drain();
    passOnStop(service);
    {
      std::lock_guard<std::mutex> hold(link.lock);
      link.inPhase = false;
      reportProgress(&link, true);
    }
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
