#include "driver/load.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "console/clock.h"
#include "work/owners.h"

namespace treeflood {

namespace {

// The text of a small file of /proc, or "".
std::string readSmall(const char* path) {
  const UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  char text[4096];
  const ssize_t n = fd ? read(fd.get(), text, sizeof text - 1) : -1;
  return n > 0 ? std::string(text, static_cast<size_t>(n)) : "";
}

}  // namespace

double timevalSeconds(const struct timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

bool readProcStat(const std::string& procStat, double ticksPerSecond,
                  HostReading* reading) {
  // cpu  user nice system idle iowait irq softirq steal guest guest_nice
  unsigned long long user, nice, system, idle, iowait, irq, softirq, steal = 0;
  if (procStat.compare(0, 4, "cpu ") != 0 ||
      sscanf(procStat.c_str() + 4, "%llu %llu %llu %llu %llu %llu %llu %llu",
             &user, &nice, &system, &idle, &iowait, &irq, &softirq,
             &steal) < 7) {
    return false;
  }
  reading->busy = static_cast<double>(user + nice + system + irq + softirq) /
                  ticksPerSecond;
  reading->steal = static_cast<double>(steal) / ticksPerSecond;
  return true;
}

HostReading readHost() {
  HostReading r;
  r.ns = monotonicNs();
  r.known = readProcStat(readSmall("/proc/stat"),
                         static_cast<double>(sysconf(_SC_CLK_TCK)), &r);
  sscanf(readSmall("/proc/loadavg").c_str(), "%lf", &r.loadAverage);
  struct rusage self, children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  r.user = timevalSeconds(self.ru_utime);
  r.system = timevalSeconds(self.ru_stime);
  r.children =
      timevalSeconds(children.ru_utime) + timevalSeconds(children.ru_stime);
  return r;
}

HostLoad hostLoad(const HostReading& start, const HostReading& end,
                  double commandSeconds) {
  HostLoad load;
  load.userSeconds = end.user - start.user;
  load.systemSeconds = end.system - start.system;
  load.loadAverage = start.loadAverage;
  const double wall = static_cast<double>(end.ns - start.ns) / 1e9;
  if (!start.known || !end.known || wall <= 0) return load;
  load.known = true;
  const double own = load.userSeconds + load.systemSeconds +
                     (end.children - start.children) + commandSeconds;
  // The kernel counts in ticks: a short phase may see less than its own.
  load.otherCpus = std::max(0.0, (end.busy - start.busy - own) / wall);
  load.stealCpus = (end.steal - start.steal) / wall;
  return load;
}

}  // namespace treeflood
