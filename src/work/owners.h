// Owners of what the kernel hands out: a descriptor, a mapping, a thread.
// Each releases its resource in its destructor, so that an early return never
// leaks and no error path repeats the clean-up.
#ifndef TREEFLOOD_WORK_OWNERS_H_
#define TREEFLOOD_WORK_OWNERS_H_

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace treeflood {

// A file descriptor, closed with its owner; -1 for none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and holds `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// The descriptors of a tree's directories, by number: an entry below 0 is
// minus the errno of a directory that is not open. Those open are closed
// with their owner.
struct DirectoryFds {
  explicit DirectoryFds(size_t dirs = 0) : fds(dirs, -EBADF) {}
  DirectoryFds(const DirectoryFds&) = delete;
  DirectoryFds& operator=(const DirectoryFds&) = delete;
  ~DirectoryFds() {
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
  int* data() { return fds.data(); }
  std::vector<int> fds;
};

// Private anonymous memory, unmapped with its owner.
class Mapping {
 public:
  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }

  // Maps `length` bytes of zeros in place of what it held; false if the
  // kernel refuses, holding nothing then.
  bool map(size_t length);
  void reset();
  char* data() const { return data_; }

 private:
  char* data_ = nullptr;
  size_t length_ = 0;
};

// How a thread is started: pthread_create, or a stand-in with the same
// contract that lets tests see threads fail to start.
using ThreadStarter = int (*)(pthread_t*, const pthread_attr_t*,
                              void* (*)(void*), void*);

// A thread that wakes on a schedule of its own until it is asked to stop,
// which it hears at once instead of waiting out its sleep: the progress
// reporter, a rank's heartbeat. Joined by stop() or by its owner's end.
class StoppableThread {
 public:
  StoppableThread() = default;
  StoppableThread(const StoppableThread&) = delete;
  StoppableThread& operator=(const StoppableThread&) = delete;
  ~StoppableThread() { stop(); }

  // Runs `body(arg)` on a new thread started by `starter`. Returns 0, or the
  // error that kept it from starting.
  int start(void* (*body)(void*), void* arg,
            ThreadStarter starter = pthread_create);
  // For the body: waits until monotonicNs reads `until`. Returns false, at
  // once, when a stop is asked for.
  bool waitUntil(uint64_t until);
  // Asks the body to stop and waits for it; nothing when it never started.
  void stop();

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;
  bool running_ = false;
  pthread_t handle_{};
};

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_OWNERS_H_
