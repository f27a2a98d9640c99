// What the ranks of treeflood-mpi tell each other: the tags and messages of
// the service, the commands and reports of the phases, and the quiet waits
// for them.
#ifndef TREEFLOOD_MPI_PROTOCOL_H_
#define TREEFLOOD_MPI_PROTOCOL_H_

#include <mpi.h>
#include <stdint.h>

#include <atomic>

#include "work/latency.h"
#include "work/order.h"
#include "work/phase.h"

namespace treeflood {

// The reply to a request for numbers once there are no more: above any
// count, so that the worker ends as after the last file.
const uint64_t kNoMore = UINT64_MAX;
// Messages on the service's communicator, all of at most kMessageWords
// MPI_UINT64_T. A worker asks for a grant under its own tag, 1 to 64, which
// the reply ({first, end}) carries back to it alone.
// {signal}: a rank received a stop signal; from rank 0, {signal | rank << 8}:
// stop, for rank's signal.
const int kStopTag = 100;
const int kQuitTag = 101;  // {}: rank 0 ends its service
// {files begun, 1 once the rank is done, files finished, the lowest number
// a thread works on, kSettingUp or kNoMore}
const int kProgressTag = 102;
const uint64_t kSettingUp = kNoMore - 1;  // opening the phase's directories
// From rank 0, at least every second from the start to the end: {the phase
// whose turn it is, 1 when rank 0 is about to pause until a SIGCONT}.
const int kAliveTag = 103;
const int kMessageWords = 4;

// How often a rank tells rank 0 how far it has got, and rank 0 the others
// that it is alive: often enough for the timeline's one-second stall rule and
// the live line, and far apart enough to cost nothing.
const uint64_t kProgressNs = 500000000;
// How long a rank may stall, in seconds, unless --stall-timeout says.
const double kStallTimeout = 120;
// A rank silent or stuck past this in a phase gets a warning.
const uint64_t kSilentWarningNs = 5000000000;

// The first and the longest nap of a wait on MPI; see nap.
const long kFirstNapNs = 20000, kLongestNapNs = 1000000;

// Sleeps `*ns`, then lengthens it by half, up to kLongestNapNs. A blocking
// MPI call spins, and would take the cores of the ranks that still work: a
// wait naps instead, short at first so that a message that comes soon is
// seen within tens of microseconds, and starts short again after a message.
void nap(long* ns);

// Tells rank 0 of a stop signal received here, once.
void passOnStop(MPI_Comm service);

// Waits for `request` to complete, in naps. On a rank other than 0, passes
// on a stop signal that comes meanwhile. Returns false, leaving the request,
// if `abandon` becomes 0 or more first.
bool waitQuietly(MPI_Request* request, MPI_Comm service,
                 const std::atomic<int>* abandon = nullptr);

// What rank 0 tells the other ranks to do next.
struct Command {
  int32_t quit = 0;
  // Rank 0's stop, as kStopTag carries it ({signal | rank << 8}), or 0: a
  // rank that missed the stop message takes it from here.
  int32_t stop = 0;
  int32_t phase = 0;  // a Phase
  int32_t timeFiles = 0;
  int32_t syncfs = 0;  // end the phase with a syncfs
  // No phase: the lowest rank of each node drops its caches, and every rank
  // says whether it did.
  int32_t dropCaches = 0;
  uint64_t nbFiles = 0;
  FileOrder order;
  // Under --data random, the seed of the files' bytes, which every rank makes
  // alike.
  uint64_t dataSeed = 0;
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
  Difference firstDifference;
  uint64_t differs = 0, firstDiffers = 0;
  int32_t firstDiffersKind = 0;
  Difference firstDiffersAt;
  uint64_t refused = 0;  // numbers, sent after the reports
  int64_t blocks = 0;
  uint32_t threadsRun = 0;
  double seconds = 0, syncSeconds = 0;
  LatencyHistogram latency;  // in nanoseconds
};

// The failing calls' names, so that one received from another rank can be
// kept as the static text a PhaseFailures holds; "?" for another.
const char* staticCallName(const char* name);

// This rank's report of a phase that ended with `stats`, `files` being the
// numbers it drew below the count.
void fillReport(const PhaseStats& stats, uint64_t files, Report* report);

}  // namespace treeflood

#endif  // TREEFLOOD_MPI_PROTOCOL_H_
