#include "work/workers.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver/layout.h"
#include "driver/settings.h"

namespace {

// Room for the longest path: 8 + nameWidth characters, nameWidth at most 14
// (counts up to 2^64 - 1), and a terminator.
const size_t kPathBufferSize = 32;

// The loop every worker runs: `operation(index, path)` for each number handed
// out, until they run out, timing each call that succeeds when kTimed.
template <bool kTimed, typename Operation>
void fileLoop(WorkerTally* tally, Operation operation) {
  const uint64_t nbFiles = runSettings.nbFiles;
  LatencyHistogram* latency = tally->latency;
  char path[kPathBufferSize];
  for (uint64_t i; (i = nextIndex()) < nbFiles;) {
    filePath(treeLayout, i, path);
    if constexpr (kTimed) {
      uint64_t start = latencyTicks();
      if (operation(i, path)) recordLatency(latency, latencyTicks() - start);
    } else {
      operation(i, path);
    }
  }
}

// Two clock reads cost about as much as a stat of a cached file, so files
// are timed only when someone asked for their latency; the untimed loop is
// the bare system calls.
template <typename Operation>
void forEachFile(WorkerTally* tally, Operation operation) {
  if (tally->latency != nullptr) {
    fileLoop<true>(tally, operation);
  } else {
    fileLoop<false>(tally, operation);
  }
}

}  // namespace

std::atomic<uint64_t> workCounter{0};
int64_t fileBlocks = 0;
std::mutex sizeLock;
char* dataBlock = nullptr;

bool initWork() {
  void* block = nullptr;
  if (posix_memalign(&block, 4096, kDataBlockSize) != 0) return false;
  memset(block, 0, kDataBlockSize);
  dataBlock = static_cast<char*>(block);
  return true;
}

const char* failureError(int error) {
  return error == 0 ? "short write" : strerror(error);
}

void mergeFailures(PhaseFailures* into, const PhaseFailures& from) {
  if (from.count == 0) return;
  if (into->count == 0 || from.firstIndex < into->firstIndex) {
    into->firstIndex = from.firstIndex;
    into->firstCall = from.firstCall;
    into->firstError = from.firstError;
  }
  into->count += from.count;
}

void countFailure(WorkerTally* tally, uint64_t index, const char* call,
                  int error) {
  // Numbers reach each thread in increasing order, so its first failure is
  // also its lowest-numbered one.
  PhaseFailures& f = tally->failures;
  if (f.count++ == 0) {
    f.firstIndex = index;
    f.firstCall = call;
    f.firstError = error;
  }
}

void createWorker(WorkerTally* tally) {
  const int flags = runSettings.openFlags;
  forEachFile(tally, [tally, flags](uint64_t i, const char* path) {
    int fd = open(path, flags, 0644);
    if (fd < 0) {
      countFailure(tally, i, "open", errno);
      return false;
    }
    ssize_t written = write(fd, dataBlock, kDataBlockSize);
    if (written != static_cast<ssize_t>(kDataBlockSize)) {
      countFailure(tally, i, "write", written < 0 ? errno : 0);
      close(fd);
      return false;
    }
    if (close(fd) != 0) {
      countFailure(tally, i, "close", errno);
      return false;
    }
    return true;
  });
}

void sizeWorker(WorkerTally* tally) {
  forEachFile(tally, [tally](uint64_t i, const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
      countFailure(tally, i, "stat", errno);
      return false;
    }
    tally->blocks += static_cast<int64_t>(st.st_blocks);
    return true;
  });
  // One addition per thread rather than one per file keeps sizeLock off the
  // per-file path; the total is the same.
  std::lock_guard<std::mutex> hold(sizeLock);
  fileBlocks += tally->blocks;
}

void deleteWorker(WorkerTally* tally) {
  forEachFile(tally, [tally](uint64_t i, const char* path) {
    if (unlink(path) == 0) return true;
    countFailure(tally, i, "unlink", errno);
    return false;
  });
}
