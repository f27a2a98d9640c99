#include "driver/messages.h"

#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "console/output.h"

namespace treeflood {

std::string failureText(const PhaseFailures& failures, uint64_t total,
                        const TreeLayout& layout, Entries entries,
                        const char* verb, bool directIo) {
  const bool files = entries == Entries::Files;
  if (failures.count == 0) return "";
  char path[kPathSize];
  if (files) {
    filePath(layout, failures.firstIndex, path);
  } else {
    dirName(layout, static_cast<unsigned>(failures.firstIndex), path);
  }
  const bool differs = failures.firstError <= kContentDiffers;
  const bool refused = directIo && failures.firstError == EINVAL &&
                       (strcmp(failures.firstCall, "open") == 0 ||
                        strcmp(failures.firstCall, "write") == 0);
  return "Warning: " + std::to_string(failures.count) + " of " +
         std::to_string(total) + (files ? " files" : " directories") +
         " could not be " + verb + " (first: " + failures.firstCall + "(" +
         path + "): " +
         (differs ? differenceText(failures, layout)
                  : failureError(failures.firstError)) +
         ")" +
         (refused ? "; the file system may refuse direct I/O: try "
                    "--no-direct-io"
                  : "") +
         "\n";
}

std::string differenceText(const PhaseFailures& differs,
                           const TreeLayout& layout) {
  const Difference& d = differs.firstDifference;
  switch (differs.firstError) {
    case kReadAsZeros:
      return formatted("bytes %" PRIu64 " to %" PRIu64 " read as zeros", d.at,
                       d.last);
    case kMisplaced: {
      char source[kPathSize];
      filePath(layout, d.source, source);
      return formatted("bytes %" PRIu64 " to %" PRIu64
                       " hold %s's bytes %" PRIu64 " to %" PRIu64,
                       d.at, d.last, source, d.sourceAt,
                       d.sourceAt + (d.last - d.at));
    }
    case kShortFile:
      return formatted("short: %" PRIu64 " of %" PRIu64 " bytes", d.at, d.last);
    case kLongFile:
      return formatted("long: more than %" PRIu64 " bytes", d.last);
    default:
      return formatted("content differs at byte %" PRIu64, d.at);
  }
}

std::string leftoverText(const LeftoverTally& tally,
                         const std::string& workDir) {
  std::string text = "Removed " + std::to_string(tally.files) + " files and " +
                     std::to_string(tally.dirs) +
                     " directories of a run from '" + workDir + "'\n";
  if (tally.stayed == 0) return text;
  text += "Warning: " + std::to_string(tally.stayed) + " entries stay:\n";
  for (const std::string& row : tally.firstStayed) text += "  " + row + "\n";
  if (tally.stayed > tally.firstStayed.size()) {
    text += "  and " + std::to_string(tally.stayed - tally.firstStayed.size()) +
            " more\n";
  }
  return text;
}

std::string ranksLine(const std::vector<std::string>& hosts) {
  std::vector<std::pair<std::string, int>> counts;
  for (const std::string& host : hosts) {
    auto it = std::find_if(counts.begin(), counts.end(),
                           [&](const auto& c) { return c.first == host; });
    if (it == counts.end()) {
      counts.push_back({host, 1});
    } else {
      ++it->second;
    }
  }
  std::string line = "on " + std::to_string(hosts.size()) + " ranks:";
  for (size_t i = 0; i < counts.size(); ++i) {
    line += (i == 0 ? " " : ", ") + counts[i].first + " (" +
            std::to_string(counts[i].second) + ")";
  }
  return line;
}

}  // namespace treeflood
