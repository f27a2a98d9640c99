#include "console/output.h"

#include "test_util.h"

TEST(Console, WidthAndErase) {
  for (auto [text, width] :
       {std::pair{"  90x", 90}, {"2", 78}, {"9999", 4096}}) {
    EXPECT_EQ(columnsFromText(text), width) << text;
  }
  // Off a terminal, the erase covers the wider of the width and the line.
  for (size_t drawn : {0, 80}) {
    testing::internal::CaptureStdout();
    clearLine(true, drawn);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\r" + std::string(std::max(drawn, size_t{75}), ' ') + "\r");
  }
}
