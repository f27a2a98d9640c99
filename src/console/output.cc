#include "console/output.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

const int kDefaultColumns = 78;
// Bounds the erase string, which lives on the stack.
const int kMaxColumns = 4096;

void writeAll(const char* text, size_t length) {
  // Output is best effort: a failed write is not retried or reported.
  while (length > 0) {
    ssize_t n = write(1, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace

int columns = kDefaultColumns;

int columnsFromText(const char* value) {
  if (value == nullptr) return kDefaultColumns;
  long width = strtol(value, nullptr, 10);
  if (width < 3) return kDefaultColumns;
  if (width > kMaxColumns) return kMaxColumns;
  return static_cast<int>(width);
}

void initConsole() { columns = columnsFromText(getenv("COLUMNS")); }

void logMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vdprintf(1, format, args);
  va_end(args);
  fsync(1);
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
  writeAll(out.data(), out.size());
  fsync(1);
}

void clearLine(bool flush) {
  char line[kMaxColumns];
  size_t length = static_cast<size_t>(columns - 1);
  line[0] = '\r';
  memset(line + 1, ' ', length - 2);
  line[length - 1] = '\r';
  writeAll(line, length);
  if (flush) fsync(1);
}
