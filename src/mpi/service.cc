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
#include "work/leftovers.h"

namespace treeflood {

namespace {

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
      const std::string text = formatted(
          "rank %zu (%s) sent nothing for more than %.0f s in the %s phase", r,
          root->ranksTopology.hosts[r].c_str(),
          static_cast<double>(std::min(silentNs, kSilentWarningNs)) / 1e9,
          phaseName(root->phase));
      if (root->progress) clearLine(true);
      logMessage("Warning: %s\n", text.c_str());
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

// Tells the other ranks to run `phase` of `plan`, with the numbers no rank
// may touch.
void tellOthers(const ClusterRunner& root, Phase phase, const PhasePlan& plan) {
  const std::vector<uint64_t> none;
  const std::vector<uint64_t>& refused =
      plan.refused != nullptr ? *plan.refused : none;
  Command command = {.stop = stopSignal() | stopRank() << 8,
                     .phase = static_cast<int32_t>(phase),
                     .timeFiles = plan.timeFiles,
                     .syncfs = plan.syncFd >= 0,
                     .nbFiles = plan.nbFiles,
                     .order = plan.order,
                     .refused = refused.size()};
  MPI_Request request;
  MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, root.world, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  if (!refused.empty()) {
    // The root only sends from it.
    MPI_Ibcast(const_cast<uint64_t*>(refused.data()),
               static_cast<int>(refused.size()), MPI_UINT64_T, 0, root.world,
               &request);
    waitQuietly(&request, MPI_COMM_NULL);
  }
}

// Gathers every rank's refused numbers, which the later phases skip on
// every rank, rank 0's being `mine`'s; sorted.
std::vector<uint64_t> gatherRefused(ClusterRunner* root, const Report* reports,
                                    const PhaseStats& mine) {
  MPI_Request request;
  const size_t nbRanks = static_cast<size_t>(root->ranks);
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
               MPI_UINT64_T, 0, root->world, &request);
  if (!waitQuietly(&request, MPI_COMM_NULL, &root->stalled)) {
    endStalledJob(root);
  }
  std::sort(gathered.begin(), gathered.end());
  return gathered;
}

// Adds every rank's report, by rank, to `stats`, rank 0's among them with
// its files counted from the pool.
void mergeReports(const ClusterRunner& root, Report* reports,
                  PhaseStats* stats) {
  const size_t nbRanks = static_cast<size_t>(root.ranks);
  // Rank 0's own files: the pool counts them and the others' final reports
  // of their progress, which the service has all taken.
  uint64_t othersFiles = 0;
  for (size_t r = 1; r < nbRanks; ++r) othersFiles += root.watches[r].files;
  reports[0].files =
      root.pool.worked - std::min<uint64_t>(othersFiles, root.pool.worked);
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

}  // namespace

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
  tellOthers(*this, ran, plan);
  MPI_Request request;
  // The others open the directories before they make files: their set-up,
  // not a head start of rank 0's in the file work.
  if (ran == Phase::Create) {
    MPI_Ibarrier(world, &request);
    if (!waitQuietly(&request, MPI_COMM_NULL, &stalled)) endStalledJob(this);
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
  std::vector<uint64_t> gathered = gatherRefused(this, reports.get(), mine);
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
  stats->refused = std::move(gathered);
  mergeReports(*this, reports.get(), stats);
}

}  // namespace treeflood
