#include "work/owners.h"

#include <sys/mman.h>

#include <chrono>

#include "console/clock.h"

namespace treeflood {

bool Mapping::map(size_t length) {
  reset();
  void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return false;
  data_ = static_cast<char*>(block);
  length_ = length;
  return true;
}

void Mapping::reset() {
  if (data_ != nullptr) munmap(data_, length_);
  data_ = nullptr;
  length_ = 0;
}

int StoppableThread::start(void* (*body)(void*), void* arg,
                           ThreadStarter starter) {
  stopped_ = false;
  const int error = starter(&handle_, nullptr, body, arg);
  running_ = error == 0;
  return error;
}

bool StoppableThread::waitUntil(uint64_t until) {
  std::unique_lock<std::mutex> hold(lock_);
  for (uint64_t now; (now = monotonicNs()) < until;) {
    // wait_for measures on the steady clock, so a step of the wall clock
    // neither stretches nor cuts the wait.
    if (wake_.wait_for(hold, std::chrono::nanoseconds(until - now),
                       [this] { return stopped_; })) {
      return false;
    }
  }
  return !stopped_;
}

void StoppableThread::stop() {
  if (!running_) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  wake_.notify_all();
  pthread_join(handle_, nullptr);
  running_ = false;
}

}  // namespace treeflood
