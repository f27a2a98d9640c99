// What else the host was doing while a phase ran: the CPU time other
// processes used and the time the hypervisor stole, from /proc/stat less this
// process's own, the load average, and this process's own CPU time.
#ifndef TREEFLOOD_DRIVER_LOAD_H_
#define TREEFLOOD_DRIVER_LOAD_H_

#include <stdint.h>
#include <sys/time.h>

#include <string>

namespace treeflood {

// A struct timeval's seconds.
double timevalSeconds(const struct timeval& t);

// One moment's reading, in seconds of CPU time since boot or start.
struct HostReading {
  bool known = false;  // /proc/stat could be read
  uint64_t ns = 0;     // monotonicNs
  double busy = 0;     // every CPU's time in user, nice, system, irq, softirq
  double steal = 0;
  double loadAverage = 0;       // over the last minute
  double user = 0, system = 0;  // this process's
  double children = 0;          // its waited-for children's, user + system
};

// Reads the "cpu" line of `procStat`, the text of /proc/stat, in ticks of
// `ticksPerSecond`, into `reading`'s busy and steal seconds. Returns false
// when the text has no such line.
bool readProcStat(const std::string& procStat, double ticksPerSecond,
                  HostReading* reading);

// Reads /proc/stat, /proc/loadavg and getrusage now.
HostReading readHost();

// What the host did between two readings.
struct HostLoad {
  bool known = false;
  double otherCpus = 0;    // CPUs other processes kept busy, on average
  double stealCpus = 0;    // CPUs stolen, on average
  double loadAverage = 0;  // at the start
  double userSeconds = 0, systemSeconds = 0;  // this process's
};

// The load from `start` to `end`: other processes' CPU time is the busy
// time less this process's, its children's and `commandSeconds` (a command
// that another process waited for: ls, through the launcher), over the wall
// time between.
HostLoad hostLoad(const HostReading& start, const HostReading& end,
                  double commandSeconds = 0);

// Above this many CPUs of others on average, a phase's figures are the
// host's as much as the file system's.
const double kBusyCpus = 0.5;

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_LOAD_H_
