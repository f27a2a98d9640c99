// The run's results as CSV rows, appended to a file that many runs share.
#ifndef TREEFLOOD_DRIVER_CSV_H_
#define TREEFLOOD_DRIVER_CSV_H_

#include <stdint.h>

#include <string>

#include "driver/results.h"

namespace treeflood {

// The CSV header line, and the rows of iteration number `iteration` (from
// 1): one per phase that ran, in order, the listing included, and one per
// rank and phase where several processes ran it.
extern const char kCsvHeader[];
std::string csvRows(const RunResults& results, uint64_t iteration,
                    const RunContext& run);

// Whether the CSV file open on `fd` is empty or begins with kCsvHeader, so
// that rows appended to it are in its columns.
bool csvHeaderMatches(int fd);

// Appends `rows` to the CSV file open on `fd`, after the header if the file
// is empty. Other runs may append to the same file: a lock keeps each one's
// header test and rows together. On failure returns false with errno set.
bool appendCsv(int fd, const std::string& rows);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_CSV_H_
