// Everything the program shows goes to standard output through these calls,
// each write pushed to the device at once with fsync(1).
#ifndef TREEFLOOD_CONSOLE_OUTPUT_H_
#define TREEFLOOD_CONSOLE_OUTPUT_H_

#include <stdint.h>

#include <string>
#include <string_view>

namespace treeflood {

// The width of the console line: COLUMNS if set, else the terminal's when
// standard output is one, else 78. Written once by initConsole, before any
// other thread exists.
extern int columns;
// Whether standard output is a terminal, where the live line is fitted to
// the width and erased with an escape sequence.
extern bool terminal;

// The width for a COLUMNS value (`value` null when unset): the value read as
// strtol does, `fallback` when unset or below 3 (non-numeric text reads as
// 0), and at most 4096.
int columnsFromText(const char* value, int fallback = 78);

// Opens /dev/null on those of descriptors 0, 1 and 2 that are closed, so that
// no file of the run can take their place; then reads the width and whether
// standard output is a terminal. Call once at start-up.
void initConsole();

// Nanoseconds the calling thread has spent in the calls below, writing and
// syncing standard output, since it started: a phase takes them out of its
// time, which measures the file system, not the terminal or the log.
uint64_t outputNs();

// Writes all of `text` to `fd`, going on after a short write so that a
// failure is the error of the call that failed (ENOSPC, EFBIG); a write that
// takes nothing fails with EIO. On failure returns false with errno set.
// Output to the console is best effort: its callers ignore the result.
bool writeAll(int fd, std::string_view text);

// What went wrong, as the lines the tool prints for it, each ending in a
// newline; empty when nothing did. A check returns it, and the caller that
// knows the audience prints it once.
struct Failure {
  std::string message;
  explicit operator bool() const { return !message.empty(); }
};

// The text that printf would make of `format` and what follows, however
// long.
std::string formatted(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// A Failure of the text that printf would make of `format` and what follows.
Failure failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats like printf, writes the text to descriptor 1, then fsync(1); after
// setMessagePrefix, to descriptor 2 with the prefix before each line.
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends what logMessage writes from now on to standard error, each line
// after `prefix`: the way a process that does not speak for the run (a
// treeflood-mpi rank other than 0, "rank 2: ") says its own refusals and
// warnings. Call once, before any other thread exists.
void setMessagePrefix(std::string prefix);

// Writes `text` as it is to descriptor 1, without fsync.
void writeText(std::string_view text);

// Writes `text` to descriptor 1 with each "%%" turned into a single "%" (the
// way report templates mark a literal percent sign), then fsync(1).
void writeTemplate(std::string_view text);

// The text writeTemplate writes for `text`.
std::string collapsePercents(std::string_view text);

// Erases the current console line and leaves the cursor at its start: on a
// terminal with CR and ESC [ K; elsewhere with a carriage return, as many
// spaces as the wider of columns - 3 and `drawn` (the width of what was
// drawn), and another carriage return. fsync(1) follows when `flush`.
void clearLine(bool flush, size_t drawn = 0);

}  // namespace treeflood

#endif  // TREEFLOOD_CONSOLE_OUTPUT_H_
