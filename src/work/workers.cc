#include "work/workers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace treeflood {

const std::atomic<bool> kNeverStop{false};

namespace {

// The loop every worker runs: `operation(index, dirFd, name)` for each number
// handed out, mapped to its file by the plan's order when kOrdered, until they
// run out, a stop is asked for or the deadline passes, timing each call that
// succeeds when kTimed. A file whose directory could not be opened fails as
// `call` with the directory's error.
template <bool kTimed, bool kOrdered, typename Operation>
void fileLoop(const PhasePlan& plan, WorkerTally* tally, const char* call,
              Operation operation) {
  FileNumberSource& numbers = *plan.numbers;
  const std::atomic<bool>& stop = *plan.stop;
  const uint64_t nbFiles = plan.nbFiles;
  const uint64_t deadline = plan.deadlineNs;
  LatencyHistogram* latency = tally->latency;
  const std::vector<uint64_t>* refused =
      plan.refused != nullptr && !plan.refused->empty() ? plan.refused
                                                        : nullptr;
  char name[kPathSize];
  for (uint64_t i;;) {
    if (stop.load(std::memory_order_relaxed) || tally->halted) break;
    // Read before each draw, so that no number is drawn past the deadline and
    // the later phases find exactly the files drawn. clock_gettime is served
    // by the vDSO, without a system call.
    if (deadline != 0 && monotonicNs() >= deadline) {
      tally->timeUp = true;
      break;
    }
    if ((i = numbers.next(&tally->cursor)) >= nbFiles) break;
    if constexpr (kOrdered) i = fileOf(plan.order, i);
    // Not the run's: another's entry holds the name.
    if (refused != nullptr &&
        std::binary_search(refused->begin(), refused->end(), i)) {
      continue;
    }
    const int dirFd = plan.dirFds[dirOf(plan.layout, i)];
    if (dirFd < 0) {
      countFailure(&tally->failures, i, call, -dirFd);
      continue;
    }
    fileName(plan.layout, i, name);
    if constexpr (kTimed) {
      uint64_t start = latencyTicks();
      if (operation(i, dirFd, name)) {
        recordLatency(latency, latencyTicks() - start);
      }
    } else {
      operation(i, dirFd, name);
    }
  }
}

// Two clock reads cost about as much as a stat of a cached file, so files
// are timed only when someone asked for their latency; the untimed loop is
// the bare system calls. So is a loop in the order drawn.
template <typename Operation>
void forEachFile(const PhasePlan& plan, WorkerTally* tally, const char* call,
                 Operation operation) {
  const bool timed = tally->latency != nullptr;
  if (plan.order.random) {
    timed ? fileLoop<true, true>(plan, tally, call, operation)
          : fileLoop<false, true>(plan, tally, call, operation);
  } else {
    timed ? fileLoop<true, false>(plan, tally, call, operation)
          : fileLoop<false, false>(plan, tally, call, operation);
  }
}

// Removes an entry found at a file's name, which an earlier run may have
// left: only a regular file with no other link, owned by `uid`, and only its
// name. Nothing at the name is ever opened, so a file put there meanwhile,
// say a link to one outside the tree, is never written. Returns 0, or why the
// entry stays.
int removeLeftover(int dirFd, const char* name, uid_t uid) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return kNotRegular;
  if (st.st_nlink != 1) return kOtherLinks;
  if (st.st_uid != uid) return kOtherOwner;
  return unlinkat(dirFd, name, 0) != 0 ? errno : 0;
}

}  // namespace

char* dataBlock = nullptr;

const char* phaseName(Phase phase) {
  static const char* const kNames[kNbPhases] = {"create", "list", "size",
                                                "read", "delete"};
  return kNames[static_cast<int>(phase)];
}

WorkerRoutine phaseWorker(Phase phase) {
  static const WorkerRoutine kWorkers[kNbPhases] = {
      createWorker, nullptr, sizeWorker, readWorker, deleteWorker};
  return kWorkers[static_cast<int>(phase)];
}

bool initWork(size_t fileSize) {
  // Pages of its own, zero until written, which they never are: they take no
  // memory, and a child forked for a command does not get them, so that its
  // peak memory is never the block's. At least one page.
  static Mapping block;
  const size_t length = (fileSize / 4096 + 1) * 4096;
  dataBlock = block.map(length) ? block.data() : nullptr;
  if (dataBlock == nullptr) return false;
  madvise(dataBlock, length, MADV_DONTFORK);
  return true;
}

const char* failureError(int error) {
  switch (error) {
    case kNotRegular:
      return "not a regular file";
    case kOtherLinks:
      return "file has other links";
    case kOtherOwner:
      return "file of another user";
    case kContentDiffers:
      return "content differs";
    case kReadAsZeros:
      return "read as zeros";
    case kMisplaced:
      return "blocks of another place";
    case kShortFile:
      return "short file";
    case kLongFile:
      return "long file";
    default:
      return strerror(error);
  }
}

void countFailure(PhaseFailures* f, uint64_t index, const char* call, int error,
                  const Difference& difference) {
  // In a random order, a later failure may be of a lower number.
  if (f->count++ == 0 || index < f->firstIndex) {
    f->firstIndex = index;
    f->firstCall = call;
    f->firstError = error;
    f->firstDifference = difference;
  }
}

void mergeFailures(PhaseFailures* into, const PhaseFailures& from) {
  if (from.count == 0) return;
  if (into->count == 0 || from.firstIndex < into->firstIndex) {
    into->firstIndex = from.firstIndex;
    into->firstCall = from.firstCall;
    into->firstError = from.firstError;
    into->firstDifference = from.firstDifference;
  }
  into->count += from.count;
}

void createWorker(const PhasePlan& plan, WorkerTally* tally) {
  // O_EXCL: every file is one this run made, so no write ever goes through
  // an inode that was there before. O_NONBLOCK: a FIFO that appears at the
  // name fails at once instead of waiting for a reader.
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_NOFOLLOW |
                    O_NONBLOCK | O_CLOEXEC | (plan.directIo ? O_DIRECT : 0);
  const size_t size = plan.fileSize;
  const bool sync = plan.syncFiles;
  const uid_t uid = geteuid();
  const uint64_t maxRefused = plan.maxRefused;
  PhaseFailures* failures = &tally->failures;
  // Random data is made file by file in a buffer of the thread's own.
  const RandomData* data = size != 0 ? plan.data : nullptr;
  Mapping buffer;
  const int mapError = data == nullptr                         ? 0
                       : data->pool.data() == nullptr          ? ENOMEM
                       : !buffer.map(std::min(size, kMaxSpan)) ? errno
                                                               : 0;
  forEachFile(plan, tally, "open",
              [=, &buffer](uint64_t i, int dirFd, const char* name) {
                if (mapError != 0) {
                  countFailure(failures, i, "mmap", mapError);
                  return false;
                }
                int fd = openat(dirFd, name, flags, 0644);
                int error = fd < 0 ? errno : 0;
                const bool held = error == EEXIST;
                if (held) {
                  error = removeLeftover(dirFd, name, uid);
                  // If the name is back by now, the file fails.
                  if (error == 0) fd = openat(dirFd, name, flags, 0644);
                  if (error == 0 && fd < 0) error = errno;
                }
                if (fd < 0) {
                  countFailure(failures, i, "open", error);
                  // Whatever holds the name is not the run's to touch again.
                  if (held) {
                    tally->refused.push_back(i);
                    if (tally->refusals != nullptr &&
                        tally->refusals->fetch_add(1) + 1 >= maxRefused) {
                      tally->halted = true;
                    }
                  }
                  return false;
                }
                // A short write goes on with the rest, so that a failure is
                // reported by the error of the call that failed (ENOSPC,
                // EFBIG).
                for (size_t done = 0; done < size;) {
                  const char* from = dataBlock + done;
                  size_t span = size - done;
                  if (data != nullptr) {
                    span = std::min(span, kMaxSpan);
                    fillData(*data, i, done, span, buffer.data());
                    from = buffer.data();
                  }
                  ssize_t n = write(fd, from, span);
                  if (n <= 0) {
                    countFailure(failures, i, "write", n < 0 ? errno : EIO);
                    close(fd);
                    return false;
                  }
                  done += static_cast<size_t>(n);
                }
                if (sync && fsync(fd) != 0) {
                  countFailure(failures, i, "fsync", errno);
                  close(fd);
                  return false;
                }
                if (close(fd) != 0) {
                  countFailure(failures, i, "close", errno);
                  return false;
                }
                return true;
              });
}

void sizeWorker(const PhasePlan& plan, WorkerTally* tally) {
  forEachFile(
      plan, tally, "stat", [=](uint64_t i, int dirFd, const char* name) {
        struct stat st;
        int error = fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno
                    : !S_ISREG(st.st_mode) ? kNotRegular
                                           : 0;
        if (error != 0) {
          countFailure(&tally->failures, i, "stat", error);
          return false;
        }
        tally->blocks += static_cast<int64_t>(st.st_blocks);
        return true;
      });
}

void readWorker(const PhasePlan& plan, WorkerTally* tally) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                    (plan.directIo ? O_DIRECT : 0);
  const size_t size = plan.fileSize;
  const uint64_t nbFiles = plan.nbFiles;
  const RandomData* data = plan.data;
  // Room for one byte past the file's end, so that a read shorter than asked
  // shows the end; whole pages, which direct I/O needs. Random data has its
  // expected bytes made beside.
  const size_t length =
      std::min(kReadBufferSize, (size + 1 + 4095) / 4096 * 4096);
  Mapping mapping;
  const int mapError = data != nullptr && data->pool.data() == nullptr ? ENOMEM
                       : !mapping.map(data != nullptr ? 2 * length : length)
                           ? errno
                           : 0;
  char* buffer = mapping.data();
  char* expected = buffer + length;
  PhaseFailures* failures = &tally->failures;
  PhaseFailures* differs = &tally->differs;
  forEachFile(
      plan, tally, "read", [=](uint64_t i, int dirFd, const char* name) {
        const int fd = mapError != 0 ? -1 : openat(dirFd, name, flags);
        if (fd < 0) {
          countFailure(failures, i, mapError != 0 ? "mmap" : "open",
                       mapError != 0 ? mapError : errno);
          return false;
        }
        // A FIFO or a device at the name reads like a file: it fails unread.
        struct stat st;
        int error = fstat(fd, &st) != 0    ? errno
                    : !S_ISREG(st.st_mode) ? kNotRegular
                                           : 0;
        Difference found;
        bool inHole = false;  // following a run of zero blocks past a buffer
        for (size_t done = 0; error == 0;) {
          const size_t left = size - done + 1;
          const size_t asked =
              left < length ? (left + 4095) / 4096 * 4096 : length;
          const ssize_t n = read(fd, buffer, asked);
          if (n < 0) {
            error = errno;
            break;
          }
          const size_t got = static_cast<size_t>(n);
          const size_t inFile = std::min(got, size - done);
          if (inHole) {
            const size_t zeros = zeroBlocks(buffer, inFile);
            found.last += zeros;
            if (zeros < inFile || got != asked) break;
            done += got;
            continue;
          }
          const char* want = dataBlock + done;
          // Random data is compared in place, and made only to say how it
          // differs.
          const bool same = data != nullptr
                                ? holdsData(*data, i, done, buffer, inFile)
                                : memcmp(buffer, want, inFile) == 0;
          if (!same) {
            if (data != nullptr) {
              fillData(*data, i, done, inFile, expected);
              want = expected;
            }
            found =
                describeDifference(data, nbFiles, done, buffer, want, inFile);
            // Zeros up to the end of a full buffer: the hole may go on.
            inHole = found.kind == kReadAsZeros &&
                     found.last + 1 == done + inFile && got == asked &&
                     done + inFile < size;
            if (!inHole) break;
            done += got;
            continue;
          }
          done += got;
          if (got > inFile) {
            found = {kLongFile, size, size};
            break;
          }
          if (got == 0 && done < size) {
            found = {kShortFile, done, size};
            break;
          }
          if (got == 0 || (done == size && got < asked)) break;
        }
        if (close(fd) != 0 && error == 0) error = errno;
        if (found.kind != 0) {
          countFailure(failures, i, "read", found.kind, found);
          countFailure(differs, i, "read", found.kind, found);
          return false;
        }
        if (error != 0) {
          countFailure(failures, i, "read", error);
          return false;
        }
        return true;
      });
}

void deleteWorker(const PhasePlan& plan, WorkerTally* tally) {
  forEachFile(plan, tally, "unlink",
              [=](uint64_t i, int dirFd, const char* name) {
                if (unlinkat(dirFd, name, 0) == 0) return true;
                countFailure(&tally->failures, i, "unlink", errno);
                return false;
              });
}

}  // namespace treeflood
