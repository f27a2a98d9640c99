// Phase timing and the report template language. A template is fixed text
// with markers expanded against a count of items done, a total and the time
// elapsed in the phase:
//   %E  estimated time left        %L  time elapsed
//   %p  percentage done, as " 42.000%%"
//   %Wb a bar of W characters ('#' for the part done, '.' for the rest)
// The expanded text keeps "%%" for a literal percent sign; writeTemplate
// turns it into "%".
#ifndef TREEFLOOD_CONSOLE_REPORT_H_
#define TREEFLOOD_CONSOLE_REPORT_H_

#include <stdint.h>

#include <string>
#include <string_view>

namespace treeflood {

// "H:MM:SS.mmm" of `seconds`, hours not reduced, at most 15 characters.
// Negative or non-finite durations read as 0.
std::string durationText(double seconds);

// Expands `tmpl` for `done` of `total` items after `elapsed` seconds. A total
// of 0 counts as all done.
std::string expandTemplate(std::string_view tmpl, uint64_t done, uint64_t total,
                           double elapsed);

// Writes `tmpl` expanded for `done` of `total` after `elapsed` seconds.
void writeReport(std::string_view tmpl, uint64_t done, uint64_t total,
                 double elapsed);

// The live progress line, "working... eta: %E, %40b [%p]" expanded with its
// "%%" collapsed, without the leading carriage return. When `fit` (on a
// terminal), it takes at most `width` - 1 columns and shows `rate`, the
// current files per second, unless it is below 0: "working... eta: %E, 8123
// files/s, %b [%p]". The bar shrinks down to 10 characters, then the rate
// goes, then the bar, and what still does not fit is cut.
std::string liveLine(uint64_t done, uint64_t total, double elapsed, double rate,
                     int width, bool fit);

}  // namespace treeflood

#endif  // TREEFLOOD_CONSOLE_REPORT_H_
