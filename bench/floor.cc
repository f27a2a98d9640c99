// The floor for treeflood's figures: the same system calls on the same paths
// with the same flags and data, and nothing else. No reporter, no failure
// accounting, no output during a phase. Prints each phase's seconds on the
// monotonic clock, as "create S", "size S", "delete S". Between create and
// size it runs `ls -R`, untimed, as a run does.
//
//   floor [-f files] [-t threads] [-D] [-s] [-d dir] [-r seed] [-R]
//     -D  no O_DIRECT        -s  static contiguous ranges, no shared counter
//     -r  each phase in treeflood's random order for the seed, looked up in
//         a table made before the phase: the order's calls, not its cost
//     -R  a read phase after size: open, one read of the file, close
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <thread>
#include <vector>

#include "work/order.h"

using namespace treeflood;

namespace {

uint64_t nbFiles = 100000;
unsigned threads = 1;
int openFlags = O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT;
bool staticRanges = false;
unsigned dirBits = 0, nameWidth = 1;
char* block = nullptr;
std::atomic<uint64_t> counter;
// The file each number drawn stands for, in a random order; empty in order.
std::vector<uint64_t> order;
std::atomic<int64_t> blocks;

void hex(uint64_t v, unsigned width, char* out) {
  for (unsigned i = width; i-- > 0; v >>= 4)
    out[i] = "0123456789abcdef"[v & 15];
}

void path(uint64_t i, char* buf) {
  memcpy(buf, "d_", 2);
  hex(i >> dirBits, 3, buf + 2);
  memcpy(buf + 5, "/f_", 3);
  hex(i & ((uint64_t{1} << dirBits) - 1), nameWidth, buf + 8);
  buf[8 + nameWidth] = '\0';
}

void dirPath(unsigned d, char* buf) {
  memcpy(buf, "d_", 2);
  hex(d, 3, buf + 2);
  buf[5] = '\0';
}

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

template <typename Op>
void work(unsigned thread, Op op) {
  char buf[32];
  if (staticRanges) {
    uint64_t begin = nbFiles / threads * thread +
                     std::min<uint64_t>(thread, nbFiles % threads);
    uint64_t end =
        begin + nbFiles / threads + (thread < nbFiles % threads ? 1 : 0);
    for (uint64_t i = begin; i < end; ++i) {
      path(order.empty() ? i : order[i], buf);
      op(buf);
    }
    return;
  }
  for (uint64_t i;
       (i = counter.fetch_add(1, std::memory_order_relaxed)) < nbFiles;) {
    path(order.empty() ? i : order[i], buf);
    op(buf);
  }
}

// Phase `kind` (0 create, 1 size, 2 read, 3 delete, as treeflood numbers
// them) in the order of `seed`, when one was given.
bool shuffled = false;
uint64_t seed = 0;
void planOrder(unsigned kind) {
  order.clear();
  if (!shuffled) return;
  const FileOrder o = randomOrder(seed, kind, nbFiles, nbFiles);
  order.resize(nbFiles);
  for (uint64_t i = 0; i < nbFiles; ++i) order[i] = fileOf(o, i);
}

template <typename Op>
void phase(Op op) {
  counter = 0;
  std::vector<std::thread> extra;
  for (unsigned t = 1; t < threads; ++t)
    extra.emplace_back([t, op] { work(t, op); });
  work(0, op);
  for (std::thread& t : extra) t.join();
}

}  // namespace

int main(int argc, char** argv) {
  bool readBack = false;
  for (int c; (c = getopt(argc, argv, "f:t:Dsd:r:R")) != -1;) {
    switch (c) {
      case 'f':
        nbFiles = strtoull(optarg, nullptr, 10);
        break;
      case 't':
        threads = static_cast<unsigned>(atoi(optarg));
        break;
      case 'D':
        openFlags &= ~O_DIRECT;
        break;
      case 's':
        staticRanges = true;
        break;
      case 'd':
        if (chdir(optarg) != 0) return perror(optarg), 1;
        break;
      case 'r':
        shuffled = true;
        seed = strtoull(optarg, nullptr, 10);
        break;
      case 'R':
        readBack = true;
        break;
      default:
        return 2;
    }
  }
  if (threads < 1 || threads > 64) return 2;
  if (nbFiles > 1024) {
    dirBits = static_cast<unsigned>(std::bit_width((nbFiles - 1) >> 10));
    nameWidth = (dirBits + 3) / 4;
  }
  if (posix_memalign(reinterpret_cast<void**>(&block), 4096, 10240) != 0)
    return 1;
  memset(block, 0, 10240);
  char dir[6];

  planOrder(0);
  double start = now();
  for (unsigned d = 0; d < 1024; ++d) {
    dirPath(d, dir);
    if (access(dir, R_OK) != 0) mkdir(dir, 0766);
  }
  phase([](const char* p) {
    int fd = open(p, openFlags, 0644);
    ssize_t written = write(fd, block, 10240);
    (void)written;
    close(fd);
  });
  printf("create %.6f\n", now() - start);

  // Untimed, as in a run: the listing leaves the caches as the size phase
  // finds them.
  if (system("ls -R >/dev/null 2>&1") != 0) return 1;

  planOrder(1);
  start = now();
  phase([](const char* p) {
    struct stat st;
    if (stat(p, &st) == 0)
      blocks.fetch_add(st.st_blocks, std::memory_order_relaxed);
  });
  struct stat st;
  int64_t dirBlocks = stat(".", &st) == 0 ? st.st_blocks : 0;
  for (unsigned d = 0; d < 1024; ++d) {
    dirPath(d, dir);
    if (stat(dir, &st) == 0) dirBlocks += st.st_blocks;
  }
  printf("size %.6f\n", now() - start);

  if (readBack) {
    planOrder(2);
    start = now();
    phase([](const char* p) {
      // A buffer of the thread's own, made once, as treeflood's.
      thread_local char* buffer =
          static_cast<char*>(aligned_alloc(4096, 12288));
      int fd = open(p, O_RDONLY | (openFlags & O_DIRECT));
      ssize_t got = read(fd, buffer, 10240);
      (void)got;
      close(fd);
    });
    printf("read %.6f\n", now() - start);
  }

  planOrder(3);
  start = now();
  phase([](const char* p) { unlink(p); });
  for (unsigned d = 0; d < 1024; ++d) {
    dirPath(d, dir);
    rmdir(dir);
  }
  printf("delete %.6f\n", now() - start);
  printf("blocks %lld\n", static_cast<long long>(blocks + dirBlocks));
  return 0;
}
