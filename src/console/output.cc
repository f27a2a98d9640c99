#include "console/output.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "console/clock.h"

namespace treeflood {

namespace {

thread_local uint64_t spentNs = 0;

// Adds the time from its making to its end to the thread's output time.
struct OutputTimer {
  uint64_t start = monotonicNs();
  ~OutputTimer() { spentNs += monotonicNs() - start; }
};

// Empty where messages go to standard output as they are.
std::string messagePrefix;

const int kDefaultColumns = 78;
// Bounds the width, and so the erase string.
const int kMaxColumns = 4096;

}  // namespace

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A write that takes nothing would take nothing again.
      if (n == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int columns = kDefaultColumns;
bool terminal = false;

int columnsFromText(const char* value, int fallback) {
  if (value == nullptr) return fallback;
  long width = strtol(value, nullptr, 10);
  if (width < 3) return fallback;
  if (width > kMaxColumns) return kMaxColumns;
  return static_cast<int>(width);
}

void initConsole() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      // Takes the lowest free descriptor, which is `fd`.
      open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    }
  }
  terminal = isatty(1) == 1;
  int fallback = kDefaultColumns;
  struct winsize size;
  if (terminal && ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col >= 3) {
    fallback = std::min<int>(size.ws_col, kMaxColumns);
  }
  columns = columnsFromText(getenv("COLUMNS"), fallback);
}

uint64_t outputNs() { return spentNs; }

namespace {

__attribute__((format(printf, 1, 0))) std::string vformatted(const char* format,
                                                             va_list args) {
  char* text = nullptr;
  const int n = vasprintf(&text, format, args);
  if (n < 0) return "out of memory\n";
  std::string result(text, static_cast<size_t>(n));
  free(text);
  return result;
}

}  // namespace

std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformatted(format, args);
  va_end(args);
  return text;
}

Failure failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Failure f = {vformatted(format, args)};
  va_end(args);
  return f;
}

void logMessage(const char* format, ...) {
  OutputTimer timer;
  va_list args;
  va_start(args, format);
  if (messagePrefix.empty()) {
    vdprintf(1, format, args);
    fsync(1);
  } else {
    const std::string text = vformatted(format, args);
    std::string lines;
    for (size_t at = 0; at < text.size();) {
      const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
      lines += messagePrefix + text.substr(at, end - at);
      at = end;
    }
    writeAll(2, lines);
  }
  va_end(args);
}

void setMessagePrefix(std::string prefix) { messagePrefix = std::move(prefix); }

void writeText(std::string_view text) {
  OutputTimer timer;
  writeAll(1, text);
}

std::string collapsePercents(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%') ++i;
  }
  return out;
}

void writeTemplate(std::string_view text) {
  // The collapse is done here rather than by handing the text to printf as a
  // format, so that nothing in it can ever be read as a conversion.
  std::string out = collapsePercents(text);
  OutputTimer timer;
  writeAll(1, out);
  fsync(1);
}

void clearLine(bool flush, size_t drawn) {
  OutputTimer timer;
  if (terminal) {
    writeAll(1, "\r\x1b[K");
  } else {
    std::string line(std::max(static_cast<size_t>(columns - 3), drawn) + 2,
                     ' ');
    line.front() = '\r';
    line.back() = '\r';
    writeAll(1, line);
  }
  if (flush) fsync(1);
}

}  // namespace treeflood
