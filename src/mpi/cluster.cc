#include "mpi/cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <mpi.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "console/clock.h"
#include "console/output.h"
#include "driver/checks.h"
#include "driver/messages.h"
#include "driver/phases.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "driver/stop.h"
#include "runner/command.h"
#include "work/grants.h"
#include "work/latency.h"
#include "work/layout.h"
#include "work/phase.h"
#include "work/workers.h"

namespace treeflood {

namespace {

// The reply to a request for numbers once there are no more: above any
// count, so that the worker ends as after the last file.
const uint64_t kNoMore = UINT64_MAX;
// Messages on the service's communicator, all of at most two MPI_UINT64_T.
// A worker asks for a grant under its own tag, 1 to 64, which the reply
// ({first, end}) carries back to it alone.
// {signal}: a rank received a stop signal; from rank 0, {signal | rank << 8}:
// stop, for rank's signal.
const int kStopTag = 100;
const int kQuitTag = 101;      // {}: rank 0 ends its service
const int kProgressTag = 102;  // {files begun, 1 once the rank is done}

// How often a rank tells rank 0 how far it has got: often enough for the
// timeline's one-second stall rule and the live line, and far apart enough
// to cost nothing.
const uint64_t kProgressNs = 500000000;
// Silence past this in a phase gets a rank a warning.
const uint64_t kSilentWarningNs = 5000000000;

// The naps of a wait on MPI: a blocking call spins, and would take the cores
// of the ranks that still work. The first naps are short, so that a message
// that comes soon is seen within tens of microseconds; they grow by half
// while nothing comes, up to 1 ms, and start short again after a message.
const long kFirstNapNs = 20000, kLongestNapNs = 1000000;

void nap(long* ns) {
  // The kernel's default slack of 50 us would double the shortest naps.
  thread_local bool exact = prctl(PR_SET_TIMERSLACK, 1000UL) == 0;
  (void)exact;
  const struct timespec wait = {0, *ns};
  nanosleep(&wait, nullptr);
  *ns = std::min(*ns + *ns / 2, kLongestNapNs);
}

// Tells rank 0 of a stop signal received here, once.
void passOnStop(MPI_Comm service) {
  static std::atomic<bool> told{false};
  if (stopSignal() == 0 || told.exchange(true)) return;
  uint64_t signal = static_cast<uint64_t>(stopSignal());
  MPI_Send(&signal, 1, MPI_UINT64_T, 0, kStopTag, service);
}

// Waits for `request` to complete, in naps. On a rank other than 0, passes
// on a stop signal that comes meanwhile. Returns false, leaving the request,
// if `abandon` becomes 0 or more first.
bool waitQuietly(MPI_Request* request, MPI_Comm service,
                 const std::atomic<int>* abandon = nullptr) {
  for (long ns = kFirstNapNs;;) {
    int done = 0;
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
    if (done) return true;
    if (abandon != nullptr && abandon->load() >= 0) return false;
    if (service != MPI_COMM_NULL) passOnStop(service);
    nap(&ns);
  }
}

// What rank 0 tells the other ranks to do next.
struct Command {
  int32_t quit = 0;
  int32_t phase = 0;  // a Phase
  int32_t timeFiles = 0;
  int32_t syncfs = 0;  // end the phase with a syncfs
  uint64_t nbFiles = 0;
  FileOrder order;
  // How many refused numbers follow in a broadcast of their own: the
  // create phase's over every rank, which no rank's later phase may touch.
  uint64_t refused = 0;
};

// What a rank did in a phase, as rank 0 gathers it.
struct Report {
  uint64_t files = 0;  // numbers it drew below the count
  uint64_t failures = 0;
  uint64_t firstIndex = 0;
  int32_t firstError = 0;
  int32_t syncError = 0;
  char firstCall[16] = {};
  uint64_t firstOffset = 0;
  uint64_t differs = 0, firstDiffers = 0, firstDiffersAt = 0;
  uint64_t refused = 0;  // numbers, sent after the reports
  int64_t blocks = 0;
  uint32_t threadsRun = 0;
  double seconds = 0;
  LatencyHistogram latency;  // in nanoseconds
};

// The failing calls' names, so that one received from another rank can be
// kept as the static text a PhaseFailures holds.
const char* staticCallName(const char* name) {
  static const char* const kCalls[] = {"open",  "write", "fsync", "close",
                                       "stat",  "read",  "mmap",  "unlink",
                                       "rmdir", "mkdir"};
  for (const char* call : kCalls) {
    if (strcmp(call, name) == 0) return call;
  }
  return "?";
}

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

// Rank 0's way of running a phase on every rank: the pool is set up before
// the others are told to start, and the phase ends when all have reported.
// Its own threads take grants from the pool directly, and a service thread
// hands them out to the other ranks and watches that each is heard from.
struct ClusterRunner final : PhaseRunner {
  Topology ranksTopology;
  int ranks = 1;
  MPI_Comm world = MPI_COMM_NULL;    // commands and reports
  MPI_Comm service = MPI_COMM_NULL;  // grants, progress and stops
  uint64_t batch = 0;                // the largest grant, 0 for none
  uint64_t stallTimeoutNs = 0;       // 0: wait for a silent rank forever
  int workFd = -1;                   // where a job that ends clears up
  std::string workDir;
  GrantPool pool;
  GrantedCounter counter;
  // The phase's, which the service obeys as the workers do.
  const std::atomic<bool>* stop = &kNeverStop;
  Phase phase = Phase::Create;
  bool progress = false;  // a live line is drawn
  // Of each rank, by the service during a phase: when it was last heard
  // from, the files it says it has begun, and whether it is done or was
  // warned of.
  struct Watch {
    uint64_t heardNs = 0, files = 0;
    bool done = false, warned = false;
  };
  std::vector<Watch> watches;
  std::vector<std::string> warnings;  // the phase's, once the service ends
  std::atomic<int> stalled{-1};       // a rank silent past the timeout

  Topology topology() const override { return ranksTopology; }
  void run(Phase phase, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override;
};

// Warns of each rank that is not done and has been silent more than 5 s,
// once, and closes the pool on the first one silent past the stall timeout.
void watchRanks(ClusterRunner* root, uint64_t nowNs) {
  for (size_t r = 1; r < root->watches.size(); ++r) {
    ClusterRunner::Watch& watch = root->watches[r];
    if (watch.done) continue;
    const uint64_t silentNs = nowNs - watch.heardNs;
    const bool timedOut =
        root->stallTimeoutNs != 0 && silentNs > root->stallTimeoutNs;
    if (!watch.warned && (silentNs > kSilentWarningNs || timedOut)) {
      watch.warned = true;
      char text[400];
      snprintf(text, sizeof text,
               "rank %zu (%s) sent nothing for more than %.0f s in the %s "
               "phase",
               r, root->ranksTopology.hosts[r].c_str(),
               static_cast<double>(std::min(silentNs, kSilentWarningNs)) / 1e9,
               phaseName(root->phase));
      if (root->progress) clearLine(true);
      logMessage("Warning: %s\n", text);
      root->warnings.push_back(text);
    }
    if (timedOut && root->stalled.load() < 0) {
      root->pool.closed = true;
      root->stalled = static_cast<int>(r);
    }
  }
}

// Rank 0's service during a phase: answers each request with a grant from
// the pool its own threads take from, keeps the others' progress, and
// watches for silent ranks, until told to quit and every rank is done. It waits
// in naps rather than in a blocking MPI_Recv, which would spin on a core; a
// stop that another rank sent between phases is taken at the next one's start.
void* serveNumbers(void* arg) {
  ClusterRunner& root = *static_cast<ClusterRunner*>(arg);
  uint64_t message[2];
  MPI_Request request;
  MPI_Irecv(message, 2, MPI_UINT64_T, MPI_ANY_SOURCE, MPI_ANY_TAG, root.service,
            &request);
  bool quitting = false;
  bool told = false;
  for (long ns = kFirstNapNs;;) {
    if (!told && root.stop->load(std::memory_order_relaxed)) {
      // The others hear of it at once, not at the end of their grants.
      told = true;
      root.pool.closed = true;
      const uint64_t stop = static_cast<uint64_t>(stopSignal()) |
                            static_cast<uint64_t>(stopRank()) << 8;
      for (int r = 1; r < root.ranks; ++r) {
        MPI_Send(&stop, 1, MPI_UINT64_T, r, kStopTag, root.service);
      }
    }
    int arrived = 0;
    MPI_Status status;
    MPI_Test(&request, &arrived, &status);
    const uint64_t now = monotonicNs();
    if (!arrived) {
      watchRanks(&root, now);
      nap(&ns);
      continue;
    }
    ns = kFirstNapNs;
    ClusterRunner::Watch& watch =
        root.watches[static_cast<size_t>(status.MPI_SOURCE)];
    watch.heardNs = now;
    if (status.MPI_TAG == kQuitTag) {
      quitting = true;
    } else if (status.MPI_TAG == kStopTag) {
      requestStop(static_cast<int>(message[0]), status.MPI_SOURCE);
    } else if (status.MPI_TAG == kProgressTag) {
      root.pool.worked.fetch_add(message[0] - watch.files,
                                 std::memory_order_relaxed);
      watch.files = message[0];
      watch.done = message[1] != 0;
    } else {
      const Grant grant = root.pool.take(now);
      const uint64_t reply[2] = {
          grant.first == grant.end ? kNoMore : grant.first, grant.end};
      MPI_Send(reply, 2, MPI_UINT64_T, status.MPI_SOURCE, status.MPI_TAG,
               root.service);
    }
    // Each rank's last progress comes before its report, but on another
    // communicator: it is taken here, not by the next phase's service.
    if (quitting && std::all_of(root.watches.begin() + 1, root.watches.end(),
                                [](const auto& w) { return w.done; })) {
      return nullptr;
    }
    MPI_Irecv(message, 2, MPI_UINT64_T, MPI_ANY_SOURCE, MPI_ANY_TAG,
              root.service, &request);
  }
}

// Ends the job when a rank has been silent past the stall timeout: removes
// what it can of the tree, which the silent rank may still be writing in,
// and aborts every rank.
[[noreturn]] void endStalledJob(ClusterRunner* root) {
  const size_t r = static_cast<size_t>(root->stalled.load());
  logMessage(
      "Rank %zu (%s) sent nothing for %.0f s in the %s phase: ending the "
      "job\n",
      r, root->ranksTopology.hosts[r].c_str(),
      static_cast<double>(root->stallTimeoutNs) / 1e9, phaseName(root->phase));
  LeftoverTally tally;
  removeLeftovers(root->workFd, &tally);
  logMessage("%s", leftoverText(tally, root->workDir).c_str());
  MPI_Abort(MPI_COMM_WORLD, 1);
  _exit(1);  // not reached: MPI_Abort ends the process
}

// This rank's report of a phase that ended with `stats`.
void fillReport(const PhaseStats& stats, uint64_t files, Report* report) {
  report->files = files;
  report->failures = stats.failures.count;
  report->firstIndex = stats.failures.firstIndex;
  report->firstError = stats.failures.firstError;
  report->firstOffset = stats.failures.firstOffset;
  report->syncError = stats.syncError;
  report->differs = stats.differs.count;
  report->firstDiffers = stats.differs.firstIndex;
  report->firstDiffersAt = stats.differs.firstOffset;
  if (stats.failures.firstCall != nullptr) {
    snprintf(report->firstCall, sizeof report->firstCall, "%s",
             stats.failures.firstCall);
  }
  report->refused = stats.refused.size();
  report->blocks = stats.blocks;
  report->threadsRun = stats.threadsRun;
  report->seconds = stats.fileSeconds;
  report->latency = stats.latency;
  ticksToNs(&report->latency, stats.nsPerTick);
}

void ClusterRunner::run(Phase ran, const PhasePlan& plan, uint64_t startNs,
                        PhaseStats* stats) {
  // Set before the service starts, which publishes them to it.
  pool.start(plan.nbFiles, ranksTopology.threads, batch, startNs,
             plan.deadlineNs);
  counter.pool = &pool;
  counter.reset();
  stop = plan.stop;
  phase = ran;
  progress = plan.progress;
  watches.assign(static_cast<size_t>(ranks), {.heardNs = monotonicNs()});
  warnings.clear();
  // The service lives for the phase alone, so that between phases nothing
  // of treeflood's wakes up while ls runs or a pause waits.
  pthread_t server;
  const bool serving = ranks > 1;
  if (serving && pthread_create(&server, nullptr, serveNumbers, this) != 0) {
    // The others would wait for numbers forever.
    logMessage("Failed to start the counter service\n");
    MPI_Abort(world, 1);
  }
  const std::vector<uint64_t> none;
  const std::vector<uint64_t>& refused =
      plan.refused != nullptr ? *plan.refused : none;
  Command command = {.phase = static_cast<int32_t>(ran),
                     .timeFiles = plan.timeFiles,
                     .syncfs = plan.syncFd >= 0,
                     .nbFiles = plan.nbFiles,
                     .order = plan.order,
                     .refused = refused.size()};
  MPI_Request request;
  MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  if (!refused.empty()) {
    // The root only sends from it.
    MPI_Ibcast(const_cast<uint64_t*>(refused.data()),
               static_cast<int>(refused.size()), MPI_UINT64_T, 0, world,
               &request);
    waitQuietly(&request, MPI_COMM_NULL);
  }
  PhasePlan own = plan;
  own.numbers = &counter;
  // The pool keeps the time limit: no thread is left holding numbers it
  // did not work on, which the later phases would miss.
  own.deadlineNs = 0;
  PhaseStats mine;
  runPhase(own, phaseWorker(phase), startNs, &mine);
  auto reports = std::make_unique<Report[]>(static_cast<size_t>(ranks));
  auto report = std::make_unique<Report>();
  fillReport(mine, 0, report.get());
  MPI_Igather(report.get(), sizeof(Report), MPI_BYTE, reports.get(),
              sizeof(Report), MPI_BYTE, 0, world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &stalled)) endStalledJob(this);
  // Every rank's refused numbers, which the later phases skip on every rank.
  const size_t nbRanks = static_cast<size_t>(ranks);
  std::vector<int> counts(nbRanks), offsets(nbRanks);
  size_t allRefused = 0;
  for (size_t r = 0; r < nbRanks; ++r) {
    offsets[r] = static_cast<int>(allRefused);
    counts[r] = static_cast<int>(reports[r].refused);
    allRefused += reports[r].refused;
  }
  std::vector<uint64_t> gathered(allRefused);
  MPI_Igatherv(mine.refused.data(), static_cast<int>(mine.refused.size()),
               MPI_UINT64_T, gathered.data(), counts.data(), offsets.data(),
               MPI_UINT64_T, 0, world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &stalled)) endStalledJob(this);
  if (serving) {
    MPI_Send(nullptr, 0, MPI_UINT64_T, 0, kQuitTag, service);
    pthread_join(server, nullptr);
  }
  stop = &kNeverStop;

  *stats = PhaseStats{};
  stats->handedOut = pool.next;
  stats->timeUp = pool.timeUp;
  stats->timeline = std::move(mine.timeline);
  stats->fileSeconds = mine.fileSeconds;
  stats->warnings = std::move(warnings);
  std::sort(gathered.begin(), gathered.end());
  stats->refused = std::move(gathered);
  // Rank 0's own files: the pool counts them and the others' final reports
  // of their progress, which the service has all taken.
  uint64_t othersFiles = 0;
  for (size_t r = 1; r < nbRanks; ++r) othersFiles += watches[r].files;
  reports[0].files = pool.worked - std::min<uint64_t>(othersFiles, pool.worked);
  for (size_t r = 0; r < nbRanks; ++r) {
    const Report& share = reports[r];
    PhaseFailures failures = {share.failures, share.firstIndex,
                              staticCallName(share.firstCall), share.firstError,
                              share.firstOffset};
    if (share.failures != 0) mergeFailures(&stats->failures, failures);
    PhaseFailures differs = {share.differs, share.firstDiffers, "read",
                             kContentDiffers, share.firstDiffersAt};
    if (share.differs != 0) mergeFailures(&stats->differs, differs);
    if (stats->syncError == 0) stats->syncError = share.syncError;
    stats->blocks += share.blocks;
    stats->threadsRun += share.threadsRun;
    stats->fileSeconds = std::max(stats->fileSeconds, share.seconds);
    mergeLatency(&stats->latency, share.latency);
    stats->ranks.push_back({share.files, share.failures, share.seconds});
  }
}

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

// A rank other than 0: runs each phase rank 0 starts on the same files, from
// the global counter, until rank 0 says to quit.
void follow(const RunSettings& s, int workFd, MPI_Comm world,
            MPI_Comm service) {
  const PhasePlan base = runPlan(s);
  std::vector<int> dirFds(s.dirs, -EBADF);
  RemoteCounter counter;
  counter.comm = service;
  std::vector<uint64_t> refused;
  for (;;) {
    Command command;
    MPI_Request request;
    MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
    waitQuietly(&request, service);
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
      openDirectories(workFd, base.layout, false, dirFds.data(), &missing);
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
  closeDirectories(base.layout, dirFds.data());
}

// The settings every rank must share with rank 0, in a form that can be
// broadcast: all but the threads, which may differ with the nodes, and what
// only rank 0 uses (its output files, --batch).
struct SharedSettings {
  uint64_t nbFiles, fileSize, iterations;
  double timeLimit;
  int32_t direct, dropCaches, keep, pause;
  int32_t sync, readBack, dirs, randomOrder;
  int32_t parsed;  // the command line was understood: not compared
};

SharedSettings sharedSettings(const RunSettings& s) {
  SharedSettings shared;
  memset(&shared, 0, sizeof shared);  // padding too: it is compared whole
  shared.nbFiles = s.nbFiles;
  shared.fileSize = s.fileSize;
  shared.iterations = s.iterations;
  shared.timeLimit = s.timeLimit;
  shared.direct = s.directIo;
  shared.dropCaches = s.dropCaches;
  shared.keep = s.dontDeleteFiles;
  shared.pause = s.pause;
  shared.sync = s.sync;
  shared.readBack = s.readBack;
  shared.dirs = static_cast<int32_t>(s.dirs);
  shared.randomOrder = s.randomOrder;
  return shared;
}

// The options of SharedSettings' fields, in their order.
const char* const kSharedOptions[] = {"-f",
                                      "-s",
                                      "-i",
                                      "--time-limit",
                                      "-D",
                                      "--drop-caches",
                                      "--dontDeleteFiles",
                                      "-p",
                                      "--fsync",
                                      "--read",
                                      "--dirs",
                                      "--order"};

// The index in kSharedOptions of the first setting that differs, or -1.
int firstDifference(const SharedSettings& a, const SharedSettings& b) {
  const bool differs[] = {a.nbFiles != b.nbFiles,
                          a.fileSize != b.fileSize,
                          a.iterations != b.iterations,
                          a.timeLimit != b.timeLimit,
                          a.direct != b.direct,
                          a.dropCaches != b.dropCaches,
                          a.keep != b.keep,
                          a.pause != b.pause,
                          a.sync != b.sync,
                          a.readBack != b.readBack,
                          a.dirs != b.dirs,
                          a.randomOrder != b.randomOrder};
  for (int i = 0; i < static_cast<int>(std::size(differs)); ++i) {
    if (differs[i]) return i;
  }
  return -1;
}

// Gathers each rank's `code` on rank 0, which says `what` for each rank whose
// code is not below 0, passing it the rank and the code. Returns whether no
// rank had one. Collective.
template <typename Say>
bool everyRankAgrees(int code, int rank, int ranks, Say what) {
  std::vector<int> codes(static_cast<size_t>(ranks));
  MPI_Gather(&code, 1, MPI_INT, codes.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  int agree = code < 0;
  MPI_Allreduce(MPI_IN_PLACE, &agree, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  for (int r = 0; rank == 0 && r < ranks; ++r) {
    if (codes[static_cast<size_t>(r)] >= 0)
      what(r, codes[static_cast<size_t>(r)]);
  }
  return agree != 0;
}

// Checks that every rank works in rank 0's directory, which may be mounted
// at different paths on different nodes: rank 0 leaves a file with a token
// of its own in its working directory, open on `workFd`, and every rank must
// read the same token there. Collective; returns whether all did.
bool sameWorkingDirectory(int workFd, int rank, int ranks) {
  char token[40] = {};
  char name[64] = {};
  if (rank == 0) {
    snprintf(token, sizeof token, "%016" PRIx64, randomSeed());
  }
  MPI_Bcast(token, sizeof token, MPI_CHAR, 0, MPI_COMM_WORLD);
  snprintf(name, sizeof name, ".treeflood-token-%s", token);
  if (rank == 0) {
    const int fd =
        openat(workFd, name,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      if (write(fd, token, strlen(token)) < 0) {
      }
      close(fd);
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  char seen[40] = {};
  const int fd = openat(workFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    if (read(fd, seen, sizeof seen - 1) < 0) seen[0] = '\0';
    close(fd);
  }
  const int code = strcmp(seen, token) == 0 ? -1 : 0;
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) unlinkat(workFd, name, 0);
  return everyRankAgrees(code, rank, ranks, [](int r, int) {
    logMessage(
        "Rank %d does not see rank 0's working directory: every rank must "
        "work in the same one\n",
        r);
  });
}

}  // namespace

int runClusterMain(int argc, char** argv) {
  initConsole();
  initLatencyClock();
  // From the start: a stop signal during MPI's start-up is kept, and acted on
  // once the phases begin, instead of killing one rank while the others wait
  // for it.
  installStopHandlers();
  // Before MPI exists, while the process is small, and before its rank is
  // known: rank 0's ls starts from it, the others end theirs.
  Launcher launcher = startLauncher();
  int provided = 0, rank = 0, ranks = 1;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  if (rank != 0) stopLauncher(&launcher);
  // Every rank reads the same command line; rank 0 alone says what it finds.
  const int savedOut = dup(1), savedErr = dup(2);
  if (rank != 0) {
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, 1);
    dup2(devNull, 2);
    close(devNull);
  }
  RunSettings settings;
  ParseResult parsed = parseCommandLine(argc, argv, &settings);
  if (rank != 0) dup2(savedErr, 2);
  close(savedErr);
  close(savedOut);
  int status = parsed.exitStatus;
  bool ok = parsed.run;
  if (ok && provided < MPI_THREAD_MULTIPLE) {
    if (rank == 0) {
      logMessage(
          "treeflood-mpi needs MPI_THREAD_MULTIPLE, which this MPI library "
          "does not provide (level %d of 3)\n",
          provided);
    }
    ok = false;
    status = 1;
  }
  // Each rank holds every directory open; refused before anything is made.
  if (ok) {
    if (const Failure f = raiseDescriptorLimit(settings.dirs)) {
      if (rank == 0) {
        logMessage("%s", f.message.c_str());
      } else {
        dprintf(2, "rank %d: %s", rank, f.message.c_str());
      }
      ok = false;
    }
  }
  if (ok && !initWork(settings.fileSize)) {
    dprintf(2, "rank %d: failed to allocate the %llu-byte data block\n", rank,
            static_cast<unsigned long long>(settings.fileSize));
    ok = false;
  }
  // mpirun binds each rank to one core unless told otherwise, which would
  // measure the threads taking turns on it.
  cpu_set_t cpus;
  if (ok && sched_getaffinity(0, sizeof cpus, &cpus) == 0 &&
      static_cast<unsigned>(CPU_COUNT(&cpus)) < settings.threads) {
    char text[160];
    snprintf(text, sizeof text,
             "Warning: %d CPU%s for %u threads: run mpirun with --bind-to "
             "none, or --map-by slot:PE=%u\n",
             CPU_COUNT(&cpus), CPU_COUNT(&cpus) == 1 ? "" : "s",
             settings.threads, settings.threads);
    if (rank == 0) {
      logMessage("%s", text);
    } else {
      dprintf(2, "rank %d: %s", rank, text);
    }
  }
  // Every rank must run with rank 0's settings, threads apart, and see its
  // working directory, before anything is made.
  SharedSettings root = sharedSettings(settings);
  root.parsed = ok;
  const SharedSettings mine = root;
  MPI_Bcast(&root, sizeof root, MPI_BYTE, 0, MPI_COMM_WORLD);
  ok = everyRankAgrees(ok && root.parsed ? firstDifference(mine, root) : -1,
                       rank, ranks,
                       [](int r, int option) {
                         logMessage(
                             "Rank %d was given another %s than rank 0: "
                             "every rank needs the same settings, -t apart\n",
                             r, kSharedOptions[option]);
                       }) &&
       ok;
  const char* workDir = settings.workDir ? settings.workDir->c_str() : ".";
  const int workFd =
      ok ? open(workDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  if (ok && workFd < 0) {
    if (rank == 0) {
      logMessage("Filed to change working directory (%s) because '%s'\n",
                 workDir, strerror(errno));
    } else {
      dprintf(2, "rank %d: failed to change working directory (%s): %s\n", rank,
              workDir, strerror(errno));
    }
    ok = false;
  }
  int allOk = ok;
  MPI_Allreduce(MPI_IN_PLACE, &allOk, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (allOk && !sameWorkingDirectory(workFd, rank, ranks)) allOk = false;
  if (!allOk) {
    if (workFd >= 0) close(workFd);
    MPI_Finalize();
    return parsed.run ? 1 : status;
  }
  // Ranks may run different numbers of threads; the banner counts them all.
  unsigned threads = settings.threads;
  MPI_Allreduce(MPI_IN_PLACE, &threads, 1, MPI_UNSIGNED, MPI_SUM,
                MPI_COMM_WORLD);

  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::vector<char> hostTable(static_cast<size_t>(ranks) * sizeof host);
  MPI_Allgather(host, sizeof host, MPI_CHAR, hostTable.data(), sizeof host,
                MPI_CHAR, MPI_COMM_WORLD);
  MPI_Comm service;
  MPI_Comm_dup(MPI_COMM_WORLD, &service);
  if (rank != 0) {
    follow(settings, workFd, MPI_COMM_WORLD, service);
    close(workFd);
    MPI_Comm_free(&service);
    MPI_Finalize();
    return 0;
  }

  ClusterRunner runner;
  runner.ranks = ranks;
  runner.world = MPI_COMM_WORLD;
  runner.service = service;
  runner.batch = settings.batch;
  runner.stallTimeoutNs =
      static_cast<uint64_t>(settings.stallTimeout.value_or(120) * 1e9);
  runner.workFd = workFd;
  runner.workDir = workDir;
  runner.ranksTopology.threads = threads;
  for (size_t r = 0; r < static_cast<size_t>(ranks); ++r) {
    runner.ranksTopology.hosts.push_back(&hostTable[r * sizeof host]);
  }
  status = runBenchmark(settings, &runner, launcher);
  close(workFd);
  stopLauncher(&launcher);
  // However the run ended, the others stop waiting for a phase.
  Command quit;
  quit.quit = 1;
  MPI_Request request;
  MPI_Ibcast(&quit, sizeof quit, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  MPI_Comm_free(&service);
  MPI_Finalize();
  return status;
}

}  // namespace treeflood
