#include "console/report.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "console/output.h"

namespace treeflood {

namespace {

// Bars wider than this are not expanded; the program's own are 40 wide.
const uint64_t kMaxBarWidth = 256;

// Replaces every `marker` in `text` by `value`. Where the next search starts
// matters only for texts that could themselves form a marker: the percentage
// ends in "%%", so the search for "%p" resumes after the inserted text.
void replaceAll(std::string& text, std::string_view marker,
                std::string_view value, bool skipInserted) {
  size_t pos = 0;
  while ((pos = text.find(marker, pos)) != std::string::npos) {
    text.replace(pos, marker.size(), value);
    pos += skipInserted ? value.size() : 1;
  }
}

std::string barText(uint64_t width, uint64_t done, uint64_t total) {
  // 128-bit so that width * done can't overflow for counts near 2^64.
  __extension__ typedef unsigned __int128 Wide;
  uint64_t filled = width;
  if (total != 0) {
    Wide f = static_cast<Wide>(width) * done / total;
    if (f < width) filled = static_cast<uint64_t>(f);
  }
  return std::string(filled, '#') + std::string(width - filled, '.');
}

void expandBars(std::string& text, uint64_t done, uint64_t total) {
  for (size_t pos = text.find('%'); pos != std::string::npos;
       pos = text.find('%', pos + 1)) {
    size_t end = pos + 1;
    uint64_t width = 0;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9' &&
           width <= kMaxBarWidth) {
      width = width * 10 + static_cast<uint64_t>(text[end] - '0');
      ++end;
    }
    if (end == pos + 1 || end >= text.size() || text[end] != 'b' ||
        width > kMaxBarWidth) {
      continue;
    }
    text.replace(pos, end + 1 - pos, barText(width, done, total));
  }
}

}  // namespace

std::string durationText(double seconds) {
  // Past this the text is cut at 15 characters anyway, and the conversion to
  // a whole number of seconds stays defined.
  const double kLongest = 1e15;
  if (!(seconds >= 0)) seconds = 0;
  if (seconds > kLongest) seconds = kLongest;
  uint64_t s = static_cast<uint64_t>(seconds);
  unsigned ms =
      static_cast<unsigned>((seconds - static_cast<double>(s)) * 1000);
  char buf[48];
  snprintf(buf, sizeof buf, "%" PRIu64 ":%02u:%02u.%03u", s / 3600,
           static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60),
           ms);
  // Durations are shown in at most 15 characters (hours up to 99999).
  return std::string(buf).substr(0, 15);
}

std::string expandTemplate(std::string_view tmpl, uint64_t done, uint64_t total,
                           double elapsed) {
  double ratio =
      total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  std::string text(tmpl);
  if (text.find("%E") != std::string::npos) {
    double left = ratio > 0 ? elapsed / ratio - elapsed : 0;
    replaceAll(text, "%E", durationText(left), false);
  }
  if (text.find("%L") != std::string::npos) {
    replaceAll(text, "%L", durationText(elapsed), false);
  }
  if (text.find("%p") != std::string::npos) {
    char percent[16];
    snprintf(percent, sizeof percent, "% 6.3f%%%%", ratio * 100);
    replaceAll(text, "%p", percent, true);
  }
  expandBars(text, done, total);
  return text;
}

void writeReport(std::string_view tmpl, uint64_t done, uint64_t total,
                 double elapsed) {
  writeTemplate(expandTemplate(tmpl, done, total, elapsed));
}

std::string liveLine(uint64_t done, uint64_t total, double elapsed, double rate,
                     int width, bool fit) {
  const int kFullBar = 40, kLeastBar = 10;
  // The text around the bar takes 40 columns. The last column is left free,
  // since writing there makes some terminals wrap.
  const int room = width - 1;
  const size_t fits = static_cast<size_t>(std::max(room, 0));
  char rateText[32] = "";
  if (fit && rate >= 0)
    snprintf(rateText, sizeof rateText, ", %.0f files/s", rate);
  int bar = kFullBar;
  if (fit) {
    bar = std::min(kFullBar, room - 40 - static_cast<int>(strlen(rateText)));
    if (bar < kLeastBar) {
      rateText[0] = '\0';
      bar = std::min(kFullBar, room - 40);
    }
  }
  std::string tmpl = std::string("working... eta: %E") + rateText;
  if (bar >= kLeastBar) tmpl += ", %" + std::to_string(bar) + "b";
  std::string text =
      collapsePercents(expandTemplate(tmpl + " [%p]", done, total, elapsed));
  if (fit && text.size() > fits) text.resize(fits);
  return text;
}

}  // namespace treeflood
