#include "console/output.h"

#include <gtest/gtest.h>

#include "test_util.h"

TEST(Columns, FromEnvironmentText) {
  const struct {
    const char* value;
    int width;
  } cases[] = {
      {nullptr, 78},  {"120", 120},
      {"  90", 90},   {"+80", 80},
      {"100x", 100},  {"3", 3},
      {"2", 78},      {"0", 78},
      {"-5", 78},     {"wide", 78},
      {"", 78},       {"4096", 4096},
      {"4097", 4096}, {"99999999999999999999", 4096},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(columnsFromText(c.value), c.width)
        << (c.value ? c.value : "(unset)");
  }
}

TEST(ClearLine, WritesCarriageReturnsAroundSpaces) {
  const int saved = columns;
  for (int width : {78, 120, 3, 4096}) {
    columns = width;
    CapturedStdout out;
    clearLine(true);
    std::string expected =
        "\r" + std::string(static_cast<size_t>(width - 3), ' ') + "\r";
    EXPECT_EQ(out.finish(), expected) << width;
  }
  columns = saved;
}

TEST(WriteTemplate, CollapsesDoublePercents) {
  const struct {
    const char* text;
    const char* written;
  } cases[] = {
      {"a %%b", "a %b"}, {"[ 42.000%%]", "[ 42.000%]"},
      {"%%%%", "%%"},    {"100% done", "100% done"},
      {"%", "%"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(collapsePercents(c.text), c.written) << c.text;
  }
  CapturedStdout out;
  writeTemplate("x %%d %s");
  EXPECT_EQ(out.finish(), "x %d %s");
}

TEST(LogMessage, FormatsLikePrintf) {
  CapturedStdout out;
  logMessage("%s has %llu files%c", "d_000", 128ULL, '\n');
  EXPECT_EQ(out.finish(), "d_000 has 128 files\n");
}
