// Phase timing and the report template language. A template is fixed text
// with markers expanded against a count of items done, the report total and
// the time elapsed in the phase:
//   %E  estimated time left        %L  time elapsed
//   %p  percentage done, as " 42.000%%"
//   %Wb a bar of W characters ('#' for the part done, '.' for the rest)
// The expanded text keeps "%%" for a literal percent sign; writeTemplate
// turns it into "%".
#ifndef TREEFLOOD_CONSOLE_REPORT_H_
#define TREEFLOOD_CONSOLE_REPORT_H_

#include <stdint.h>
#include <sys/time.h>

#include <string>
#include <string_view>

// When the current phase began, and when it ended or was last reported on.
// Both are read from the monotonic clock, so that a step of the wall clock
// can't make a duration wrong or negative.
struct PhaseTimer {
  struct timeval phaseStart = {};
  struct timeval phaseNow = {};
};

extern PhaseTimer phaseTimer;

// The number of items a phase works through; set once per run.
extern uint64_t reportTotal;

void markPhaseStart();
void markPhaseEnd();
void setReportTotal(uint64_t total);

// Seconds from phaseStart to phaseNow.
double elapsedSeconds();

// "H:MM:SS.mmm" of `seconds`, hours not reduced, at most 15 characters.
// Negative or non-finite durations read as 0.
std::string durationText(double seconds);

// Expands `tmpl` for `done` of `total` items after `elapsed` seconds. A total
// of 0 counts as all done.
std::string expandTemplate(std::string_view tmpl, uint64_t done, uint64_t total,
                           double elapsed);

// Writes `tmpl` expanded for `done` of reportTotal at the elapsed time.
void expandReport(std::string_view tmpl, uint64_t done);

// Stamps phaseNow and writes `tmpl` expanded for `done`; nothing when `done`
// is 0.
void reportProgress(std::string_view tmpl, uint64_t done);

// Writes `tmpl` expanded for all of reportTotal, at phaseNow as left by
// markPhaseEnd.
void reportDone(std::string_view tmpl);

#endif  // TREEFLOOD_CONSOLE_REPORT_H_
