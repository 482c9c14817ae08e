#include "crystal/crystal.hpp"

#include <gtest/gtest.h>

using morvak::crystal::Crystal;

namespace {

Crystal filled() {
  Crystal c;
  c.cell = {{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}};
  c.natom = 2;
  c.name = {{"Si"}, {"H "}};
  c.xyz = {{{0.5, 0.25, 0.125}, {1, 2, 3}}};
  return c;
}

} // namespace

TEST(CrystalRecord, CopyOfAbsentArraysHasAbsentArrays) {
  Crystal source;
  source.natom = 3;
  const Crystal copy = source;
  EXPECT_EQ(copy.natom, 3);
  EXPECT_FALSE(copy.name.has_value());
  EXPECT_FALSE(copy.xyz.has_value());
}

TEST(CrystalRecord, CopyIsDeepAndOutlivesReleaseOfTheSource) {
  Crystal source = filled();
  const Crystal copy = source;
  source.release();
  EXPECT_FALSE(source.name.has_value());
  EXPECT_FALSE(source.xyz.has_value());
  ASSERT_TRUE(copy.name && copy.xyz);
  EXPECT_EQ(*copy.name, *filled().name);
  EXPECT_EQ(*copy.xyz, *filled().xyz);
  EXPECT_EQ(copy.cell, filled().cell);
}

TEST(CrystalRecord, SelfCopyChangesNothing) {
  Crystal c = filled();
  Crystal &alias = c;
  c = alias;
  EXPECT_EQ(*c.name, *filled().name);
  EXPECT_EQ(*c.xyz, *filled().xyz);
  EXPECT_EQ(c.natom, 2);
}
