// Display forms of byte counts, clock times and CPU times. Each writes into a
// caller's buffer of `size` bytes.
#ifndef TREEFLOOD_CONSOLE_TEXTS_H_
#define TREEFLOOD_CONSOLE_TEXTS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <string>
#include <vector>

namespace treeflood {

// "N Bytes" up to 1024, else the count in the smallest binary unit that
// brings it to 1024 or less (KBytes .1f, MBytes .2f, GBytes .3f, TBytes .4f;
// TBytes at most). Truncates like snprintf.
void sizeText(char* buf, size_t size, int64_t bytes);

// The current local time as "YYYY-MM-DD HH:MM:SS"; needs 20 bytes, and leaves
// an empty text in a smaller buffer.
void clockText(char* buf, size_t size);

// The current local time in ISO 8601 with the offset from UTC,
// "YYYY-MM-DDTHH:MM:SS+HH:MM"; needs 26 bytes, and leaves an empty text in a
// smaller buffer.
void isoClockText(char* buf, size_t size);

// `local` (with its tm_gmtoff) as isoClockText writes it.
void isoTimeText(char* buf, size_t size, const struct tm& local);

// The compiler's build stamps, __DATE__ ("Sep  7 2010") and __TIME__
// ("11:43:21"), in ISO 8601: "2010-09-07T11:43:21". Leaves an empty text
// when they are not in that form or `buf` is under 20 bytes.
void isoBuildText(char* buf, size_t size, const char* date, const char* time);

// A CPU time as "H:MM:SS.mmm" with whole days dropped. Writes nothing when
// `buf` or `time` is null or `size` is 3 or less; truncates like snprintf.
void cpuTimeText(char* buf, size_t size, const struct timeval* time);

// `rows` as columns two blanks apart: the first `left` aligned to the left,
// the rest, numbers, to the right, but for the last when `lastLeft`; a line
// each.
std::string alignedTable(const std::vector<std::vector<std::string>>& rows,
                         size_t left, bool lastLeft = false);

}  // namespace treeflood

#endif  // TREEFLOOD_CONSOLE_TEXTS_H_
