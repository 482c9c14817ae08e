#include "haldo/version_check.hpp"

#include <gtest/gtest.h>

using haldo::version_matches;

TEST(VersionCheck, SameMinorReleasePasses) {
  EXPECT_TRUE(version_matches("3.11.7 (main, Dec  4 2023, 18:10:11) [GCC 12.2.0]", "3.11"));
  EXPECT_TRUE(version_matches("3.11.0rc1", "3.11"));
  EXPECT_TRUE(version_matches("3.11", "3.11"));
  EXPECT_TRUE(version_matches("3.7.3 (default)", "3.7"));
  EXPECT_TRUE(version_matches("3.7+", "3.7"));
}

TEST(VersionCheck, OtherReleasesFail) {
  EXPECT_FALSE(version_matches("3.1", "3.11"));
  EXPECT_FALSE(version_matches("3.1.4", "3.11"));
  EXPECT_FALSE(version_matches("3.110.0", "3.11"));
  EXPECT_FALSE(version_matches("3.12.0", "3.11"));
  EXPECT_FALSE(version_matches("2.11.0", "3.11"));
  EXPECT_FALSE(version_matches("3.8.0", "3.7"));
  EXPECT_FALSE(version_matches("3.70", "3.7"));
  EXPECT_FALSE(version_matches("", "3.11"));
}
