#include "mpi/startup.h"

#include <fcntl.h>
#include <inttypes.h>
#include <mpi.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <bit>

#include "console/output.h"
#include "driver/checks.h"
#include "work/order.h"
#include "work/owners.h"
#include "work/workers.h"

namespace treeflood {

namespace {

// The settings every rank must run with as rank 0 does, by option: all but
// the threads, which may differ with the nodes, and what only rank 0 uses
// (its output files, --batch). Each value as 64 bits, so that the ranks can
// compare them as one broadcast array.
const struct {
  const char* option;
  uint64_t (*value)(const RunSettings& s);
} kSharedSettings[] = {
    {"-f", [](const RunSettings& s) { return s.nbFiles; }},
    {"-s", [](const RunSettings& s) { return s.fileSize; }},
    {"-i", [](const RunSettings& s) { return s.iterations; }},
    {"--time-limit",
     [](const RunSettings& s) { return std::bit_cast<uint64_t>(s.timeLimit); }},
    {"-D", [](const RunSettings& s) { return uint64_t{s.directIo}; }},
    {"--drop-caches",
     [](const RunSettings& s) { return static_cast<uint64_t>(s.dropCaches); }},
    {"--dontDeleteFiles",
     [](const RunSettings& s) { return uint64_t{s.dontDeleteFiles}; }},
    {"-p", [](const RunSettings& s) { return uint64_t{s.pause}; }},
    {"--fsync", [](const RunSettings& s) { return uint64_t{s.sync}; }},
    {"--read", [](const RunSettings& s) { return uint64_t{s.readBack}; }},
    {"--dirs", [](const RunSettings& s) { return uint64_t{s.dirs}; }},
    {"--order", [](const RunSettings& s) { return uint64_t{s.randomOrder}; }},
    {"--data", [](const RunSettings& s) { return uint64_t{s.randomData}; }},
};
const size_t kNbShared = std::size(kSharedSettings);

// The shared settings of one rank, as they are broadcast.
struct SharedSettings {
  uint64_t values[kNbShared] = {};
  int32_t parsed = 0;  // the command line was understood: not compared
};

SharedSettings sharedSettings(const RunSettings& s, bool parsed) {
  SharedSettings shared;
  for (size_t i = 0; i < kNbShared; ++i) {
    shared.values[i] = kSharedSettings[i].value(s);
  }
  shared.parsed = parsed;
  return shared;
}

// The index in kSharedSettings of the first setting that differs, or -1.
int firstDifference(const SharedSettings& a, const SharedSettings& b) {
  for (size_t i = 0; i < kNbShared; ++i) {
    if (a.values[i] != b.values[i]) return static_cast<int>(i);
  }
  return -1;
}

// Says, on rank 0, what rank `rank`'s `code` means.
using Say = void (*)(int rank, int code);

// Gathers each rank's `code` on rank 0, which says `what` for each rank whose
// code is not below 0. Returns whether no rank had one. Collective.
bool everyRankAgrees(int code, int rank, int ranks, Say what) {
  std::vector<int> codes(static_cast<size_t>(ranks));
  MPI_Gather(&code, 1, MPI_INT, codes.data(), 1, MPI_INT, 0, MPI_COMM_WORLD);
  int agree = code < 0;
  MPI_Allreduce(MPI_IN_PLACE, &agree, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  for (int r = 0; rank == 0 && r < ranks; ++r) {
    if (codes[static_cast<size_t>(r)] >= 0) {
      what(r, codes[static_cast<size_t>(r)]);
    }
  }
  return agree != 0;
}

// Checks that every rank works in rank 0's directory, which may be mounted
// at different paths on different nodes: rank 0 leaves a file with a token
// of its own in its working directory `workDir`, open on `workFd`, and every
// rank must read the same token there. Collective; returns whether all did,
// rank 0 having said which rank did not, and why.
bool sameWorkingDirectory(int workFd, const char* workDir, int rank,
                          int ranks) {
  char token[40] = {};
  char name[64] = {};
  if (rank == 0) snprintf(token, sizeof token, "%016" PRIx64, randomSeed());
  MPI_Bcast(token, sizeof token, MPI_CHAR, 0, MPI_COMM_WORLD);
  snprintf(name, sizeof name, ".treeflood-token-%s", token);
  // Rank 0's error in leaving it, which ends the check on every rank.
  int error = 0;
  if (rank == 0) {
    const UniqueFd fd(
        openat(workFd, name,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
      error = errno;
    } else if (!writeAll(fd.get(), token)) {
      error = errno;
      unlinkat(workFd, name, 0);
    }
    if (error != 0) {
      logMessage(
          "Rank 0 can't write in its working directory '%s': %s(%s): "
          "%s\n",
          workDir, fd ? "write" : "open", name, strerror(error));
    }
  }
  MPI_Bcast(&error, 1, MPI_INT, 0, MPI_COMM_WORLD);
  if (error != 0) return false;
  // -1 for the token read; else the error that kept it from being read, or
  // 0 for another token.
  int code = -1;
  {
    char seen[40] = {};
    const UniqueFd fd(openat(workFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd || read(fd.get(), seen, sizeof seen - 1) < 0) {
      code = errno;
    } else if (strcmp(seen, token) != 0) {
      code = 0;
    }
  }
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) unlinkat(workFd, name, 0);
  return everyRankAgrees(code, rank, ranks, [](int r, int why) {
    const std::string named = why != 0 ? formatted(" (%s)", strerror(why)) : "";
    logMessage(
        "Rank %d does not see rank 0's working directory%s: every rank must "
        "work in the same one\n",
        r, named.c_str());
  });
}

// Opens, on the lowest rank of each node but rank 0's, the node's switch for
// dropping its caches, which the run flips before each phase that starts
// cold. Collective; returns whether every node could, each rank that could
// not having said why.
bool openNodeDrops(int rank, int ranks, Startup* startup) {
  MPI_Comm node;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank, MPI_INFO_NULL,
                      &node);
  int nodeRank = 0;
  MPI_Comm_rank(node, &nodeRank);
  MPI_Comm_free(&node);
  int code = -1;
  if (rank != 0 && nodeRank == 0) {
    if (const Failure f = openDropCaches(&startup->dropFd)) {
      logMessage("%s", f.message.c_str());
      code = 0;
    }
  }
  return everyRankAgrees(code, rank, ranks, [](int, int) {});
}

// Reads the command line on every rank, rank 0 alone saying what it finds;
// from then on the others say their own refusals and warnings on standard
// error, after their rank. Returns the parse's result.
ParseResult readCommandLine(int argc, char** argv, int rank,
                            RunSettings* settings) {
  const int savedOut = dup(1), savedErr = dup(2);
  if (rank != 0) {
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(devNull, 1);
    dup2(devNull, 2);
    close(devNull);
  }
  ParseResult parsed = parseCommandLine(argc, argv, settings);
  if (rank != 0) {
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    setMessagePrefix("rank " + std::to_string(rank) + ": ");
  }
  close(savedErr);
  close(savedOut);
  return parsed;
}

// This rank's own checks before the ranks compare their settings: false
// after saying what is wrong.
bool checkRank(const RunSettings& settings, int rank, int provided) {
  if (provided < MPI_THREAD_MULTIPLE) {
    if (rank == 0) {
      logMessage(
          "treeflood-mpi needs MPI_THREAD_MULTIPLE, which this MPI library "
          "does not provide (level %d of 3)\n",
          provided);
    }
    return false;
  }
  // Two directories in turns on one host is treeflood's: every rank here
  // works in one tree.
  if (settings.againstDir) {
    if (rank == 0) {
      logMessage(
          "treeflood-mpi runs in one directory: --against is treeflood's, "
          "which runs two side by side on one host\n");
    }
    return false;
  }
  // Each rank holds every directory open; refused before anything is made.
  if (const Failure f = raiseDescriptorLimit(settings.dirs)) {
    logMessage("%s", f.message.c_str());
    return false;
  }
  if (!initWork(settings.fileSize)) {
    logMessage("Failed to allocate the %" PRIu64 "-byte data block\n",
               settings.fileSize);
    return false;
  }
  // mpirun binds each rank to one core unless told otherwise, which would
  // measure the threads taking turns on it.
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 &&
      static_cast<unsigned>(CPU_COUNT(&cpus)) < settings.threads) {
    logMessage(
        "Warning: %d CPU%s for %u threads: run mpirun with --bind-to none, or "
        "--map-by slot:PE=%u\n",
        CPU_COUNT(&cpus), CPU_COUNT(&cpus) == 1 ? "" : "s", settings.threads,
        settings.threads);
  }
  return true;
}

}  // namespace

int startRanks(int argc, char** argv, int rank, int ranks, int provided,
               Startup* startup) {
  RunSettings& settings = startup->settings;
  const ParseResult parsed = readCommandLine(argc, argv, rank, &settings);
  bool ok = parsed.run && checkRank(settings, rank, provided);
  // Every rank must run with rank 0's settings, threads apart, and see its
  // working directory, before anything is made.
  SharedSettings root = sharedSettings(settings, ok);
  const SharedSettings mine = root;
  MPI_Bcast(&root, sizeof root, MPI_BYTE, 0, MPI_COMM_WORLD);
  // A rank whose own command line alone was refused says why: rank 0 can't.
  if (rank != 0 && !parsed.run && root.parsed) {
    RunSettings again;
    parseCommandLine(argc, argv, &again);
  }
  ok = everyRankAgrees(ok && root.parsed ? firstDifference(mine, root) : -1,
                       rank, ranks,
                       [](int r, int option) {
                         logMessage(
                             "Rank %d was given another %s than rank 0: "
                             "every rank needs the same settings, -t apart\n",
                             r, kSharedSettings[option].option);
                       }) &&
       ok;
  startup->workDir = settings.workDir ? *settings.workDir : ".";
  const char* workDir = startup->workDir.c_str();
  if (ok) {
    startup->workFd.reset(open(workDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (ok && !startup->workFd) {
    logMessage(rank == 0 ? "Filed to change working directory (%s) because "
                           "'%s'\n"
                         : "failed to change working directory (%s): %s\n",
               workDir, strerror(errno));
    ok = false;
  }
  int allOk = ok;
  MPI_Allreduce(MPI_IN_PLACE, &allOk, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  if (allOk &&
      !sameWorkingDirectory(startup->workFd.get(), workDir, rank, ranks)) {
    allOk = false;
  }
  if (allOk && settings.dropCaches > 0 &&
      !openNodeDrops(rank, ranks, startup)) {
    allOk = false;
  }
  if (!allOk) return parsed.run ? 1 : parsed.exitStatus;
  // Ranks may run different numbers of threads; the banner counts them all.
  startup->threads = settings.threads;
  MPI_Allreduce(MPI_IN_PLACE, &startup->threads, 1, MPI_UNSIGNED, MPI_SUM,
                MPI_COMM_WORLD);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::vector<char> hostTable(static_cast<size_t>(ranks) * sizeof host);
  MPI_Allgather(host, sizeof host, MPI_CHAR, hostTable.data(), sizeof host,
                MPI_CHAR, MPI_COMM_WORLD);
  for (size_t r = 0; r < static_cast<size_t>(ranks); ++r) {
    startup->hosts.push_back(&hostTable[r * sizeof host]);
  }
  return -1;
}

}  // namespace treeflood
