#include "mpi/service.h"

#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "console/clock.h"
#include "console/output.h"
#include "driver/messages.h"
#include "driver/stop.h"
#include "mpi/protocol.h"
#include "work/layout.h"

namespace treeflood {

namespace {

// " (first file held: d_000/f_12)" for the lowest number that `watch` says
// its rank works on, or nothing.
std::string heldText(const ClusterRunner& root,
                     const ClusterRunner::Watch& watch) {
  if (watch.held == kNoMore || root.plan == nullptr) return "";
  if (watch.held == kSettingUp) return " (opening the directories)";
  const FileOrder& order = root.plan->order;
  char path[kPathSize];
  filePath(root.plan->layout,
           order.random ? fileOf(order, watch.held) : watch.held, path);
  return formatted(" (first file held: %s)", path);
}

// Warns of each rank that is not done and has sent nothing, or finished no
// file while it held some, for more than 5 s, once; marks each one past the
// stall timeout as stalled, and on the first one, says that the job ends and
// closes the pool.
void watchRanks(ClusterRunner* root, uint64_t nowNs) {
  for (size_t r = 1; r < root->watches.size(); ++r) {
    ClusterRunner::Watch& watch = root->watches[r];
    if (watch.done || watch.stalled) continue;
    const uint64_t silentNs = nowNs - watch.heardNs;
    // A rank that holds no number has nothing to finish.
    const uint64_t stuckNs = watch.held == kNoMore ? 0 : nowNs - watch.movedNs;
    const uint64_t idleNs = std::max(silentNs, stuckNs);
    const char* what =
        2 * silentNs > idleNs ? "sent nothing" : "finished no file";
    const bool timedOut =
        root->stallTimeoutNs != 0 && idleNs > root->stallTimeoutNs;
    const std::string held = heldText(*root, watch);
    const char* host = root->ranksTopology.hosts[r].c_str();
    if (!watch.warned && (idleNs > kSilentWarningNs || timedOut)) {
      watch.warned = true;
      const std::string text = formatted(
          "rank %zu (%s) %s for more than %.0f s in the %s phase%s", r, host,
          what, static_cast<double>(std::min(idleNs, kSilentWarningNs)) / 1e9,
          phaseName(root->phase), held.c_str());
      if (root->plan->progress) clearLine(true);
      logMessage("Warning: %s\n", text.c_str());
      root->warnings.push_back(text);
    }
    watch.stalled = timedOut;
    if (timedOut && root->stalled.load() < 0) {
      logMessage(
          "Rank %zu (%s) %s for %.0f s in the %s phase%s: ending the "
          "job\n",
          r, host, what, static_cast<double>(root->stallTimeoutNs) / 1e9,
          phaseName(root->phase), held.c_str());
      root->pool.closed = true;
      root->stalled = static_cast<int>(r);
    }
  }
}

// Takes a rank's progress into its watch, at `nowNs`.
void takeProgress(ClusterRunner* root, ClusterRunner::Watch* watch,
                  const uint64_t* message, uint64_t nowNs) {
  root->pool.worked.fetch_add(message[0] - watch->files,
                              std::memory_order_relaxed);
  watch->files = message[0];
  watch->done = message[1] != 0;
  if (message[2] != watch->finished || message[3] == kNoMore) {
    watch->movedNs = nowNs;
  }
  watch->finished = message[2];
  watch->held = message[3];
}

// Rank 0's service during a phase: answers each request with a grant from
// the pool its own threads take from, keeps the others' progress, and
// watches for stalled ranks, until told to quit and every rank is done or
// stalled: after a stall, the others finish the files they hold before the
// clean-up begins. It waits in naps rather than in a blocking MPI_Recv,
// which would spin on a core; a stop that another rank sent between phases
// is taken at the next one's start.
void* serveNumbers(void* arg) {
  ClusterRunner& root = *static_cast<ClusterRunner*>(arg);
  uint64_t message[kMessageWords];
  MPI_Request request;
  MPI_Irecv(message, kMessageWords, MPI_UINT64_T, MPI_ANY_SOURCE, MPI_ANY_TAG,
            root.service, &request);
  bool quitting = false;
  bool told = false;
  uint64_t lastNs = monotonicNs();
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
    const uint64_t now = monotonicNs();
    // This thread did not run (rank 0 stopped, or starved of a CPU): the
    // others' silence meanwhile is not theirs, and what they sent is read
    // before any is judged.
    if (now - lastNs > kProgressNs) {
      for (ClusterRunner::Watch& watch : root.watches) {
        watch.heardNs += now - lastNs;
        watch.movedNs += now - lastNs;
      }
    }
    lastNs = now;
    int arrived = 0;
    MPI_Status status;
    MPI_Test(&request, &arrived, &status);
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
      takeProgress(&root, &watch, message, now);
    } else {
      const Grant grant = root.pool.take(now);
      const uint64_t reply[2] = {
          grant.first == grant.end ? kNoMore : grant.first, grant.end};
      MPI_Send(reply, 2, MPI_UINT64_T, status.MPI_SOURCE, status.MPI_TAG,
               root.service);
    }
    // Each rank's last progress comes before its report, but on another
    // communicator: it is taken here, not by the next phase's service.
    if (quitting &&
        std::all_of(root.watches.begin() + 1, root.watches.end(),
                    [](const auto& w) { return w.done || w.stalled; })) {
      return nullptr;
    }
    MPI_Irecv(message, kMessageWords, MPI_UINT64_T, MPI_ANY_SOURCE, MPI_ANY_TAG,
              root.service, &request);
  }
}

// Tells the other ranks to run `phase` of `plan`, with the numbers no rank
// may touch. Returns false if a rank stalled first.
bool tellOthers(ClusterRunner* root, Phase phase, const PhasePlan& plan) {
  const std::vector<uint64_t> none;
  const std::vector<uint64_t>& refused =
      plan.refused != nullptr ? *plan.refused : none;
  Command command = {.stop = stopSignal() | stopRank() << 8,
                     .phase = static_cast<int32_t>(phase),
                     .timeFiles = plan.timeFiles,
                     .syncfs = plan.syncFd >= 0,
                     .nbFiles = plan.nbFiles,
                     .order = plan.order,
                     .dataSeed = plan.data != nullptr ? plan.data->seed : 0,
                     .refused = refused.size()};
  MPI_Request request;
  MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, root->world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &root->stalled)) return false;
  if (refused.empty()) return true;
  // The root only sends from it.
  MPI_Ibcast(const_cast<uint64_t*>(refused.data()),
             static_cast<int>(refused.size()), MPI_UINT64_T, 0, root->world,
             &request);
  return waitQuietly(&request, MPI_COMM_NULL, &root->stalled);
}

// Gathers every rank's report of the phase into root->reports, and their
// refused numbers, which the later phases skip on every rank, rank 0's being
// `mine`'s, into root->refusedByAll, sorted. Returns false if a rank stalled
// first.
bool gatherReports(ClusterRunner* root, const PhaseStats& mine) {
  MPI_Request request;
  const size_t nbRanks = static_cast<size_t>(root->ranks);
  root->reports.assign(nbRanks, Report{});
  root->ownReport = Report{};
  fillReport(mine, 0, &root->ownReport);
  MPI_Igather(&root->ownReport, sizeof(Report), MPI_BYTE, root->reports.data(),
              sizeof(Report), MPI_BYTE, 0, root->world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &root->stalled)) return false;
  std::vector<int> counts(nbRanks), offsets(nbRanks);
  size_t allRefused = 0;
  for (size_t r = 0; r < nbRanks; ++r) {
    offsets[r] = static_cast<int>(allRefused);
    counts[r] = static_cast<int>(root->reports[r].refused);
    allRefused += root->reports[r].refused;
  }
  root->refusedByAll.assign(allRefused, 0);
  MPI_Igatherv(mine.refused.data(), static_cast<int>(mine.refused.size()),
               MPI_UINT64_T, root->refusedByAll.data(), counts.data(),
               offsets.data(), MPI_UINT64_T, 0, root->world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &root->stalled)) return false;
  std::sort(root->refusedByAll.begin(), root->refusedByAll.end());
  return true;
}

// Adds every rank's report, by rank, to `stats`, rank 0's among them with
// its files counted from the pool.
void mergeReports(const ClusterRunner& root, PhaseStats* stats) {
  const size_t nbRanks = static_cast<size_t>(root.ranks);
  // Rank 0's own files: the pool counts them and the others' final reports
  // of their progress, which the service has all taken.
  uint64_t othersFiles = 0;
  for (size_t r = 1; r < nbRanks; ++r) othersFiles += root.watches[r].files;
  std::vector<Report> reports = root.reports;
  reports[0].files =
      root.pool.worked - std::min<uint64_t>(othersFiles, root.pool.worked);
  for (const Report& share : reports) {
    PhaseFailures failures = {share.failures, share.firstIndex,
                              staticCallName(share.firstCall), share.firstError,
                              share.firstDifference};
    if (share.failures != 0) mergeFailures(&stats->failures, failures);
    PhaseFailures differs = {share.differs, share.firstDiffers, "read",
                             share.firstDiffersKind, share.firstDiffersAt};
    if (share.differs != 0) mergeFailures(&stats->differs, differs);
    if (stats->syncError == 0) stats->syncError = share.syncError;
    stats->blocks += share.blocks;
    stats->threadsRun += share.threadsRun;
    stats->fileSeconds = std::max(stats->fileSeconds, share.seconds);
    stats->syncSeconds = std::max(stats->syncSeconds, share.syncSeconds);
    mergeLatency(&stats->latency, share.latency);
    stats->ranks.push_back({share.files, share.failures, share.seconds});
  }
}

// Sends each other rank that has no keep-alive in flight {turn, pausing}.
// Where `surely`, waits up to a second for each to be received. Under
// aliveLock.
void sayAlive(ClusterRunner* root, bool surely) {
  root->alive.resize(static_cast<size_t>(root->ranks));
  const uint64_t deadline = monotonicNs() + 1000000000;
  for (int r = 1; r < root->ranks; ++r) {
    ClusterRunner::Alive& a = root->alive[static_cast<size_t>(r)];
    int done = a.request == MPI_REQUEST_NULL;
    if (!done) MPI_Test(&a.request, &done, MPI_STATUS_IGNORE);
    for (long ns = kFirstNapNs; !done && surely && monotonicNs() < deadline;) {
      nap(&ns);
      MPI_Test(&a.request, &done, MPI_STATUS_IGNORE);
    }
    if (!done) continue;
    a.words[0] = static_cast<uint64_t>(root->turn.load());
    a.words[1] = root->pausing.load();
    (surely ? MPI_Issend : MPI_Isend)(a.words, 2, MPI_UINT64_T, r, kAliveTag,
                                      root->service, &a.request);
    for (long ns = kFirstNapNs; surely && !done && monotonicNs() < deadline;) {
      MPI_Test(&a.request, &done, MPI_STATUS_IGNORE);
      if (!done) nap(&ns);
    }
  }
}

void* keepAlive(void* arg) {
  ClusterRunner& root = *static_cast<ClusterRunner*>(arg);
  while (root.aliveThread.waitUntil(monotonicNs() + kProgressNs)) {
    std::lock_guard<std::mutex> hold(root.aliveLock);
    sayAlive(&root, false);
  }
  return nullptr;
}

}  // namespace

void startKeepAlive(ClusterRunner* root) {
  if (root->ranks > 1) root->aliveThread.start(keepAlive, root);
}

void ClusterRunner::announce(Phase next, bool pause) {
  turn = static_cast<int>(next);
  pausing = pause;
  std::lock_guard<std::mutex> hold(aliveLock);
  // The others hear of a pause before it starts, and of its end at once.
  sayAlive(this, pause);
}

bool ClusterRunner::dropCaches(const std::function<bool()>& dropHere) {
  Command command;
  command.stop = stopSignal() | stopRank() << 8;
  command.dropCaches = 1;
  MPI_Request request;
  MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  int dropped = dropHere();
  MPI_Ireduce(MPI_IN_PLACE, &dropped, 1, MPI_INT, MPI_MIN, 0, world, &request);
  // A node's syncfs may take long, but not forever.
  const uint64_t deadline = monotonicNs() + stallTimeoutNs;
  for (long ns = kFirstNapNs;;) {
    int done = 0;
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
    if (done) return dropped != 0;
    if (stallTimeoutNs != 0 && monotonicNs() > deadline) break;
    nap(&ns);
  }
  logMessage(
      "A node did not drop its caches within %.0f s: ending the job; the tree "
      "stays: run treeflood --cleanup -d %s\n",
      static_cast<double>(stallTimeoutNs) / 1e9, workDir.c_str());
  MPI_Abort(MPI_COMM_WORLD, 1);
  return false;
}

void ClusterRunner::run(Phase ran, const PhasePlan& phasePlan, uint64_t startNs,
                        PhaseStats* stats) {
  // Set before the service starts, which publishes them to it.
  pool.start(phasePlan.nbFiles, ranksTopology.threads, batch, startNs,
             phasePlan.deadlineNs);
  counter.pool = &pool;
  counter.reset();
  PhasePlan own = phasePlan;
  own.numbers = &counter;
  // The pool keeps the time limit: no thread is left holding numbers it
  // did not work on, which the later phases would miss.
  own.deadlineNs = 0;
  *stats = PhaseStats{};
  if (stalled.load() >= 0) {
    // The run's clean-up once a rank has stalled: this rank's threads alone,
    // over every number handed out; the job ends after it.
    runPhase(own, phaseWorker(ran), startNs, stats);
    return;
  }
  stop = phasePlan.stop;
  plan = &phasePlan;
  phase = ran;
  const uint64_t now = monotonicNs();
  watches.assign(static_cast<size_t>(ranks), {.heardNs = now, .movedNs = now});
  warnings.clear();
  // The service lives for the phase alone, so that between phases nothing
  // of treeflood's but the keep-alive wakes up while ls runs or a pause
  // waits.
  pthread_t server;
  const bool serving = ranks > 1;
  if (serving && pthread_create(&server, nullptr, serveNumbers, this) != 0) {
    // The others would wait for numbers forever.
    logMessage("Failed to start the counter service\n");
    MPI_Abort(world, 1);
  }
  bool heard = tellOthers(this, ran, phasePlan);
  MPI_Request request;
  // The others open the directories before they make files: their set-up,
  // not a head start of rank 0's in the file work.
  if (heard && ran == Phase::Create) {
    MPI_Ibarrier(world, &request);
    heard = waitQuietly(&request, MPI_COMM_NULL, &stalled);
  }
  PhaseStats mine;
  if (heard) runPhase(own, phaseWorker(phase), startNs, &mine);
  heard = heard && gatherReports(this, mine);
  if (serving) {
    MPI_Send(nullptr, 0, MPI_UINT64_T, 0, kQuitTag, service);
    pthread_join(server, nullptr);
  }
  stop = &kNeverStop;
  plan = nullptr;
  stats->handedOut = pool.next;
  stats->timeUp = pool.timeUp;
  stats->timeline = std::move(mine.timeline);
  stats->fileSeconds = mine.fileSeconds;
  stats->syncSeconds = mine.syncSeconds;
  stats->warnings = std::move(warnings);
  if (!heard) {
    // What this rank did; the others' shares are lost with the job.
    stats->stalledRank = stalled.load();
    stats->failures = mine.failures;
    stats->threadsRun = mine.threadsRun;
    return;
  }
  stats->refused = std::move(refusedByAll);
  mergeReports(*this, stats);
}

}  // namespace treeflood
