// The run's results as people and programs read them: the summary table, the
// JSON document and the CSV rows, and the files they go to.
#ifndef TREEFLOOD_DRIVER_WRITERS_H_
#define TREEFLOOD_DRIVER_WRITERS_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "driver/compare.h"
#include "driver/results.h"
#include "driver/settings.h"
#include "driver/system.h"

namespace treeflood {

// A stop signal that cut the run short: which, and in which iteration (from
// 1). The iterations before it are the run's figures.
struct Interruption {
  int signal = 0;  // 0 when the run was not interrupted
  uint64_t iteration = 0;
};

// What the writers say of a run beside its figures.
struct RunContext {
  const RunSettings* settings = nullptr;
  std::string workDir;  // absolute
  SystemInfo system;    // as it was before the run
  Topology topology;
  Interruption interruption;
  uint64_t seed = 0;  // of the random order
  // The comparison with a baseline, when there is one, and its file.
  const Comparison* comparison = nullptr;
  std::string baselinePath;
};

// The threads of a run that shared this host's CPUs: this process's, times
// the ranks on rank 0's host where several processes ran.
unsigned threadsHere(const RunContext& run);

// The summary table: one row per phase that ran, the listing's included,
// with files done and failed, wall seconds, the seconds of the file work,
// files per second over them (successful files only) and latency
// percentiles in microseconds; then the seconds the directories took, and
// the space and inodes the tree used. Over several iterations, files and
// seconds add up, files/s is the mean of the iterations' rates, beside their
// minimum, maximum and standard deviation, and the percentiles are those of
// all the iterations' files together.
// Where several processes ran the phases, on `hosts` by rank, a second table
// gives each one's files and seconds per phase. Then a line that names the
// `workload`, unless it is empty. Columns are aligned; ends in a newline.
std::string summaryText(const std::vector<RunResults>& iterations,
                        const std::vector<std::string>& hosts = {},
                        const std::string& workload = "");

// What the run did beside its counts, as the summary names it: "fsync
// none, 1024 directories, random order (seed 42)".
std::string workloadText(const RunSettings& settings, uint64_t seed);

// The JSON document of the run: every iteration's figures and, over them,
// those of the summary, the warnings and the comparison; an interrupted run
// is not valid. Always valid JSON:
// bytes that are not UTF-8 are replaced.
std::string jsonText(const std::vector<RunResults>& iterations,
                     const RunContext& run);

// The CSV header line, and the rows of iteration number `iteration` (from
// 1): one per phase that ran, in order, the listing included, and one per
// rank and phase where several processes ran it.
extern const char kCsvHeader[];
std::string csvRows(const RunResults& results, uint64_t iteration,
                    const RunContext& run);

// Writes `text` to a new file beside `path` and renames it over `path`, so
// that an earlier file survives any failure, which leaves nothing behind. On
// failure returns false with errno set.
bool writeFile(const std::string& path, const std::string& text);

// Whether writeFile could write `path`: nothing but a regular file stands
// there (else EINVAL), and a file can be made beside it, which is tried and
// removed. On failure returns false with errno set.
bool canWriteFile(const std::string& path);

// Whether the CSV file open on `fd` is empty or begins with kCsvHeader, so
// that rows appended to it are in its columns.
bool csvHeaderMatches(int fd);

// Appends `rows` to the CSV file open on `fd`, after the header if the file
// is empty. Other runs may append to the same file: a lock keeps each one's
// header test and rows together. On failure returns false with errno set.
bool appendCsv(int fd, const std::string& rows);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_WRITERS_H_
