// Everything the program shows goes to standard output through these calls,
// each write pushed to the device at once with fsync(1).
#ifndef TREEFLOOD_CONSOLE_OUTPUT_H_
#define TREEFLOOD_CONSOLE_OUTPUT_H_

#include <string>
#include <string_view>

// Terminal width used by clearLine: 78 unless COLUMNS said otherwise at
// start-up. Written once by initConsole, before any other thread exists.
extern int columns;

// The width for a COLUMNS value (`value` null when unset): the value read as
// strtol does, 78 when unset or below 3 (non-numeric text reads as 0), and
// at most 4096.
int columnsFromText(const char* value);

// Reads COLUMNS into `columns`. Call once at start-up.
void initConsole();

// Formats like printf, writes the text to descriptor 1, then fsync(1).
void logMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes `text` to descriptor 1 with each "%%" turned into a single "%" (the
// way report templates mark a literal percent sign), then fsync(1).
void writeTemplate(std::string_view text);

// The text writeTemplate writes for `text`.
std::string collapsePercents(std::string_view text);

// Erases the current terminal line: a carriage return, columns - 3 spaces and
// another carriage return, leaving the cursor at the start of the line.
// fsync(1) follows only when `flush` is true.
void clearLine(bool flush);

#endif  // TREEFLOOD_CONSOLE_OUTPUT_H_
