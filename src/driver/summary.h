// The run's figures as people read them: the summary table.
#ifndef TREEFLOOD_DRIVER_SUMMARY_H_
#define TREEFLOOD_DRIVER_SUMMARY_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "driver/results.h"

namespace treeflood {

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

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_SUMMARY_H_
