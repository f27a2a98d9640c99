#include "console/report.h"

#include <gtest/gtest.h>

#include <cmath>

namespace treeflood {

namespace {

std::string bar(size_t filled, size_t width) {
  return std::string(filled, '#') + std::string(width - filled, '.');
}

}  // namespace

TEST(ExpandTemplate, Markers) {
  const uint64_t kMax = UINT64_MAX;
  const struct {
    const char* tmpl;
    uint64_t done, total;
    double elapsed;
    std::string text;
  } cases[] = {
      {"%L|%L", 1, 1, 12.3456, "0:00:12.345|0:00:12.345"},
      {"%L", 1, 1, 360000, "100:00:00.000"},
      {"%L", 1, 1, 999999 * 3600.0, "999999:00:00.00"},  // cut at 15
      {"%p|%p", 55, 1000, 1, " 5.500%%| 5.500%%"},
      {"%p %E", 100, 100, 7, " 100.000%% 0:00:00.000"},
      {"%40b", 100000, 100000, 1, bar(40, 40)},
      {"%40b", kMax - 1, kMax, 1, bar(39, 40)},
      {"%3b|%1b|%0b", 2, 3, 1, "##.|.|"},
      {"\rworking... eta: %E, %40b [%p]", 42000, 100000, 60,
       "\rworking... eta: 0:01:22.857, " + bar(16, 40) + " [ 42.000%%]"},
      // A total of 0 reads as all done; nothing done yet, as no time left.
      {"%E %4b %p", 0, 0, 3, "0:00:00.000 ####  100.000%%"},
      {"%E %4b %p", 0, 9, 3, "0:00:00.000 ....  0.000%%"},
      // The "%%" of a percentage is never taken for a marker; nor are these.
      {"[%p]%2b %x %12 %b %999b", 1, 2, 1, "[ 50.000%%]#. %x %12 %b %999b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(expandTemplate(c.tmpl, c.done, c.total, c.elapsed), c.text)
        << c.tmpl << " " << c.elapsed;
  }
  EXPECT_EQ(durationText(-5) + durationText(NAN), "0:00:00.0000:00:00.000");
}

TEST(LiveLine, FitsTheWidthOnATerminal) {
  const std::string eta = "working... eta: 0:01:22.857", end = " [ 42.000%]";
  const std::string rate = ", 8123 files/s";
  for (auto [width, fit, perSecond, line] :
       {std::tuple{78, false, 8123.4, eta + ", " + bar(16, 40) + end},
        {80, true, -1.0, eta + ", " + bar(16, 39) + end},
        {80, true, 8123.4, eta + rate + ", " + bar(10, 25) + end},
        {65, true, 8123.4, eta + rate + ", " + bar(4, 10) + end},
        {64, true, 8123.4, eta + ", " + bar(9, 23) + end},
        {50, true, 8123.4, eta + end},
        {200, true, 8123.4, eta + rate + ", " + bar(16, 40) + end},
        {20, true, -1.0, eta.substr(0, 19)},
        {1, true, 8123.4, ""}}) {
    EXPECT_EQ(liveLine(42000, 100000, 60, perSecond, width, fit), line)
        << width;
  }
}

}  // namespace treeflood
