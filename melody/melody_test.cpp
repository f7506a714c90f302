#include "melody.h"

#include <gtest/gtest.h>

TEST(Placeholder, Builds) {
  EXPECT_EQ(formatNumber(440.0), "440");
}
