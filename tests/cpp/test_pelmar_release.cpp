#include "pelmar/release_check.hpp"

#include <gtest/gtest.h>

using pelmar::release_of;
using pelmar::same_release;

TEST(PelmarRelease, TakesMajorAndWholeMinor) {
  EXPECT_EQ(release_of("3.11.7 (main, May  9 2026, 07:35:25) [GCC 12.2.0]"), "3.11");
  EXPECT_EQ(release_of("3.7.3"), "3.7");
  EXPECT_EQ(release_of("3.12+"), "3.12");
  EXPECT_EQ(release_of("3.13.0rc1"), "3.13");
  EXPECT_EQ(release_of("3.11"), "3.11");
  EXPECT_EQ(release_of(""), "");
}

TEST(PelmarRelease, MatchesOnlyTheSameMinorRelease) {
  EXPECT_TRUE(same_release("3.11.7 (main)", "3.11"));
  EXPECT_TRUE(same_release("3.11.0rc1", "3.11"));
  EXPECT_TRUE(same_release("3.7.3", "3.7"));
  // Same major and same first digit of the minor, different release.
  EXPECT_FALSE(same_release("3.12.0", "3.11"));
  EXPECT_FALSE(same_release("3.1.4", "3.11"));
  EXPECT_FALSE(same_release("3.11.7", "3.1"));
  EXPECT_FALSE(same_release("3.70.0", "3.7"));
  EXPECT_FALSE(same_release("2.11.0", "3.11"));
  EXPECT_FALSE(same_release("", "3.11"));
  EXPECT_FALSE(same_release("garbage", ""));
}
