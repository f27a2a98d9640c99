#include "console/report.h"

#include <gtest/gtest.h>

#include <cmath>

#include "test_util.h"

namespace {

const char kLiveLine[] = "\rworking... eta: %E, %40b [%p]";

std::string bar(size_t filled, size_t width) {
  return std::string(filled, '#') + std::string(width - filled, '.');
}

// Sets the phase timer to `elapsed` seconds.
void setElapsed(long seconds, long micros) {
  phaseTimer.phaseStart = {1000, 900000};
  phaseTimer.phaseNow = {1000 + seconds, 900000 + micros};
}

}  // namespace

TEST(DurationText, Forms) {
  const struct {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "0:00:00.000"},
      {12.3456, "0:00:12.345"},
      {59.9999, "0:00:59.999"},
      {3725.5, "1:02:05.500"},
      {360000, "100:00:00.000"},
      {99999 * 3600.0 + 3599, "99999:59:59.000"},
      // Past 15 characters the text is cut.
      {999999 * 3600.0, "999999:00:00.00"},
      {-5, "0:00:00.000"},
      {NAN, "0:00:00.000"},
      {INFINITY, "277777777777:46"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(durationText(c.seconds), c.text) << c.seconds;
  }
}

TEST(ExpandTemplate, EachMarker) {
  const struct {
    const char* tmpl;
    uint64_t done, total;
    double elapsed;
    std::string text;
  } cases[] = {
      {"Done, time spent: %L\n\n", 100, 100, 12.3456,
       "Done, time spent: 0:00:12.345\n\n"},
      {"%p", 55, 1000, 1, " 5.500%%"},
      {"%p", 42, 100, 1, " 42.000%%"},
      {"%p", 100, 100, 1, " 100.000%%"},
      {"%E", 100, 100, 7, "0:00:00.000"},
      {"%E", 1, 4, 3, "0:00:09.000"},
      {"%40b", 1, 100000, 1, bar(0, 40)},
      {"%40b", 42000, 100000, 1, bar(16, 40)},
      {"%40b", 100000, 100000, 1, bar(40, 40)},
      {"%3b|%1b", 2, 3, 1, "##.|."},
      {"%0b", 1, 2, 1, ""},
      // Several markers, repeated, in one template.
      {"%L %L %p%p", 1, 2, 1, "0:00:01.000 0:00:01.000  50.000%% 50.000%%"},
      // "%%" left by the percentage is never taken for a bar.
      {"[%p]%2b", 1, 2, 1, "[ 50.000%%]#."},
      // Not markers: left as they are.
      {"%x %12 %b 100%%", 1, 2, 1, "%x %12 %b 100%%"},
      {"%999b", 1, 2, 1, "%999b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expandTemplate(c.tmpl, c.done, c.total, c.elapsed), c.text)
        << c.tmpl << " " << c.done << "/" << c.total;
  }
}

TEST(ExpandTemplate, LiveLineExample) {
  EXPECT_EQ(expandTemplate(kLiveLine, 42000, 100000, 60),
            "\rworking... eta: 0:01:22.857, " + bar(16, 40) + " [ 42.000%%]");
}

TEST(ExpandTemplate, ZeroTotalReadsAsAllDone) {
  EXPECT_EQ(expandTemplate("%E %4b %p", 0, 0, 3),
            "0:00:00.000 ####  100.000%%");
}

TEST(ExpandTemplate, BarExactNearTheLargestCounts) {
  const uint64_t total = UINT64_MAX;
  EXPECT_EQ(expandTemplate("%40b", total / 2, total, 1), bar(19, 40));
  EXPECT_EQ(expandTemplate("%40b", total - 1, total, 1), bar(39, 40));
}

TEST(Report, DoneUsesElapsedPhaseTime) {
  setReportTotal(100000);
  setElapsed(12, 345600);
  CapturedStdout out;
  reportDone("Done, time spent: %L\n\n");
  EXPECT_EQ(out.finish(), "Done, time spent: 0:00:12.345\n\n");
}

TEST(Report, ProgressOfNothingWritesNothing) {
  setReportTotal(100);
  setElapsed(5, 0);
  const struct timeval before = phaseTimer.phaseNow;
  CapturedStdout out;
  reportProgress("[%p]", 0);
  EXPECT_EQ(out.finish(), "");
  EXPECT_EQ(phaseTimer.phaseNow.tv_sec, before.tv_sec);
  EXPECT_EQ(phaseTimer.phaseNow.tv_usec, before.tv_usec);
}

TEST(Report, ProgressStampsNowAndCollapsesPercent) {
  setReportTotal(200);
  markPhaseStart();
  CapturedStdout out;
  reportProgress("[%p] %L", 50);
  EXPECT_EQ(out.finish(), "[ 25.000%] 0:00:00.000");
  EXPECT_LT(elapsedSeconds(), 0.5);
  EXPECT_GE(elapsedSeconds(), 0);
}
