#include "console/texts.h"

#include <gtest/gtest.h>

namespace treeflood {

TEST(Texts, SizesCpuTimesAndIsoTimes) {
  char buf[64];
  for (auto [bytes, text] :
       {std::pair<int64_t, const char*>{1024, "1024 Bytes"},
        {1025, "1.0 KBytes"},
        {1048576, "1024.0 KBytes"},
        {1048577, "1.00 MBytes"},
        {1024000000, "976.56 MBytes"},
        {1099511627776, "1024.000 GBytes"},
        {4503599627370496, "4096.0000 TBytes"}}) {
    sizeText(buf, sizeof buf, bytes);
    EXPECT_STREQ(buf, text) << bytes;
  }
  // Whole days are dropped; with no room nothing is written.
  for (auto [seconds, size, text] : {std::tuple{3725L, 24, "1:02:05.500"},
                                     {90061L, 24, "1:01:01.500"},
                                     {3725L, 4, "1:0"},
                                     {3725L, 3, "xyz"}}) {
    struct timeval t = {seconds, 500999};
    strcpy(buf, "xyz");
    cpuTimeText(buf, static_cast<size_t>(size), &t);
    EXPECT_STREQ(buf, text) << seconds;
  }
  for (auto [offset, size, text] :
       {std::tuple{3600L, 64, "2026-12-06T21:05:09+01:00"},
        {-16200L, 26, "2026-12-06T21:05:09-04:30"},
        {0L, 25, ""}}) {
    struct tm t = {.tm_sec = 9,
                   .tm_min = 5,
                   .tm_hour = 21,
                   .tm_mday = 6,
                   .tm_mon = 11,
                   .tm_year = 126,
                   .tm_gmtoff = offset};
    isoTimeText(buf, static_cast<size_t>(size), t);
    EXPECT_STREQ(buf, text) << offset;
  }
  for (auto [date, size, text] :
       {std::tuple{"Sep  7 2010", 20, "2010-09-07T11:43:21"},
        {"Dec 31 2026", 19, ""},
        {"Sept 7 2010", 64, ""}}) {
    isoBuildText(buf, static_cast<size_t>(size), date, "11:43:21");
    EXPECT_STREQ(buf, text) << date;
  }
}

}  // namespace treeflood
