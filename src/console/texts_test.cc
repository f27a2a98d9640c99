#include "console/texts.h"

#include <gtest/gtest.h>

#include <regex>

TEST(SizeText, UnitBoundaries) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 Bytes"},
      {1, "1 Bytes"},
      {1024, "1024 Bytes"},
      {1025, "1.0 KBytes"},
      {10240, "10.0 KBytes"},
      {1048576, "1024.0 KBytes"},
      {1048577, "1.00 MBytes"},
      {1024000000, "976.56 MBytes"},
      {1073741824, "1024.00 MBytes"},
      {1073741825, "1.000 GBytes"},
      {1099511627776, "1024.000 GBytes"},
      {1099511627777, "1.0000 TBytes"},
      {4503599627370496, "4096.0000 TBytes"},
      {-1, "-1 Bytes"},
  };
  for (const auto& c : cases) {
    char buf[64];
    sizeText(buf, sizeof buf, c.bytes);
    EXPECT_STREQ(buf, c.text) << c.bytes;
  }
}

TEST(SizeText, TruncatesToBuffer) {
  char buf[6];
  sizeText(buf, sizeof buf, 1024000000);
  EXPECT_STREQ(buf, "976.5");
}

TEST(CpuTimeText, DropsWholeDays) {
  const struct {
    long seconds;
    long micros;
    const char* text;
  } cases[] = {
      {0, 0, "0:00:00.000"},         {0, 999999, "0:00:00.999"},
      {3725, 500000, "1:02:05.500"}, {90061, 0, "1:01:01.000"},
      {86399, 1000, "23:59:59.001"},
  };
  for (const auto& c : cases) {
    struct timeval t = {c.seconds, c.micros};
    char buf[24];
    cpuTimeText(buf, sizeof buf, &t);
    EXPECT_STREQ(buf, c.text) << c.seconds;
  }
}

TEST(CpuTimeText, WritesNothingWithoutRoom) {
  struct timeval t = {3725, 500000};
  char buf[4] = "xyz";
  cpuTimeText(buf, 3, &t);
  EXPECT_STREQ(buf, "xyz");
  cpuTimeText(buf, sizeof buf, nullptr);
  EXPECT_STREQ(buf, "xyz");
  cpuTimeText(buf, sizeof buf, &t);
  EXPECT_STREQ(buf, "1:0");
}

TEST(ClockText, IsLocalDateAndTime) {
  char buf[64];
  clockText(buf, sizeof buf);
  EXPECT_TRUE(
      std::regex_match(buf, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << buf;
  char small[19] = "unchanged";
  clockText(small, sizeof small);
  EXPECT_STREQ(small, "");
}
