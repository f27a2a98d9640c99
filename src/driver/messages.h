// The texts a run prints of what it could not do and where it ran.
#ifndef TREEFLOOD_DRIVER_MESSAGES_H_
#define TREEFLOOD_DRIVER_MESSAGES_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "work/leftovers.h"
#include "work/workers.h"

namespace treeflood {

// What a failure count is of: the layout's files or its directories.
enum class Entries { Files, Directories };

// The warning line for `failures` among `total` files or directories; `verb`
// says what could not be done to them ("created"), and `directIo` whether
// the files were opened with O_DIRECT, which an EINVAL may be the file
// system's refusal of. Empty when none failed.
std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout& layout, Entries entries,
                        const char* verb, bool directIo);

// How the first file of `differs` differs from what was written:
// "content differs at byte 4096", "bytes 4096 to 8191 read as zeros",
// "bytes 0 to 511 hold d_002/f_9's bytes 512 to 1023", "short: 100 of 10240
// bytes", "long: more than 10240 bytes".
std::string differenceText(const PhaseFailures& differs,
                           const TreeLayout& layout);

// What removeLeftovers did in `workDir`: a line of what it removed, then a
// warning that names the first entries that stay, each with its reason.
std::string leftoverText(const LeftoverTally& tally,
                         const std::string& workDir);

// "on 3 ranks: node1 (2), node2 (1)": the hosts in rank order, each with the
// number of ranks it runs.
std::string ranksLine(const std::vector<std::string>& hosts);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_MESSAGES_H_
