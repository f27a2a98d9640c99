#include "console/output.h"

#include "test_util.h"

namespace treeflood {

TEST(Console, WidthFromColumns) {
  for (auto [text, width] :
       {std::pair{"  90x", 90}, {"2", 78}, {"9999", 4096}}) {
    EXPECT_EQ(columnsFromText(text), width) << text;
  }
}

}  // namespace treeflood
