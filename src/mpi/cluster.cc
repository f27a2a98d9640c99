#include "mpi/cluster.h"

#include <errno.h>
#include <fcntl.h>
#include <mpi.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "console/output.h"
#include "console/report.h"
#include "driver/run.h"
#include "driver/settings.h"
#include "runner/command.h"
#include "work/latency.h"
#include "work/layout.h"
#include "work/phase.h"
#include "work/workers.h"

namespace {

// The reply to a request for numbers once the phase has been stopped: above
// any count, so that the worker ends as after the last file.
const uint64_t kNoMore = UINT64_MAX;
// Tags on the service's communicator. A worker asks under its own tag, 1 to
// 64, which the reply carries back to it alone.
const int kStopTag = 100;  // a rank received a stop signal
const int kQuitTag = 101;  // rank 0 ends its service

// Tells rank 0 of a stop signal received here, once.
void passOnStop(MPI_Comm service) {
  static bool told = false;
  if (told || stopSignal() == 0) return;
  told = true;
  int32_t signal = stopSignal();
  MPI_Send(&signal, 1, MPI_INT32_T, 0, kStopTag, service);
}

// Waits for `request` to complete, in naps that grow from 50 us to 1 ms: a
// blocking MPI call spins, and would take the cores of the ranks that still
// work, while the short first naps see a request that completes soon within
// 50 us. On a rank other than 0, passes on a stop signal that comes
// meanwhile.
void waitQuietly(MPI_Request* request, MPI_Comm service) {
  for (long nap = 50000;; nap = std::min(2 * nap, 1000000L)) {
    int done = 0;
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
    if (done) return;
    if (service != MPI_COMM_NULL) passOnStop(service);
    const struct timespec wait = {0, nap};
    nanosleep(&wait, nullptr);
  }
}

// What rank 0 tells the other ranks to do next.
struct Command {
  int32_t quit = 0;
  int32_t kind = 0;  // a PhaseKind
  int32_t timeFiles = 0;
  uint64_t nbFiles = 0;
  uint64_t batch = 1;
};

// What a rank did in a phase, as rank 0 gathers it.
struct Report {
  uint64_t files = 0;  // numbers it drew below the count
  uint64_t failures = 0;
  uint64_t firstIndex = 0;
  int32_t firstError = 0;
  char firstCall[16] = {};
  int64_t blocks = 0;
  uint32_t threadsRun = 0;
  double seconds = 0;
  LatencyHistogram latency;  // in nanoseconds
};

// The failing calls' names, so that one received from another rank can be
// kept as the static text a PhaseFailures holds.
const char* staticCallName(const char* name) {
  static const char* const kCalls[] = {"open",   "write", "close", "stat",
                                       "unlink", "rmdir", "mkdir"};
  for (const char* call : kCalls) {
    if (strcmp(call, name) == 0) return call;
  }
  return "?";
}

// Another rank's side: each thread asks rank 0 for its next numbers, `batch`
// at a time, and counts those it gets below the phase's count. It asks for
// the next ones as soon as it has its current ones, so that the round trip
// overlaps the work on them; numbers still come to each thread in order.
struct RemoteCounter final : FileNumberSource {
  MPI_Comm comm = MPI_COMM_NULL;
  uint64_t batch = 1;
  uint64_t limit = 0;  // the phase's count
  std::atomic<uint64_t> generation{0};
  std::atomic<int> threads{0};
  std::atomic<uint64_t> files{0};
  // A thread's numbers: those in hand and the request for the next ones.
  // Here rather than in the thread, since a request may outlive it.
  struct Slot {
    MPI_Request request = MPI_REQUEST_NULL;
    uint64_t reply = 0;
    uint64_t first = 0, end = 0;
  } slots[64];

  void reset() override {
    generation.fetch_add(1);
    threads = 0;
    files = 0;
    for (Slot& slot : slots) slot.first = slot.end = 0;
  }

  // Waits for the replies to the requests that no thread took, once the
  // phase's threads have ended; rank 0 answers every request in a phase.
  void drain() {
    for (Slot& slot : slots) MPI_Wait(&slot.request, MPI_STATUS_IGNORE);
  }

  // Asks rank 0 for the next numbers, the reply to come to `slot` under
  // `tag`, the thread's own.
  void ask(Slot* slot, int tag) {
    MPI_Irecv(&slot->reply, 1, MPI_UINT64_T, 0, tag, comm, &slot->request);
    MPI_Send(nullptr, 0, MPI_BYTE, 0, tag, comm);
  }

  uint64_t next() override {
    // The calling thread works in every phase: its slot is the phase's.
    thread_local uint64_t phase = 0;
    thread_local int index = 0;
    if (phase != generation.load()) {
      phase = generation.load();
      index = threads.fetch_add(1);
    }
    Slot& slot = slots[index];
    if (slot.first == slot.end) {
      if (slot.request == MPI_REQUEST_NULL) ask(&slot, index + 1);
      MPI_Wait(&slot.request, MPI_STATUS_IGNORE);
      if (slot.reply == kNoMore) return kNoMore;
      slot.first = slot.reply;
      slot.end = slot.reply + batch;
      // None are asked for past the count, where no thread wants them.
      if (slot.end < limit) ask(&slot, index + 1);
    }
    const uint64_t n = slot.first++;
    if (n < limit) files.fetch_add(1, std::memory_order_relaxed);
    return n;
  }

  uint64_t handedOut() const override { return files.load(); }
};

// Rank 0's way of running a phase on every rank: the count is reset before
// the others are told to start, and the phase ends when all have reported.
// Its own threads draw from the counter directly, and a service thread hands
// out from it to the other ranks.
struct ClusterRunner final : PhaseRunner {
  Topology ranksTopology;
  int ranks = 1;
  MPI_Comm world = MPI_COMM_NULL;    // commands and reports
  MPI_Comm service = MPI_COMM_NULL;  // requests for numbers
  uint64_t batch = 1;
  SharedCounter counter;
  // The phase's stop flag and deadline, which the service obeys as the
  // workers do.
  const std::atomic<bool>* stop = &kNeverStop;
  uint64_t deadlineNs = 0;

  Topology topology() const override { return ranksTopology; }
  void run(PhaseKind kind, const PhasePlan& plan, uint64_t startNs,
           PhaseStats* stats) override;
};

// Rank 0's counter service during a phase: answers each request with the
// next numbers from the atomic its own workers draw from, until told to quit.
// It blocks in MPI_Recv on its own thread, so that the others progress
// whatever rank 0's workers are doing; a stop that another rank sent between
// phases is taken at the next one's start.
void* serveNumbers(void* arg) {
  ClusterRunner& root = *static_cast<ClusterRunner*>(arg);
  for (;;) {
    MPI_Status status;
    int32_t signal = 0;
    MPI_Recv(&signal, 1, MPI_INT32_T, MPI_ANY_SOURCE, MPI_ANY_TAG, root.service,
             &status);
    if (status.MPI_TAG == kQuitTag) return nullptr;
    if (status.MPI_TAG == kStopTag) {
      requestStop(signal, status.MPI_SOURCE);
      continue;
    }
    const bool over =
        root.stop->load(std::memory_order_relaxed) ||
        (root.deadlineNs != 0 && monotonicNs() >= root.deadlineNs);
    uint64_t first = over ? kNoMore : root.counter.value.fetch_add(root.batch);
    MPI_Send(&first, 1, MPI_UINT64_T, status.MPI_SOURCE, status.MPI_TAG,
             root.service);
  }
}

// This rank's report of a phase that ended with `stats`.
void fillReport(const PhaseStats& stats, uint64_t files, Report* report) {
  report->files = files;
  report->failures = stats.failures.count;
  report->firstIndex = stats.failures.firstIndex;
  report->firstError = stats.failures.firstError;
  if (stats.failures.firstCall != nullptr) {
    snprintf(report->firstCall, sizeof report->firstCall, "%s",
             stats.failures.firstCall);
  }
  report->blocks = stats.blocks;
  report->threadsRun = stats.threadsRun;
  report->seconds = stats.fileSeconds;
  report->latency = stats.latency;
  ticksToNs(&report->latency, stats.nsPerTick);
}

void ClusterRunner::run(PhaseKind kind, const PhasePlan& plan, uint64_t startNs,
                        PhaseStats* stats) {
  counter.reset();
  // Set before the service starts, which publishes them to it.
  stop = plan.stop;
  deadlineNs = plan.deadlineNs;
  // The service lives for the phase alone: a blocking MPI_Recv spins, and
  // between phases it would take a core from ls, or burn one in a pause.
  pthread_t server;
  const bool serving = ranks > 1;
  if (serving && pthread_create(&server, nullptr, serveNumbers, this) != 0) {
    // The others would wait for numbers forever.
    logMessage("Failed to start the counter service\n");
    MPI_Abort(world, 1);
  }
  Command command = {.kind = kind,
                     .timeFiles = plan.timeFiles,
                     .nbFiles = plan.nbFiles,
                     .batch = batch};
  MPI_Request request;
  MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  PhasePlan own = plan;
  own.numbers = &counter;
  PhaseStats mine;
  runPhase(own, phaseWorker(kind), startNs, &mine);
  auto reports = std::make_unique<Report[]>(static_cast<size_t>(ranks));
  auto report = std::make_unique<Report>();
  fillReport(mine, 0, report.get());
  MPI_Igather(report.get(), sizeof(Report), MPI_BYTE, reports.get(),
              sizeof(Report), MPI_BYTE, 0, world, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  if (serving) {
    MPI_Send(nullptr, 0, MPI_BYTE, 0, kQuitTag, service);
    pthread_join(server, nullptr);
  }
  stop = &kNeverStop;
  deadlineNs = 0;

  *stats = PhaseStats{};
  stats->handedOut = counter.handedOut();
  // Rank 0's threads watch the deadline as the service does.
  stats->timeUp = mine.timeUp;
  stats->timeline = std::move(mine.timeline);
  stats->fileSeconds = mine.fileSeconds;
  // Rank 0's own files are those of the count the others did not draw.
  const uint64_t drawn = std::min(stats->handedOut, plan.nbFiles);
  uint64_t othersFiles = 0;
  const size_t nbRanks = static_cast<size_t>(ranks);
  for (size_t r = 1; r < nbRanks; ++r) othersFiles += reports[r].files;
  reports[0].files = drawn - std::min(othersFiles, drawn);
  for (size_t r = 0; r < nbRanks; ++r) {
    const Report& share = reports[r];
    PhaseFailures failures = {share.failures, share.firstIndex,
                              staticCallName(share.firstCall),
                              share.firstError};
    if (share.failures != 0) mergeFailures(&stats->failures, failures);
    stats->blocks += share.blocks;
    stats->threadsRun += share.threadsRun;
    stats->fileSeconds = std::max(stats->fileSeconds, share.seconds);
    mergeLatency(&stats->latency, share.latency);
    stats->ranks.push_back({share.files, share.failures, share.seconds});
  }
}

// A rank other than 0: runs each phase rank 0 starts on the same files, from
// the global counter, until rank 0 says to quit.
void follow(const RunSettings& s, int workFd, MPI_Comm world,
            MPI_Comm service) {
  int dirFds[kNbDirs];
  std::fill(std::begin(dirFds), std::end(dirFds), -EBADF);
  RemoteCounter counter;
  counter.comm = service;
  for (;;) {
    Command command;
    MPI_Request request;
    MPI_Ibcast(&command, sizeof command, MPI_BYTE, 0, world, &request);
    waitQuietly(&request, service);
    if (command.quit) break;
    const PhaseKind kind = static_cast<PhaseKind>(command.kind);
    if (kind == kCreatePhase) {
      // Rank 0 has made the directories; those it could not make fail here
      // too, as they do there.
      PhaseFailures missing;
      closeDirectories(dirFds);
      openDirectories(workFd, false, dirFds, &missing);
    }
    counter.batch = command.batch;
    counter.limit = command.nbFiles;
    const PhasePlan plan = {
        .nbFiles = command.nbFiles,
        .layout = computeLayout(s.nbFiles, s.timeLimit > 0),
        .openFlags = s.openFlags,
        .fileSize = s.fileSize,
        .threads = s.threads,
        .timeFiles = command.timeFiles != 0,
        .numbers = &counter,
        .dirFds = dirFds,
        // The delete phase ends only when all is gone.
        .stop = kind == kDeletePhase ? &kNeverStop : &stopRequested};
    counter.reset();
    PhaseStats stats;
    runPhase(plan, phaseWorker(kind), monotonicNs(), &stats);
    counter.drain();
    passOnStop(service);
    auto report = std::make_unique<Report>();
    fillReport(stats, counter.files, report.get());
    MPI_Igather(report.get(), sizeof(Report), MPI_BYTE, nullptr, 0, MPI_BYTE, 0,
                world, &request);
    waitQuietly(&request, service);
  }
  closeDirectories(dirFds);
}

// The settings every rank must share with rank 0, in a form that can be
// broadcast: all but the threads, which may differ with the nodes, and what
// only rank 0 uses (its output files, --batch).
struct SharedSettings {
  uint64_t nbFiles, fileSize, iterations;
  double timeLimit;
  int32_t direct, dropCaches, keep, pause;
  int32_t parsed;  // the command line was understood: not compared
};

SharedSettings sharedSettings(const RunSettings& s) {
  SharedSettings shared;
  memset(&shared, 0, sizeof shared);  // padding too: it is compared whole
  shared.nbFiles = s.nbFiles;
  shared.fileSize = s.fileSize;
  shared.iterations = s.iterations;
  shared.timeLimit = s.timeLimit;
  shared.direct = (s.openFlags & O_DIRECT) != 0;
  shared.dropCaches = s.dropCaches;
  shared.keep = s.dontDeleteFiles;
  shared.pause = s.pause;
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
                                      "-p"};

// The index in kSharedOptions of the first setting that differs, or -1.
int firstDifference(const SharedSettings& a, const SharedSettings& b) {
  const bool differs[] = {a.nbFiles != b.nbFiles,
                          a.fileSize != b.fileSize,
                          a.iterations != b.iterations,
                          a.timeLimit != b.timeLimit,
                          a.direct != b.direct,
                          a.dropCaches != b.dropCaches,
                          a.keep != b.keep,
                          a.pause != b.pause};
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
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) {
      random = monotonicNs() ^ static_cast<uint64_t>(getpid());
    }
    snprintf(token, sizeof token, "%016llx",
             static_cast<unsigned long long>(random));
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
  runner.ranksTopology.threads = threads;
  for (size_t r = 0; r < static_cast<size_t>(ranks); ++r) {
    runner.ranksTopology.hosts.push_back(&hostTable[r * sizeof host]);
  }
  close(workFd);  // runBenchmark opens it anew
  status = runBenchmark(settings, &runner, launcher);
  stopLauncher(&launcher);
  // However the run ended, the others stop waiting for a phase.
  Command quit = {.quit = 1};
  MPI_Request request;
  MPI_Ibcast(&quit, sizeof quit, MPI_BYTE, 0, MPI_COMM_WORLD, &request);
  waitQuietly(&request, MPI_COMM_NULL);
  MPI_Comm_free(&service);
  MPI_Finalize();
  return status;
}
