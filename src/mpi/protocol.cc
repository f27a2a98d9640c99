#include "mpi/protocol.h"

#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>

#include "driver/stop.h"

namespace treeflood {

void nap(long* ns) {
  // The kernel's default slack of 50 us would double the shortest naps.
  thread_local bool exact = prctl(PR_SET_TIMERSLACK, 1000UL) == 0;
  (void)exact;
  const struct timespec wait = {0, *ns};
  nanosleep(&wait, nullptr);
  *ns = std::min(*ns + *ns / 2, kLongestNapNs);
}

void passOnStop(MPI_Comm service) {
  static std::atomic<bool> told{false};
  if (stopSignal() == 0 || told.exchange(true)) return;
  uint64_t signal = static_cast<uint64_t>(stopSignal());
  MPI_Send(&signal, 1, MPI_UINT64_T, 0, kStopTag, service);
}

bool waitQuietly(MPI_Request* request, MPI_Comm service,
                 const std::atomic<int>* abandon) {
  for (long ns = kFirstNapNs;;) {
    int done = 0;
    MPI_Test(request, &done, MPI_STATUS_IGNORE);
    if (done) return true;
    if (abandon != nullptr && abandon->load() >= 0) return false;
    if (service != MPI_COMM_NULL) passOnStop(service);
    nap(&ns);
  }
}

const char* staticCallName(const char* name) {
  static const char* const kCalls[] = {"open",  "write", "fsync", "close",
                                       "stat",  "read",  "mmap",  "unlink",
                                       "rmdir", "mkdir"};
  for (const char* call : kCalls) {
    if (strcmp(call, name) == 0) return call;
  }
  return "?";
}

void fillReport(const PhaseStats& stats, uint64_t files, Report* report) {
  report->files = files;
  report->failures = stats.failures.count;
  report->firstIndex = stats.failures.firstIndex;
  report->firstError = stats.failures.firstError;
  report->firstDifference = stats.failures.firstDifference;
  report->syncError = stats.syncError;
  report->differs = stats.differs.count;
  report->firstDiffers = stats.differs.firstIndex;
  report->firstDiffersKind = stats.differs.firstError;
  report->firstDiffersAt = stats.differs.firstDifference;
  if (stats.failures.firstCall != nullptr) {
    snprintf(report->firstCall, sizeof report->firstCall, "%s",
             stats.failures.firstCall);
  }
  report->refused = stats.refused.size();
  report->blocks = stats.blocks;
  report->threadsRun = stats.threadsRun;
  report->seconds = stats.fileSeconds;
  report->syncSeconds = stats.syncSeconds;
  report->latency = stats.latency;
  ticksToNs(&report->latency, stats.nsPerTick);
}

}  // namespace treeflood
