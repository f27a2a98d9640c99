#include "console/texts.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace treeflood {

void sizeText(char* buf, size_t size, int64_t bytes) {
  long double v = bytes;
  if (v <= 1024) {
    snprintf(buf, size, "%lld Bytes", static_cast<long long>(bytes));
    return;
  }
  int unit = 0;
  for (;; ++unit) {
    v /= 1024;
    if (v <= 1024 || unit == 3) break;
  }
  // Each unit its own literal format, so that the compiler checks them all.
  switch (unit) {
    case 0:
      snprintf(buf, size, "%.1Lf KBytes", v);
      break;
    case 1:
      snprintf(buf, size, "%.2Lf MBytes", v);
      break;
    case 2:
      snprintf(buf, size, "%.3Lf GBytes", v);
      break;
    default:
      snprintf(buf, size, "%.4Lf TBytes", v);
      break;
  }
}

void clockText(char* buf, size_t size) {
  if (size == 0) return;
  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  if (strftime(buf, size, "%F %T", &local) == 0) buf[0] = '\0';
}

void isoClockText(char* buf, size_t size) {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  isoTimeText(buf, size, local);
}

void isoTimeText(char* buf, size_t size, const struct tm& local) {
  if (size == 0) return;
  buf[0] = '\0';
  // strftime's %z gives "+0100"; ISO 8601's extended form wants "+01:00".
  char text[40];
  size_t n = strftime(text, sizeof text, "%FT%T%z", &local);
  if (n < 5 || n + 2 > size) return;
  memcpy(buf, text, n - 2);
  buf[n - 2] = ':';
  memcpy(buf + n - 1, text + n - 2, 2);
  buf[n + 1] = '\0';
}

void cpuTimeText(char* buf, size_t size, const struct timeval* time) {
  if (buf == nullptr || size <= 3 || time == nullptr) return;
  long long s = time->tv_sec;
  snprintf(buf, size, "%d:%02d:%02d.%03d", static_cast<int>(s / 3600 % 24),
           static_cast<int>(s / 60 % 60), static_cast<int>(s % 60),
           static_cast<int>(time->tv_usec / 1000));
}

void isoBuildText(char* buf, size_t size, const char* date, const char* time) {
  if (size == 0) return;
  buf[0] = '\0';
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  char month[4];
  unsigned day, year;
  int end = 0;
  if (sscanf(date, "%3s %u %u%n", month, &day, &year, &end) != 3 ||
      date[end] != '\0' || strlen(time) != 8) {
    return;
  }
  const char* at = strstr(kMonths, month);
  if (strlen(month) != 3 || at == nullptr || (at - kMonths) % 3 != 0 ||
      day < 1 || day > 31) {
    return;
  }
  snprintf(buf, size, "%04u-%02d-%02uT%s", year % 10000,
           static_cast<int>(at - kMonths) / 3 + 1, day, time);
  if (strlen(buf) != 19) buf[0] = '\0';
}

std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         size_t left, bool lastLeft) {
  std::vector<size_t> widths(rows[0].size());
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], row[c].size());
    }
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      std::string pad(widths[c] - row[c].size(), ' ');
      line += (c == 0 ? "" : "  ") +
              (c < left || (lastLeft && c + 1 == row.size()) ? row[c] + pad
                                                             : pad + row[c]);
    }
    // No blanks at the end of a line whose last column is to the left.
    text += line.substr(0, line.find_last_not_of(' ') + 1) + '\n';
  }
  return text;
}

}  // namespace treeflood
